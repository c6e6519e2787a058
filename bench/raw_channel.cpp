// The raw baseline client: the channel's request frames and the MFP1
// exchanges of a send, a download and a count, without the library.
#include "bench/raw_channel.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "base/byte_order.h"

namespace bench {
namespace {

constexpr std::uint32_t kRead = 1;
constexpr std::uint32_t kWrite = 2;
constexpr std::size_t kFrame = 16;
constexpr std::size_t kCompletion = 8;

// MFP1 header offsets and the commands the conversations use.
constexpr std::size_t kHeader = 32;
constexpr std::size_t kCommandOffset = 4;
constexpr std::size_t kParam1Offset = 8;
constexpr std::size_t kStatusOffset = 16;
constexpr std::size_t kDataLengthOffset = 20;
constexpr std::uint32_t kSendBegin = 0;
constexpr std::uint32_t kSendEnd = 1;
constexpr std::uint32_t kRecipients = 2;
constexpr std::uint32_t kList = 3;
constexpr std::uint32_t kGet = 4;
constexpr std::uint32_t kData = 13;
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

// Sends every byte of the iovecs, resuming after partial sends.
bool SendIov(int fd, iovec* iov, int count) {
    while (count > 0) {
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<std::size_t>(count);
        ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        auto left = static_cast<std::size_t>(n);
        while (count > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<std::uint8_t*>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
    return true;
}

// Receives a write's completion: the bytes the device took, no data.
bool ReceiveWriteCompletion(int fd, std::uint32_t* count) {
    std::uint8_t done[kCompletion];
    std::size_t got = 0;
    while (got < kCompletion) {
        ssize_t n = recv(fd, done + got, kCompletion - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    *count = wire::LoadLE32(done + 4);
    return wire::LoadLE32(done) == 0;
}

// Receives a read's completion and up to `cap` bytes of data with as few
// calls as the arrival allows: the device sends both at once, so one call
// normally takes the lot. False on a failed completion or a broken
// connection.
bool ReceiveReadCompletion(int fd, void* data, std::uint32_t cap, std::uint32_t* count) {
    std::uint8_t done[kCompletion];
    std::size_t got = 0;
    std::size_t want = kCompletion;
    while (got < want) {
        iovec iov[2];
        int n_iov = 0;
        if (got < kCompletion) iov[n_iov++] = {done + got, kCompletion - got};
        const std::size_t data_got = got > kCompletion ? got - kCompletion : 0;
        const std::size_t data_want = want > kCompletion ? want - kCompletion : cap;
        if (data_want > data_got) iov[n_iov++] = {static_cast<std::uint8_t*>(data) + data_got, data_want - data_got};
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<std::size_t>(n_iov);
        ssize_t n = recvmsg(fd, &msg, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        const bool had_completion = got >= kCompletion;
        got += static_cast<std::size_t>(n);
        if (!had_completion && got >= kCompletion) {
            const std::uint32_t moved = wire::LoadLE32(done + 4);
            if (wire::LoadLE32(done) != 0 || moved > cap) return false;
            want = kCompletion + moved;
            if (got > want) return false;  // bytes the device was not asked for
            *count = moved;
        }
    }
    return true;
}

}  // namespace

bool RawChannel::Connect(const std::string& path) {
    Close();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        Close();
        return false;
    }
    return true;
}

void RawChannel::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

bool RawChannel::Write(const void* data, std::uint32_t len) {
    std::uint8_t frame[kFrame];
    wire::StoreLE32(frame + 0, kWrite);
    wire::StoreLE32(frame + 4, 0);
    wire::StoreLE32(frame + 8, len);
    wire::StoreLE32(frame + 12, 0);
    iovec iov[2] = {{frame, kFrame}, {const_cast<void*>(data), len}};
    if (!SendIov(fd_, iov, len ? 2 : 1)) return false;
    std::uint32_t taken = 0;
    return ReceiveWriteCompletion(fd_, &taken) && taken == len;
}

bool RawChannel::Read(void* data, std::uint32_t len) {
    std::uint8_t frame[kFrame];
    wire::StoreLE32(frame + 0, kRead);
    wire::StoreLE32(frame + 4, 0);
    wire::StoreLE32(frame + 8, 0);
    wire::StoreLE32(frame + 12, len);
    iovec iov[1] = {{frame, kFrame}};
    if (!SendIov(fd_, iov, 1)) return false;
    std::uint32_t moved = 0;
    return ReceiveReadCompletion(fd_, data, len, &moved) && moved == len;
}

bool RawSendFax(const std::string& path, const std::uint8_t* data, std::uint32_t size, const char* number) {
    RawChannel ch;
    if (!ch.Connect(path)) return false;
    std::uint8_t h[kHeader];

    Header(h, kSendBegin, size, 0);
    if (!ch.Write(h, kHeader) || !ch.Read(h, kHeader) || Status(h) != 0) return false;

    // One recipient: the count, then a slot of prefix (empty) and number.
    std::uint8_t list[4 + 64] = {};
    wire::StoreBE32(list, 1);
    std::strncpy(reinterpret_cast<char*>(list + 4 + 32), number, 31);
    Header(h, kRecipients, 0, sizeof(list));
    if (!ch.Write(h, kHeader) || !ch.Write(list, sizeof(list))) return false;

    for (std::uint32_t offset = 0; offset < size;) {
        const std::uint32_t n = size - offset < kBlock ? size - offset : kBlock;
        Header(h, kData, 0, n);
        if (!ch.Write(h, kHeader) || !ch.Write(data + offset, n)) return false;
        offset += n;
    }
    Header(h, kData, 0, 0);
    if (!ch.Write(h, kHeader) || !ch.Read(h, kHeader)) return false;

    Header(h, kSendEnd, 0, 0);
    return ch.Write(h, kHeader) && ch.Read(h, kHeader) && Status(h) == 0;
}

bool RawGetFax(const std::string& path, const char* name,
               const std::function<std::uint8_t*(std::uint32_t size)>& buffer_for) {
    RawChannel ch;
    if (!ch.Connect(path)) return false;
    std::uint8_t h[kHeader];
    const auto name_length = static_cast<std::uint32_t>(std::strlen(name) + 1);
    Header(h, kGet, 0, name_length);
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
    Header(h, kList, 0, 0);
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
