// The raw channel on POSIX: the device socket, with the request frames and
// completions of the channel contract (base/channel_frame.h).
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bench/raw_channel.h"
#include "base/channel_frame.h"

namespace bench {
namespace {

constexpr std::size_t kFrame = wire::kRequestFrameSize;
constexpr std::size_t kCompletion = wire::kCompletionFrameSize;

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
    const wire::CompletionFrame completion = wire::DecodeCompletion(done);
    *count = completion.count;
    return completion.error == 0;
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
            const wire::CompletionFrame completion = wire::DecodeCompletion(done);
            const std::uint32_t moved = completion.count;
            if (completion.error != 0 || moved > cap) return false;
            want = kCompletion + moved;
            if (got > want) return false;  // bytes the device was not asked for
            *count = moved;
        }
    }
    return true;
}

int Fd(std::intptr_t channel) { return static_cast<int>(channel); }

}  // namespace

bool RawChannel::Connect(const std::string& path) {
    Close();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    channel_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (Fd(channel_) < 0) return false;
    if (connect(Fd(channel_), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        Close();
        return false;
    }
    return true;
}

void RawChannel::Close() {
    if (Fd(channel_) >= 0) close(Fd(channel_));
    channel_ = -1;
}

bool RawChannel::Write(const void* data, std::uint32_t len) {
    std::uint8_t frame[kFrame];
    wire::EncodeRequest(frame, {wire::kChannelWrite, 0, len, 0});
    iovec iov[2] = {{frame, kFrame}, {const_cast<void*>(data), len}};
    if (!SendIov(Fd(channel_), iov, len ? 2 : 1)) return false;
    std::uint32_t taken = 0;
    return ReceiveWriteCompletion(Fd(channel_), &taken) && taken == len;
}

bool RawChannel::Read(void* data, std::uint32_t len) {
    std::uint32_t moved = 0;
    return ReadSome(data, len, &moved) && moved == len;
}

bool RawChannel::ReadSome(void* data, std::uint32_t len, std::uint32_t* moved) {
    std::uint8_t frame[kFrame];
    wire::EncodeRequest(frame, {wire::kChannelRead, 0, 0, len});
    iovec iov[1] = {{frame, kFrame}};
    *moved = 0;
    return SendIov(Fd(channel_), iov, 1) && ReceiveReadCompletion(Fd(channel_), data, len, moved);
}

}  // namespace bench
