/*
 * Records, enumerations and status codes shared by the automation interface
 * and the fax protocol.
 *
 * Callers hand these records over as raw pointers to memory they own, so the
 * layouts below are an external contract, byte for byte: every 4-byte field is
 * a fixed-width 32-bit integer (never `long`, which is 8 bytes on LP64), and
 * every record's size and field offsets are checked at compile time.
 *
 * This header is plain C as well as C++, so hosts written in either can use
 * it; it is installed as part of the public interface.
 */
#ifndef TESSALINE_FAX_TYPES_H
#define TESSALINE_FAX_TYPES_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define TSL_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
/* A fixed underlying type keeps any 32-bit value a caller stores well defined
 * in C++, where an unscoped enum without one only covers its enumerators. */
#define TSL_ENUM(name) enum name : int32_t
#else
#define TSL_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#define TSL_ENUM(name) enum name
#endif

/* Marks the identities defined in the headers (static constants) as
 * possibly unused by the file that includes them. */
#if defined(__GNUC__) && !defined(TSL_UNUSED)
#define TSL_UNUSED __attribute__((unused))
#elif !defined(TSL_UNUSED)
#define TSL_UNUSED
#endif

/* Result of every automation method, stored through its last parameter. */
typedef TSL_ENUM(FAXSTATUS){
    FAXSTATUS_OK = 0,
    FAXSTATUS_BUSY = 1,
    FAXSTATUS_CMD_FAIL = 2,
    FAXSTATUS_NO_RESPONSE = 3, /* declared; never produced */
    FAXSTATUS_INVALIDARGE = 4,
    FAXSTATUS_NULLPOINTER = 5,
    FAXSTATUS_BADSTATUS = 6, /* declared; never produced */
    FAXSTATUS_NO_DEVICE = 7,
    FAXSTATUS_READ = 8,
    FAXSTATUS_WRITE = 9,
    FAXSTATUS_MEMALLOC = 10,
    FAXSTATUS_DISKFULL = 11,
} FAXSTATUS;

/* Event reported by the received-fax wait; the device's number is passed on
 * unchecked. */
typedef TSL_ENUM(FAX_STATUS_ENUM){
    e_NoFaxesAvailable = 0,
    e_ReceivedFaxAvailable = 1,
    e_FaxForwarded = 2,
    e_FaxPrinted = 3,
    e_FaxReceiveModeChanged = 4,
} FAX_STATUS_ENUM;

/* Neither of these two is ever range-checked: whatever 32-bit value a caller
 * stores goes to the device, and whatever the device reports comes back. */
typedef TSL_ENUM(FAX_RING_PATTERN){
    e_FaxRingAll = 0,
    e_FaxRingSingle = 1,
    e_FaxRingDouble = 2,
    e_FaxRingTriple = 3,
    e_FaxRingDoubleAndTriple = 4,
} FAX_RING_PATTERN;

typedef TSL_ENUM(FAX_ANSWER_MODE){
    e_Manual = 0,
    e_Auto = 1,
    e_FaxTel = 2,
    e_TAM = 3,
} FAX_ANSWER_MODE;

TSL_STATIC_ASSERT(sizeof(FAXSTATUS) == 4, "FAXSTATUS is 4 bytes");
TSL_STATIC_ASSERT(sizeof(FAX_STATUS_ENUM) == 4, "FAX_STATUS_ENUM is 4 bytes");
TSL_STATIC_ASSERT(sizeof(FAX_RING_PATTERN) == 4, "FAX_RING_PATTERN is 4 bytes");
TSL_STATIC_ASSERT(sizeof(FAX_ANSWER_MODE) == 4, "FAX_ANSWER_MODE is 4 bytes");

/* The device's fax settings; every text field is zero-terminated. */
typedef struct DEFAULT_FAX_SETTINGS {
    char Password[32];
    char Prefix[32];
    char OutsideLineAccess[32];
    char FaxName[128];
    char FaxNumber[32];
    FAX_RING_PATTERN RingPattern;
    uint32_t PulseDialing;
    uint32_t bThumbFirst;
    uint32_t bPrintConfigReport;
    FAX_ANSWER_MODE AutoAnswer;
    char DeviceDateTime[32];
} DEFAULT_FAX_SETTINGS;

TSL_STATIC_ASSERT(sizeof(DEFAULT_FAX_SETTINGS) == 308, "DEFAULT_FAX_SETTINGS is 308 bytes");
TSL_STATIC_ASSERT(offsetof(DEFAULT_FAX_SETTINGS, Password) == 0, "Password at 0");
TSL_STATIC_ASSERT(offsetof(DEFAULT_FAX_SETTINGS, Prefix) == 32, "Prefix at 32");
TSL_STATIC_ASSERT(offsetof(DEFAULT_FAX_SETTINGS, OutsideLineAccess) == 64, "OutsideLineAccess at 64");
TSL_STATIC_ASSERT(offsetof(DEFAULT_FAX_SETTINGS, FaxName) == 96, "FaxName at 96");
TSL_STATIC_ASSERT(offsetof(DEFAULT_FAX_SETTINGS, FaxNumber) == 224, "FaxNumber at 224");
TSL_STATIC_ASSERT(offsetof(DEFAULT_FAX_SETTINGS, RingPattern) == 256, "RingPattern at 256");
TSL_STATIC_ASSERT(offsetof(DEFAULT_FAX_SETTINGS, PulseDialing) == 260, "PulseDialing at 260");
TSL_STATIC_ASSERT(offsetof(DEFAULT_FAX_SETTINGS, bThumbFirst) == 264, "bThumbFirst at 264");
TSL_STATIC_ASSERT(offsetof(DEFAULT_FAX_SETTINGS, bPrintConfigReport) == 268, "bPrintConfigReport at 268");
TSL_STATIC_ASSERT(offsetof(DEFAULT_FAX_SETTINGS, AutoAnswer) == 272, "AutoAnswer at 272");
TSL_STATIC_ASSERT(offsetof(DEFAULT_FAX_SETTINGS, DeviceDateTime) == 276, "DeviceDateTime at 276");

/* One destination of a fax; a record whose PhoneNumber is empty is skipped. */
typedef struct FAX_RECIPIENT {
    char Prefix[32];
    char PhoneNumber[32];
} FAX_RECIPIENT;

TSL_STATIC_ASSERT(sizeof(FAX_RECIPIENT) == 64, "FAX_RECIPIENT is 64 bytes");
TSL_STATIC_ASSERT(offsetof(FAX_RECIPIENT, PhoneNumber) == 32, "PhoneNumber at 32");

/* The name under which the device keeps one received fax. */
typedef struct FAX_FILENAME {
    char faxPath[64];
} FAX_FILENAME;

TSL_STATIC_ASSERT(sizeof(FAX_FILENAME) == 64, "FAX_FILENAME is 64 bytes");

/* When a logged fax was sent, as the device reports it (never interpreted). */
typedef struct FAX_TIME {
    char hour;
    char min;
    char sec;
    char DOW;
    char day;
    char month;
    char year;
} FAX_TIME;

TSL_STATIC_ASSERT(sizeof(FAX_TIME) == 7, "FAX_TIME is 7 bytes");
TSL_STATIC_ASSERT(offsetof(FAX_TIME, year) == 6, "year at 6");

/* One entry of the device's fax log. CIS and FileName are copied from the
 * device byte for byte and are zero-terminated only if the device sent a
 * zero. The field FAXSTATUS is a plain unsigned number of the device's. */
typedef struct FAX_LOG_ENTRY {
    FAX_TIME SendTime;
    uint8_t fill0;
    uint32_t Duration;
    uint32_t FAXSTATUS;
    uint32_t FaxType;
    uint8_t Pages;
    uint8_t Thumbnail;
    char CIS[20];
    char FileName[35];
    uint8_t fill1[3];
} FAX_LOG_ENTRY;

TSL_STATIC_ASSERT(sizeof(FAX_LOG_ENTRY) == 80, "FAX_LOG_ENTRY is 80 bytes");
TSL_STATIC_ASSERT(offsetof(FAX_LOG_ENTRY, Duration) == 8, "Duration at 8");
TSL_STATIC_ASSERT(offsetof(FAX_LOG_ENTRY, FAXSTATUS) == 12, "FAXSTATUS at 12");
TSL_STATIC_ASSERT(offsetof(FAX_LOG_ENTRY, FaxType) == 16, "FaxType at 16");
TSL_STATIC_ASSERT(offsetof(FAX_LOG_ENTRY, Pages) == 20, "Pages at 20");
TSL_STATIC_ASSERT(offsetof(FAX_LOG_ENTRY, Thumbnail) == 21, "Thumbnail at 21");
TSL_STATIC_ASSERT(offsetof(FAX_LOG_ENTRY, CIS) == 22, "CIS at 22");
TSL_STATIC_ASSERT(offsetof(FAX_LOG_ENTRY, FileName) == 42, "FileName at 42");
TSL_STATIC_ASSERT(offsetof(FAX_LOG_ENTRY, fill1) == 77, "FileName ends at 77");

/* The most received-fax names the device reports in one list. */
#define MAX_RECEIVED_FAXES 40

#endif /* TESSALINE_FAX_TYPES_H */
