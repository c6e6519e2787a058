// The raw baseline client's MFP1 exchanges of a send, a download and a
// count, without the library; the same on every platform. The channel under
// them is raw_channel_posix.cpp or raw_channel_win32.cpp.
#include "bench/raw_channel.h"

#include <cstring>
#include <memory>
#include <new>

#include "base/byte_order.h"
#include "base/mfp1_commands.h"

namespace bench {
namespace {

// MFP1 header offsets and the commands the conversations use.
constexpr std::size_t kHeader = 32;
constexpr std::size_t kCommandOffset = 4;
constexpr std::size_t kParam1Offset = 8;
constexpr std::size_t kStatusOffset = 16;
constexpr std::size_t kDataLengthOffset = 20;
constexpr std::uint32_t kBlock = 4096;

void Header(std::uint8_t (&h)[kHeader], std::uint32_t command, std::uint32_t param1, std::uint32_t length) {
    std::memset(h, 0, sizeof(h));
    std::memcpy(h, "MFP1", 4);
    wire::StoreBE32(h + kCommandOffset, command);
    wire::StoreBE32(h + kParam1Offset, param1);
    wire::StoreBE32(h + kDataLengthOffset, length);
}

std::uint32_t Status(const std::uint8_t (&h)[kHeader]) { return wire::LoadBE32(h + kStatusOffset); }
std::uint32_t Length(const std::uint8_t (&h)[kHeader]) { return wire::LoadBE32(h + kDataLengthOffset); }

}  // namespace

bool RawSendFax(const std::string& path, const std::uint8_t* data, std::uint32_t size, const char* number) {
    RawChannel ch;
    if (!ch.Connect(path)) return false;
    std::uint8_t h[kHeader];

    Header(h, FAXCMD_SEND_BEGIN, size, 0);
    if (!ch.Write(h, kHeader) || !ch.Read(h, kHeader) || Status(h) != 0) return false;

    // One recipient: the count, then a slot of prefix (empty) and number.
    std::uint8_t list[4 + 64] = {};
    wire::StoreBE32(list, 1);
    std::strncpy(reinterpret_cast<char*>(list + 4 + 32), number, 31);
    Header(h, FAXCMD_RECIPIENTS, 0, sizeof(list));
    if (!ch.Write(h, kHeader) || !ch.Write(list, sizeof(list))) return false;

    for (std::uint32_t offset = 0; offset < size;) {
        const std::uint32_t n = size - offset < kBlock ? size - offset : kBlock;
        Header(h, FAXCMD_DATA, 0, n);
        if (!ch.Write(h, kHeader) || !ch.Write(data + offset, n)) return false;
        offset += n;
    }
    Header(h, FAXCMD_DATA, 0, 0);
    if (!ch.Write(h, kHeader) || !ch.Read(h, kHeader)) return false;

    Header(h, FAXCMD_SEND_END, 0, 0);
    return ch.Write(h, kHeader) && ch.Read(h, kHeader) && Status(h) == 0;
}

bool RawGetFax(const std::string& path, const char* name,
               const std::function<std::uint8_t*(std::uint32_t size)>& buffer_for) {
    RawChannel ch;
    if (!ch.Connect(path)) return false;
    std::uint8_t h[kHeader];
    const auto name_length = static_cast<std::uint32_t>(std::strlen(name) + 1);
    Header(h, FAXCMD_GET_RECEIVED, 0, name_length);
    if (!ch.Write(h, kHeader) || !ch.Write(name, name_length) || !ch.Read(h, kHeader) || Status(h) != 0) return false;
    const std::uint32_t total = Length(h);
    std::uint8_t* buffer = total ? buffer_for(total) : nullptr;
    if (!buffer) return false;
    for (std::uint32_t received = 0; received < total;) {
        if (!ch.Read(h, kHeader) || Status(h) != 0) return false;
        const std::uint32_t n = Length(h);
        if (n == 0 || n > total - received || !ch.Read(buffer + received, n)) return false;
        received += n;
    }
    return ch.Read(h, kHeader) && Status(h) == 0 && Length(h) == 0;
}

bool RawCount(const std::string& path, std::uint32_t* count) {
    RawChannel ch;
    if (!ch.Connect(path)) return false;
    std::uint8_t h[kHeader];
    Header(h, FAXCMD_LIST_RECEIVED, 0, 0);
    if (!ch.Write(h, kHeader) || !ch.Read(h, kHeader) || Status(h) != 0) return false;
    const std::uint32_t length = Length(h);
    std::unique_ptr<std::uint8_t[]> payload(new (std::nothrow) std::uint8_t[length ? length : 1]);
    if (!payload || (length > 0 && !ch.Read(payload.get(), length))) return false;
    std::uint32_t names = 0;
    for (std::uint32_t pos = 0; pos + 2 <= length;) {
        const std::uint32_t n = wire::LoadBE16(payload.get() + pos);
        if (n == 0 || n > length - pos - 2) break;
        ++names;
        pos += 2 + n;
    }
    *count = names;
    return true;
}

}  // namespace bench
