/*
 * What a host may know of the device beyond the automation objects: the
 * classes of the device interfaces of its two channels, and the name and
 * time-out of the system-wide lock that serialises every conversation on the
 * fax channel among all threads and processes.
 *
 * The library takes these from here, and so does every program that looks
 * at the device without going through the objects (the tessaline command's
 * device listing, and its diagnosis of a call that found no device). Plain
 * C as well as C++; installed with the other public headers.
 */
#ifndef TESSALINE_FAX_DEVICE_H
#define TESSALINE_FAX_DEVICE_H

#include <tessaline/fax_types.h>

/* A device interface class, laid out as the platform's GUID. */
typedef struct TSL_DEVICE_CLASS {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} TSL_DEVICE_CLASS;
TSL_STATIC_ASSERT(sizeof(TSL_DEVICE_CLASS) == 16, "a device interface class is laid out as a GUID");

/* The fax channel: the MFP1 packet protocol, under the access lock. */
static const TSL_DEVICE_CLASS GUID_DEVINTERFACE_FAX_CHANNEL TSL_UNUSED = {
    0x783E1D39, 0x8E60, 0x4E98, {0xA9, 0x47, 0xE2, 0xDE, 0x68, 0x8F, 0x17, 0x71}};
/* The EWS channel: raw bytes, without the access lock. */
static const TSL_DEVICE_CLASS GUID_DEVINTERFACE_EWS_CHANNEL TSL_UNUSED = {
    0xB72F809C, 0xA9CD, 0x4094, {0x8C, 0x69, 0xCE, 0x34, 0x99, 0x47, 0xDF, 0xAC}};

/* The longest device path that discovery uses, in bytes without its
 * terminating zero: the first present device of a class with a longer path
 * is not opened (and no other is tried). */
#define FAX_DEVICE_PATH_MAX 255

/* The access lock: a named mutex that every process opening this name
 * shares, held for one conversation on the fax channel and waited for at
 * most this long. A call that cannot take it in time reports
 * FAXSTATUS_NO_DEVICE. */
#define FAX_DEVICE_ACCESS_LOCK_NAME "FAX_DEVICE_ACCESS_LOCK"
#define FAX_DEVICE_ACCESS_LOCK_TIMEOUT_MS 5000

#endif
