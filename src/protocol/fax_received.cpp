// The received-fax and fax-log operations.
#include "protocol/fax_received.h"

#include <cstddef>
#include <cstring>
#include <new>

#include "platform/file_buffer.h"
#include "platform/local_file.h"
#include "protocol/access_cycle.h"
#include "transport/fax_device.h"

namespace {

// FAX_NAME_LIST_WIRE: records back to back, each a 16-bit big-endian length n
// followed by n bytes holding the fax's name and its NUL. n = 0 ends the list.
constexpr std::uint32_t kListRecordLengthOffset = 0;
constexpr std::uint32_t kListRecordNameOffset = 2;

// FAX_LOG_ENTRY_WIRE: the 80 bytes of FAX_LOG_ENTRY as they stand, with its
// three words big-endian. The reply is read straight into the caller's record,
// so the wire offsets are the record's own.
constexpr std::uint32_t kLogEntrySize = 80;
constexpr std::uint32_t kLogDurationOffset = 8;
constexpr std::uint32_t kLogFaxStatusOffset = 12;
constexpr std::uint32_t kLogFaxTypeOffset = 16;
static_assert(sizeof(FAX_LOG_ENTRY) == kLogEntrySize);
static_assert(offsetof(FAX_LOG_ENTRY, Duration) == kLogDurationOffset);
static_assert(offsetof(FAX_LOG_ENTRY, FAXSTATUS) == kLogFaxStatusOffset);
static_assert(offsetof(FAX_LOG_ENTRY, FaxType) == kLogFaxTypeOffset);

constexpr std::uint32_t kFaxPathSize = sizeof(FAX_FILENAME::faxPath);
static_assert(kFaxPathSize == 64);

// The length of a fax name up to its NUL. A faxPath without a NUL in its 64
// bytes is not a name: the device would be sent bytes past the record.
bool FaxNameLength(const FAX_FILENAME& fax, std::uint32_t& length) {
    const void* nul = std::memchr(fax.faxPath, 0, kFaxPathSize);
    if (!nul) return false;
    length = static_cast<std::uint32_t>(static_cast<const char*>(nul) - fax.faxPath);
    return true;
}

// Sends `command` with the fax's name and its NUL as data (DataLength counts
// the NUL) and judges the reply, which stays in `header`.
FAXRESULT SendFaxName(FAX_DEVICE* device, FAX_PACKET_HEADER& header, std::uint32_t command, const FAX_FILENAME& fax,
                      std::uint32_t name_length) {
    BuildFaxHeader(&header, command, 0, 0);
    SetHeaderDataLength(header, name_length + 1);
    return SendCommandWithData(device, &header, fax.faxPath, name_length + 1);
}

// A count that the protocol carries unsigned but that must be positive when
// taken as a signed 32-bit value.
bool PositiveAsSigned(std::uint32_t value) { return static_cast<std::int32_t>(value) >= 1; }

}  // namespace

FAXRESULT FetchReceivedFaxNames(ReceivedFaxNames& names) {
    names.payload.reset();
    names.length = 0;
    names.count = 0;

    AccessCycle cycle;
    if (FAXRESULT r = cycle.Open(); r != FAXRESULT_OK) return r;

    FAX_PACKET_HEADER header;
    BuildFaxHeader(&header, FAXCMD_LIST_RECEIVED, 0, 0);
    if (FAXRESULT r = SendCommand(cycle.device(), &header); r != FAXRESULT_OK) return r;

    // The whole list arrives in one read of the length the reply announces.
    const std::uint32_t length = HeaderDataLength(header);
    std::unique_ptr<std::uint8_t[]> payload;
    // A list longer than one read can carry cannot arrive; nothing is
    // allocated for it on the device's word.
    if (length > kMaxReadLength) return FAXRESULT_READ;
    if (length > 0) {
        payload.reset(new (std::nothrow) std::uint8_t[length]);
        if (!payload) return FAXRESULT_MEMALLOC;
        if (ReadAll(cycle.device(), payload.get(), length, kReadTimeoutMs) != FAXRESULT_OK) return FAXRESULT_READ;
    }

    // Walk the records. Each name must lie whole within its record, NUL
    // included, and each record within the payload: a list that breaks this
    // is refused rather than read past its end. Records after a zero-length
    // one, or after the 40th name, are not looked at.
    std::uint32_t offsets[MAX_RECEIVED_FAXES] = {};
    std::uint32_t count = 0;
    std::uint32_t pos = 0;
    while (pos < length && count < MAX_RECEIVED_FAXES) {
        if (length - pos < kListRecordNameOffset) return FAXRESULT_BADREPLY;
        const std::uint32_t n = wire::LoadBE16(payload.get() + pos + kListRecordLengthOffset);
        if (n == 0) break;
        const std::uint32_t name = pos + kListRecordNameOffset;
        if (n > length - name) return FAXRESULT_BADREPLY;
        if (!std::memchr(payload.get() + name, 0, n)) return FAXRESULT_BADREPLY;
        offsets[count++] = name;
        pos = name + n;
    }

    names.payload = std::move(payload);
    names.length = length;
    names.count = count;
    std::memcpy(names.offsets, offsets, sizeof(offsets));
    return FAXRESULT_OK;
}

FAXRESULT ReceiveFaxData(FAX_DEVICE* device, std::uint8_t* buffer, std::uint32_t size) {
    if (!device || !buffer) return FAXRESULT_NULLPOINTER;
    if (!PositiveAsSigned(size)) return FAXRESULT_INVALIDARG;

    // The device sends the fax in blocks of its own choosing, each a header
    // and its bytes, until the announced size has come.
    std::uint32_t received = 0;
    while (received < size) {
        FAX_PACKET_HEADER block;
        if (ReadAll(device, &block, kHeaderSize, kReadTimeoutMs) != FAXRESULT_OK) return FAXRESULT_READ;
        if (const std::uint32_t status = HeaderStatus(block); status != DEVSTATUS_OK)
            return MapDeviceStatus(status, FAXRESULT_READ);
        const std::uint32_t n = HeaderDataLength(block);
        if (n == 0) return FAXRESULT_READ;
        // A block larger than what is still due would overrun the buffer.
        if (n > size - received) return FAXRESULT_BADREPLY;
        if (ReadAll(device, buffer + received, n, kReadTimeoutMs) != FAXRESULT_OK) return FAXRESULT_READ;
        received += n;
    }

    // The closing header carries the outcome and no data.
    FAX_PACKET_HEADER closing;
    if (ReadAll(device, &closing, kHeaderSize, kReadTimeoutMs) != FAXRESULT_OK) return FAXRESULT_READ;
    if (HeaderDataLength(closing) != 0) return FAXRESULT_BADREPLY;
    return MapDeviceStatus(HeaderStatus(closing), FAXRESULT_READ);
}

FAXRESULT WriteWholeFile(const char* path, const std::uint8_t* buffer, std::uint32_t size) {
    if (!path || !buffer) return FAXRESULT_NULLPOINTER;
    if (static_cast<std::int32_t>(size) <= 1) return FAXRESULT_INVALIDARG;
    // The fax goes to a new file that replaces the target only once complete,
    // so a failed write neither loses what the path held nor leaves a partial
    // fax behind.
    switch (plat::StoreFile(path, buffer, size)) {
        case plat::FileStore::Ok:
            return FAXRESULT_OK;
        case plat::FileStore::OpenFailed:
        case plat::FileStore::WriteFailed:
            break;
    }
    return FAXRESULT_FILE;
}

FAXRESULT DeviceGetReceivedFaxCount(std::uint32_t* count) {
    if (!count) return FAXRESULT_NULLPOINTER;
    *count = 0;
    ReceivedFaxNames names;
    const FAXRESULT r = FetchReceivedFaxNames(names);
    if (r == FAXRESULT_OK) *count = names.count;
    return r;
}

FAXRESULT DeviceGetReceivedFaxList(FAX_FILENAME* entries, std::uint32_t capacity) {
    if (!entries) return FAXRESULT_NULLPOINTER;
    if (!PositiveAsSigned(capacity)) return FAXRESULT_INVALIDARG;

    ReceivedFaxNames names;
    if (FAXRESULT r = FetchReceivedFaxNames(names); r != FAXRESULT_OK) return r;

    std::uint32_t k = names.count;
    if (capacity < k) k = capacity;
    if (k > MAX_RECEIVED_FAXES) k = MAX_RECEIVED_FAXES;
    for (std::uint32_t i = 0; i < k; ++i) {
        // The walk guaranteed a NUL within the name's record; a longer name
        // is cut to the 63 characters an entry holds.
        const auto* name = reinterpret_cast<const char*>(names.payload.get() + names.offsets[i]);
        const void* nul = std::memchr(name, 0, names.length - names.offsets[i]);
        std::size_t n = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - name) : 0;
        if (n > kFaxPathSize - 1) n = kFaxPathSize - 1;
        std::memcpy(entries[i].faxPath, name, n);
        entries[i].faxPath[n] = '\0';
    }
    return FAXRESULT_OK;
}

FAXRESULT DeviceGetReceivedFax(const FAX_FILENAME* fax, const char* localPath) {
    if (!fax || !localPath) return FAXRESULT_NULLPOINTER;
    std::uint32_t name_length = 0;
    if (!FaxNameLength(*fax, name_length)) return FAXRESULT_INVALIDARG;

    AccessCycle cycle;
    if (FAXRESULT r = cycle.Open(); r != FAXRESULT_OK) return r;

    FAX_PACKET_HEADER header;
    if (FAXRESULT r = SendFaxName(cycle.device(), header, FAXCMD_GET_RECEIVED, *fax, name_length); r != FAXRESULT_OK)
        return r;

    // The reply announces the fax's total size; no data follows it directly.
    // A size that is not positive is refused before anything is allocated or
    // read.
    const std::uint32_t size = HeaderDataLength(header);
    if (!PositiveAsSigned(size)) return FAXRESULT_INVALIDARG;
    plat::FileBuffer buffer;
    if (!buffer.Allocate(size)) return FAXRESULT_MEMALLOC;

    // The local file is touched only once the whole fax has arrived.
    if (FAXRESULT r = ReceiveFaxData(cycle.device(), buffer.data(), size); r != FAXRESULT_OK) return r;
    return WriteWholeFile(localPath, buffer.data(), size);
}

FAXRESULT DeviceRemoveReceivedFax(const FAX_FILENAME* fax) {
    if (!fax) return FAXRESULT_NULLPOINTER;
    std::uint32_t name_length = 0;
    if (!FaxNameLength(*fax, name_length)) return FAXRESULT_INVALIDARG;

    AccessCycle cycle;
    if (FAXRESULT r = cycle.Open(); r != FAXRESULT_OK) return r;

    FAX_PACKET_HEADER header;
    return SendFaxName(cycle.device(), header, FAXCMD_REMOVE_RECEIVED, *fax, name_length);
}

FAXRESULT DeviceGetFaxLogEntry(const FAX_FILENAME* fax, FAX_LOG_ENTRY* entry) {
    if (!fax || !entry) return FAXRESULT_NULLPOINTER;
    std::uint32_t name_length = 0;
    if (!FaxNameLength(*fax, name_length)) return FAXRESULT_INVALIDARG;

    AccessCycle cycle;
    if (FAXRESULT r = cycle.Open(); r != FAXRESULT_OK) return r;

    FAX_PACKET_HEADER header;
    if (FAXRESULT r = SendFaxName(cycle.device(), header, FAXCMD_GET_LOG_ENTRY, *fax, name_length); r != FAXRESULT_OK)
        return r;

    // At most one record's worth is read, straight into the caller's record;
    // anything the device sends beyond it is left unread.
    std::uint32_t length = HeaderDataLength(header);
    if (length > kLogEntrySize) length = kLogEntrySize;
    auto* bytes = reinterpret_cast<std::uint8_t*>(entry);
    if (length > 0 && ReadAll(cycle.device(), bytes, length, kReadTimeoutMs) != FAXRESULT_OK) return FAXRESULT_READ;

    // The three words to host order, each only if the reply delivered all of
    // it: a word the device did not send keeps the caller's value unchanged.
    if (kLogDurationOffset + 4 <= length) entry->Duration = wire::LoadBE32(bytes + kLogDurationOffset);
    if (kLogFaxStatusOffset + 4 <= length) entry->FAXSTATUS = wire::LoadBE32(bytes + kLogFaxStatusOffset);
    if (kLogFaxTypeOffset + 4 <= length) entry->FaxType = wire::LoadBE32(bytes + kLogFaxTypeOffset);
    return FAXRESULT_OK;
}
