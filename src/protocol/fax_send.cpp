// Sending a fax: the begin / recipients / data / end transaction.
#include "protocol/fax_send.h"

#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "platform/local_file.h"
#include "protocol/access_cycle.h"
#include "protocol/text_field.h"

namespace {

// FAX_RECIPIENTS_WIRE: the count, then one slot per record of the caller's
// array, each slot laid out as a FAX_RECIPIENT.
constexpr std::uint32_t kRecipientCountOffset = 0;
constexpr std::uint32_t kFirstSlotOffset = 4;
constexpr std::uint32_t kSlotSize = sizeof(FAX_RECIPIENT);
constexpr std::uint32_t kSlotPrefixOffset = offsetof(FAX_RECIPIENT, Prefix);
constexpr std::uint32_t kSlotNumberOffset = offsetof(FAX_RECIPIENT, PhoneNumber);
constexpr std::uint32_t kFieldSize = sizeof(FAX_RECIPIENT::Prefix);
static_assert(kSlotSize == 64 && kFieldSize == 32 && sizeof(FAX_RECIPIENT::PhoneNumber) == kFieldSize);
static_assert(kSlotPrefixOffset == 0 && kSlotNumberOffset == 32);
static_assert(RecipientListSize(kMaxRecipients) == 4294967236u, "the longest list still fits 32 bits");

// The end-of-data header's Status after a failed block. The device reads this
// one word as it lies in memory on the host, so it travels as 01 00 00 00.
constexpr std::uint32_t kFailedBlockStatus = 1;

// One FAX_DEVICE request carries at most this many bytes (its length is a
// signed 32-bit count).
constexpr std::uint32_t kMaxWriteLength = static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max());

// The recipients step: the FAXCMD_RECIPIENTS header and the list, no reply.
// False when the list could not be built or either write failed; the send
// then goes on at the end command.
bool SendRecipients(FAX_DEVICE* device, const FAX_RECIPIENT* phoneList, std::uint32_t numbers) {
    const std::uint32_t length = RecipientListSize(numbers);
    // A list that one request cannot carry is not announced at all: a header
    // whose data never follows would leave the device waiting for it.
    if (length > kMaxWriteLength) return false;
    std::unique_ptr<std::uint8_t[]> list(new (std::nothrow) std::uint8_t[length]);
    if (!list) return false;
    BuildRecipientList(phoneList, numbers, list.get());

    FAX_PACKET_HEADER header;
    BuildFaxHeader(&header, FAXCMD_RECIPIENTS, 0, 0);
    SetHeaderDataLength(header, length);
    if (WriteAll(device, &header, kHeaderSize) != FAXRESULT_OK) return false;
    return WriteAll(device, list.get(), length) == FAXRESULT_OK;
}

}  // namespace

std::uint32_t BuildRecipientList(const FAX_RECIPIENT* phoneList, std::uint32_t numbers, std::uint8_t* list) {
    // Beyond kMaxRecipients the list length wraps; nothing is written then.
    if (!list || numbers > kMaxRecipients) return 0;
    std::memset(list, 0, RecipientListSize(numbers));
    std::uint32_t count = 0;
    for (std::uint32_t k = 0; phoneList && k < numbers; ++k) {
        const FAX_RECIPIENT& record = phoneList[k];
        if (record.PhoneNumber[0] == '\0') continue;  // no number: not carried, not counted
        std::uint8_t* slot = list + kFirstSlotOffset + static_cast<std::size_t>(count) * kSlotSize;
        CopyTextField(reinterpret_cast<char*>(slot + kSlotPrefixOffset), record.Prefix, kFieldSize);
        CopyTextField(reinterpret_cast<char*>(slot + kSlotNumberOffset), record.PhoneNumber, kFieldSize);
        ++count;
    }
    wire::StoreBE32(list + kRecipientCountOffset, count);
    return count;
}

FAXRESULT ReadWholeFile(const char* path, plat::FileBuffer& data) {
    switch (plat::LoadFile(path, data)) {
        case plat::FileLoad::Ok:
            return FAXRESULT_OK;
        case plat::FileLoad::OpenFailed:
            return FAXRESULT_READ;
        case plat::FileLoad::NoMemory:
            return FAXRESULT_MEMALLOC;
        case plat::FileLoad::ReadFailed:
            return FAXRESULT_FILE;
        case plat::FileLoad::Short:
            return FAXRESULT_READ;
        case plat::FileLoad::TooLarge:
            // The begin command announces the size in 32 bits; a larger file
            // cannot be announced, and its low 32 bits would be a lie.
            return FAXRESULT_INVALIDARG;
    }
    return FAXRESULT_FILE;
}

bool SendFaxData(FAX_DEVICE* device, const std::uint8_t* buffer, std::uint32_t size) {
    if (!device || !buffer || size == 0) return false;

    FAX_PACKET_HEADER header;
    bool failed = false;
    std::uint32_t offset = 0;
    while (offset < size) {
        const std::uint32_t n = size - offset < FAX_DATA_BLOCK_SIZE ? size - offset : FAX_DATA_BLOCK_SIZE;
        BuildFaxHeader(&header, FAXCMD_DATA, 0, 0);
        SetHeaderDataLength(header, n);
        if (WriteAll(device, &header, kHeaderSize) != FAXRESULT_OK ||
            WriteAll(device, buffer + offset, n) != FAXRESULT_OK) {
            failed = true;
            break;
        }
        offset += n;
    }

    // The end-of-data header goes out after a failure too, so the device
    // learns that the upload is over and that it is incomplete.
    BuildFaxHeader(&header, FAXCMD_DATA, 0, 0);
    if (failed) wire::StoreLE32(header.Status, kFailedBlockStatus);
    return WriteAll(device, &header, kHeaderSize) == FAXRESULT_OK;
}

FAXRESULT DeviceSendFax(const FAX_RECIPIENT* phoneList, std::uint32_t ulNumbers, const char* pszFaxTiffFileName) {
    if (!phoneList || !pszFaxTiffFileName) return FAXRESULT_NULLPOINTER;
    if (static_cast<std::int32_t>(ulNumbers) <= 0) return FAXRESULT_INVALIDARG;
    if (ulNumbers > kMaxRecipients) return FAXRESULT_INVALIDARG;

    // The whole file is read and closed before the device is touched: what
    // goes out is the file as it was then, whatever happens to it meanwhile.
    plat::FileBuffer file;
    if (FAXRESULT r = ReadWholeFile(pszFaxTiffFileName, file); r != FAXRESULT_OK) return r;
    const std::uint32_t size = file.size();
    // An empty file makes no fax, and its upload would be no blocks and no
    // end-of-data header while a reply to one is awaited.
    if (size == 0) return FAXRESULT_INVALIDARG;

    AccessCycle cycle;
    if (FAXRESULT r = cycle.Open(); r != FAXRESULT_OK) return r;
    FAX_DEVICE* device = cycle.device();

    // Begin: a refused job ends the conversation here, without the end command.
    FAX_PACKET_HEADER header;
    BuildFaxHeader(&header, FAXCMD_SEND_BEGIN, size, 0);
    if (FAXRESULT r = SendCommand(device, &header); r != FAXRESULT_OK) return r;

    // Recipients, data and the one reply to the data. None of them decides
    // the result: once the job is begun, the end command is always sent and
    // the device's answer to it is the outcome. The reply to the data is
    // awaited only when the end-of-data header went out: a device that never
    // got it owes no reply, and the read would wait for ever.
    if (SendRecipients(device, phoneList, ulNumbers) && SendFaxData(device, file.data(), size)) {
        FAX_PACKET_HEADER reply;
        std::memset(&reply, 0, sizeof(reply));
        ReadAll(device, &reply, kHeaderSize, kReadTimeoutMs);
    }

    BuildFaxHeader(&header, FAXCMD_SEND_END, 0, 0);
    return SendCommand(device, &header);
}
