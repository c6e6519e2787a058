// The MFP1 packet protocol: the 32-byte header, command codes, device status
// words, the protocol layer's result codes, and the routines through which
// every fax operation builds a request, moves it through a FAX_DEVICE and
// judges the reply. Nothing here keeps state between calls. The access cycle
// around an operation is in access_cycle.h.
#ifndef TESSALINE_PROTOCOL_FAX_PACKET_H
#define TESSALINE_PROTOCOL_FAX_PACKET_H

#include <cstddef>
#include <cstdint>

#include <tessaline/fax_types.h>

#include "base/byte_order.h"
#include "base/mfp1_commands.h"

class FAX_DEVICE;

// One header, the same layout in both directions. The words are kept as the
// bytes that travel (big-endian) and are read and written only through the
// helpers in byte_order.h.
struct FAX_PACKET_HEADER {
    std::uint8_t Magic[4];
    std::uint8_t Command[4];
    std::uint8_t Param1[4];
    std::uint8_t Param2[4];
    std::uint8_t Status[4];
    std::uint8_t DataLength[4];
    std::uint8_t Reserved1[4];
    std::uint8_t Reserved2[4];
};
static_assert(sizeof(FAX_PACKET_HEADER) == 32, "FAX_PACKET_HEADER is 32 bytes");
static_assert(offsetof(FAX_PACKET_HEADER, Command) == 4);
static_assert(offsetof(FAX_PACKET_HEADER, Param1) == 8);
static_assert(offsetof(FAX_PACKET_HEADER, Param2) == 12);
static_assert(offsetof(FAX_PACKET_HEADER, Status) == 16);
static_assert(offsetof(FAX_PACKET_HEADER, DataLength) == 20);
static_assert(offsetof(FAX_PACKET_HEADER, Reserved1) == 24);
static_assert(offsetof(FAX_PACKET_HEADER, Reserved2) == 28);

inline constexpr std::uint8_t kFaxMagic[4] = {'M', 'F', 'P', '1'};
inline constexpr std::uint32_t kHeaderSize = sizeof(FAX_PACKET_HEADER);
// Every caller passes this to ReadAll; it is carried but not applied.
inline constexpr std::uint32_t kReadTimeoutMs = 60000;
// The most one FAX_DEVICE request carries: its length is a signed 32-bit
// count. A reply announcing more data than this cannot be read.
inline constexpr std::uint32_t kMaxReadLength = 0x7FFFFFFF;

// The protocol layer's results. Plain integers: MapFaxResult accepts any
// value, listed or not.
enum FAXRESULT : std::int32_t {
    FAXRESULT_OK = 0,
    FAXRESULT_INVALIDARG = 1,
    FAXRESULT_NULLPOINTER = 2,
    FAXRESULT_FALSE = 3,
    FAXRESULT_NO_DEVICE = 4,
    FAXRESULT_BADREPLY = 5,
    FAXRESULT_READ = 6,
    FAXRESULT_WRITE = 7,
    FAXRESULT_MEMALLOC = 8,
    FAXRESULT_FILE = 9,
    FAXRESULT_BUSY = 10,
    FAXRESULT_DISKFULL = 11,
};

inline std::uint32_t HeaderCommand(const FAX_PACKET_HEADER& h) { return wire::LoadBE32(h.Command); }
inline std::uint32_t HeaderParam1(const FAX_PACKET_HEADER& h) { return wire::LoadBE32(h.Param1); }
inline std::uint32_t HeaderStatus(const FAX_PACKET_HEADER& h) { return wire::LoadBE32(h.Status); }
inline std::uint32_t HeaderDataLength(const FAX_PACKET_HEADER& h) { return wire::LoadBE32(h.DataLength); }
inline void SetHeaderDataLength(FAX_PACKET_HEADER& h, std::uint32_t n) { wire::StoreBE32(h.DataLength, n); }

// Fills a 32-byte request header: MFP1, the command and both parameters;
// every other word 0. Does nothing when `header` is null.
void BuildFaxHeader(FAX_PACKET_HEADER* header, std::uint32_t command, std::uint32_t param1, std::uint32_t param2);

// A reply's Status (host order): 0 OK, 2 BUSY, 6 DISKFULL, anything else
// `fallback`.
FAXRESULT MapDeviceStatus(std::uint32_t status, FAXRESULT fallback);

// A protocol result for the automation interface; any unlisted value gives
// `fallback`.
FAXSTATUS MapFaxResult(std::int32_t result, FAXSTATUS fallback);

// Exactly one Write / Read of the whole length; a failed or short transfer
// gives FAXRESULT_WRITE / FAXRESULT_READ. ReadAll does not apply `timeout`.
FAXRESULT WriteAll(FAX_DEVICE* device, const void* buffer, std::uint32_t length);
FAXRESULT ReadAll(FAX_DEVICE* device, void* buffer, std::uint32_t length, std::uint32_t timeout);

// Sends a prepared header without data, reads the reply header into the same
// buffer and judges it (Status 1 with Command 7 gives FAXRESULT_FALSE).
FAXRESULT SendCommand(FAX_DEVICE* device, FAX_PACKET_HEADER* header);

// Sends a prepared header and `length` bytes of data, reads the reply header
// into the header buffer and judges it (Status 1 with Command 8 gives
// FAXRESULT_FALSE). Nothing is read after a failed write.
FAXRESULT SendCommandWithData(FAX_DEVICE* device, FAX_PACKET_HEADER* header, const void* data,
                              std::uint32_t length);

// SendCommand, then reads the reply's data into `buffer` (capacity bytes).
// Longer data is consumed whole, its first `capacity` bytes delivered, and
// the result is FAXRESULT_BADREPLY.
FAXRESULT ReadReplyData(FAX_DEVICE* device, FAX_PACKET_HEADER* header, void* buffer, std::uint32_t capacity);

#endif
