// The MFP1 packet routines: building a header, moving a request through a
// FAX_DEVICE, and judging the reply.
#include "protocol/fax_packet.h"

#include <cstring>
#include <new>

#include "transport/fax_device.h"

void BuildFaxHeader(FAX_PACKET_HEADER* header, std::uint32_t command, std::uint32_t param1, std::uint32_t param2) {
    if (!header) return;
    std::memset(header, 0, sizeof(*header));
    std::memcpy(header->Magic, kFaxMagic, sizeof(kFaxMagic));
    wire::StoreBE32(header->Command, command);
    wire::StoreBE32(header->Param1, param1);
    wire::StoreBE32(header->Param2, param2);
}

FAXRESULT MapDeviceStatus(std::uint32_t status, FAXRESULT fallback) {
    switch (status) {
        case DEVSTATUS_OK:
            return FAXRESULT_OK;
        case DEVSTATUS_BUSY:
            return FAXRESULT_BUSY;
        case DEVSTATUS_FULL:
            return FAXRESULT_DISKFULL;
        default:
            return fallback;
    }
}

FAXSTATUS MapFaxResult(std::int32_t result, FAXSTATUS fallback) {
    switch (result) {
        case FAXRESULT_OK:
            return FAXSTATUS_OK;
        case FAXRESULT_NULLPOINTER:
            return FAXSTATUS_NULLPOINTER;
        case FAXRESULT_NO_DEVICE:
            return FAXSTATUS_NO_DEVICE;
        case FAXRESULT_READ:
            return FAXSTATUS_READ;
        case FAXRESULT_WRITE:
            return FAXSTATUS_WRITE;
        case FAXRESULT_MEMALLOC:
            return FAXSTATUS_MEMALLOC;
        case FAXRESULT_BUSY:
            return FAXSTATUS_BUSY;
        case FAXRESULT_DISKFULL:
            return FAXSTATUS_DISKFULL;
        default:  // INVALIDARG, FALSE, BADREPLY, FILE and every unlisted value
            return fallback;
    }
}

FAXRESULT WriteAll(FAX_DEVICE* device, const void* buffer, std::uint32_t length) {
    if (!device || !buffer) return FAXRESULT_NULLPOINTER;
    std::uint32_t written = 0;
    if (device->Write(buffer, static_cast<std::int32_t>(length), &written) != FAXSTATUS_OK || written != length)
        return FAXRESULT_WRITE;
    return FAXRESULT_OK;
}

FAXRESULT ReadAll(FAX_DEVICE* device, void* buffer, std::uint32_t length, std::uint32_t /*timeout*/) {
    if (!device || !buffer) return FAXRESULT_NULLPOINTER;
    std::uint32_t read = 0;
    if (device->Read(buffer, static_cast<std::int32_t>(length), &read) != FAXSTATUS_OK || read != length)
        return FAXRESULT_READ;
    return FAXRESULT_OK;
}

namespace {

// Judges a reply header. A negative answer (Status 1) has a meaning of its own
// only when the reply's Command is the one yes/no command this judge serves.
FAXRESULT JudgeReply(const FAX_PACKET_HEADER& reply, std::uint32_t yes_no_command) {
    const std::uint32_t status = HeaderStatus(reply);
    if (status == DEVSTATUS_NO && HeaderCommand(reply) == yes_no_command) return FAXRESULT_FALSE;
    return MapDeviceStatus(status, FAXRESULT_READ);
}

}  // namespace

FAXRESULT SendCommand(FAX_DEVICE* device, FAX_PACKET_HEADER* header) {
    if (!header) return FAXRESULT_NULLPOINTER;
    if (FAXRESULT r = WriteAll(device, header, kHeaderSize); r != FAXRESULT_OK) return r;
    std::memset(header, 0, sizeof(*header));
    if (FAXRESULT r = ReadAll(device, header, kHeaderSize, kReadTimeoutMs); r != FAXRESULT_OK) return r;
    return JudgeReply(*header, FAXCMD_PASSWORD_SET);
}

FAXRESULT SendCommandWithData(FAX_DEVICE* device, FAX_PACKET_HEADER* header, const void* data,
                              std::uint32_t length) {
    if (!header) return FAXRESULT_NULLPOINTER;
    if (FAXRESULT r = WriteAll(device, header, kHeaderSize); r != FAXRESULT_OK) return r;
    if (FAXRESULT r = WriteAll(device, data, length); r != FAXRESULT_OK) return r;
    if (FAXRESULT r = ReadAll(device, header, kHeaderSize, kReadTimeoutMs); r != FAXRESULT_OK) return r;
    return JudgeReply(*header, FAXCMD_CHECK_PASSWORD);
}

FAXRESULT ReadReplyData(FAX_DEVICE* device, FAX_PACKET_HEADER* header, void* buffer, std::uint32_t capacity) {
    if (!header) return FAXRESULT_NULLPOINTER;
    if (FAXRESULT r = SendCommand(device, header); r != FAXRESULT_OK) return r;
    const std::uint32_t n = HeaderDataLength(*header);  // unsigned: a set top bit is a huge count
    if (n <= capacity) return ReadAll(device, buffer, n, kReadTimeoutMs);

    // More data than the caller's buffer holds: consume all of it so the
    // conversation stays in step, deliver what fits, and report the excess.
    // A length beyond what one read can carry (a signed 32-bit count) cannot
    // be consumed at all, so nothing is allocated for it on the device's word.
    if (n > kMaxReadLength) return FAXRESULT_BADREPLY;
    auto* excess = new (std::nothrow) std::uint8_t[n];
    if (!excess) return FAXRESULT_BADREPLY;
    if (ReadAll(device, excess, n, kReadTimeoutMs) == FAXRESULT_OK && buffer) std::memcpy(buffer, excess, capacity);
    delete[] excess;
    return FAXRESULT_BADREPLY;
}
