// Device channels on POSIX: Unix stream sockets served by the device's driver
// (a USB bridge, or the simulated device).
//
// Discovery: the first present device of a class is the one the listing of
// its class subdirectory (device_directory_posix.cpp) names: the entry of
// lowest name (byte order) that is a socket with a listener, or one that
// could not be probed. A socket that refuses connections was left by a
// device that died and is passed over, as is anything that is not a socket. A directory that may not be searched finds no device, and says
// why on standard error. An explicitly named device path is the user's own
// choice and is not checked.
//
// Requests, one at a time per connection, framed as base/channel_frame.h
// describes. A connection that closes fails the request pending on it.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "base/channel_frame.h"
#include "platform/device_channel.h"
#include "platform/device_directory.h"
#include "platform/device_directory_posix.h"
#include "platform/diagnostics.h"

namespace plat {
namespace {

constexpr std::size_t kRequestFrame = wire::kRequestFrameSize;
constexpr std::size_t kCompletionFrame = wire::kCompletionFrameSize;

// Discovery has to connect to a socket to tell a live device from a stale
// one. The connection it made is handed to the open that follows on the same
// thread for the same path, instead of connecting twice; any other call
// closes it.
struct ProbeSlot {
    std::string path;
    int fd = -1;
    void Drop() {
        if (fd >= 0) close(fd);
        fd = -1;
        path.clear();
    }
    ~ProbeSlot() { Drop(); }
};
thread_local ProbeSlot t_probe;

bool SendAll(int fd, const std::uint8_t* head, std::size_t head_len, const void* data, std::size_t data_len) {
    iovec iov[2] = {{const_cast<std::uint8_t*>(head), head_len}, {const_cast<void*>(data), data_len}};
    int iovcnt = data_len ? 2 : 1;
    iovec* cur = iov;
    while (iovcnt > 0) {
        msghdr msg{};
        msg.msg_iov = cur;
        msg.msg_iovlen = static_cast<std::size_t>(iovcnt);
        ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        auto left = static_cast<std::size_t>(n);
        while (iovcnt > 0 && left >= cur->iov_len) {
            left -= cur->iov_len;
            ++cur;
            --iovcnt;
        }
        if (iovcnt > 0) {
            cur->iov_base = static_cast<std::uint8_t*>(cur->iov_base) + left;
            cur->iov_len -= left;
        }
    }
    return true;
}

// Receives up to `cap` bytes into the two places given, the first filled
// first: one call, which returns what has arrived (at least one byte). 0 when
// the connection closed or failed.
std::size_t RecvInto(int fd, std::uint8_t* first, std::size_t first_len, std::uint8_t* second,
                     std::size_t second_len) {
    iovec iov[2];
    int n_iov = 0;
    if (first_len > 0) iov[n_iov++] = {first, first_len};
    if (second_len > 0) iov[n_iov++] = {second, second_len};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<std::size_t>(n_iov);
    for (;;) {
        const ssize_t n = recvmsg(fd, &msg, 0);
        if (n > 0) return static_cast<std::size_t>(n);
        if (n < 0 && errno == EINTR) continue;
        return 0;
    }
}

// After a completion that breaks the framing, nothing more on the connection
// can be trusted: shut it so that every later request fails at once.
bool Broken(int fd, std::uint32_t* count) {
    shutdown(fd, SHUT_RDWR);
    if (count) *count = 0;
    return false;
}

void EmitNoDevice() { EmitDiagnostic("SetupDiEnumDeviceInterfaces failed: No more data is available.\n"); }

bool FindFirstDevice(const InterfaceClass& cls, char* path, std::int32_t capacity) {
    t_probe.Drop();
    // The listing the hosts show, up to the device it would use.
    int kept = -1;
    const ClassListing listing = ListDeviceInterfaces(cls, ListingScope::UpToFirstUsable, &kept);
    switch (listing.trust) {
        case DirectoryTrust::Trusted:
            break;
        case DirectoryTrust::Untrusted:
            // Searched no further, as if no device were there; the user is
            // told why, since nothing else would show it.
            EmitWarning(("libtessaline: not searching " + listing.refusal + "\n").c_str());
            EmitNoDevice();
            return false;
        case DirectoryTrust::Missing:
            EmitNoDevice();
            return false;
        case DirectoryTrust::Unreadable:
            EmitDiagnostic("SetupDiGetClassDevs failed!\n");
            return false;
    }
    if (listing.first_too_long) {
        // The first present device has a path that does not fit.
        if (capacity > 0) path[capacity - 1] = '\0';
        return false;
    }
    if (listing.first_usable < 0) {
        EmitNoDevice();
        return false;
    }
    const std::string& found = listing.entries[static_cast<std::size_t>(listing.first_usable)].path;
    if (capacity <= 0 || found.size() + 1 > static_cast<std::size_t>(capacity)) {
        if (kept >= 0) close(kept);
        if (capacity > 0) path[capacity - 1] = '\0';
        return false;
    }
    std::memcpy(path, found.c_str(), found.size() + 1);
    // The probe's connection goes to the open that follows. A socket that
    // could not be probed (a path too long for a socket address, no
    // permission) is still the first present device; opening it fails
    // later, without a message.
    if (kept >= 0) {
        t_probe.path = found;
        t_probe.fd = kept;
    }
    return true;
}

}  // namespace

bool GetDeviceInterfacePath(const InterfaceClass& cls, char* path, std::int32_t capacity) {
    if (!path) return false;
    try {
        return FindFirstDevice(cls, path, capacity);
    } catch (const std::bad_alloc&) {
        t_probe.Drop();
        EmitDiagnostic("Failed to allocate memory.\n");
        return false;
    }
}

ChannelHandle OpenDevicePath(const char* path) {
    if (!path) return ChannelHandle();
    int fd = -1;
    if (t_probe.fd >= 0 && t_probe.path == path) {
        fd = t_probe.fd;
        t_probe.fd = -1;
        t_probe.path.clear();
    } else {
        t_probe.Drop();
        fd = ConnectPath(path);
    }
    return fd < 0 ? ChannelHandle() : ChannelHandle(fd);
}

void ChannelTraits::Close(int fd) { close(fd); }

bool SubmitRequest(const ChannelHandle& h, RequestKind kind, std::uint32_t code, const void* in,
                   std::uint32_t in_len, void* out, std::uint32_t out_len, std::uint32_t* count) {
    if (count) *count = 0;
    if (!h.is_open()) return false;
    const int fd = h.get();
    if (kind == RequestKind::Write) out_len = 0;
    if (kind == RequestKind::Read) in_len = 0;
    if (!in) in_len = 0;
    if (!out) out_len = 0;

    std::uint8_t frame[kRequestFrame];
    wire::EncodeRequest(frame, {static_cast<std::uint32_t>(kind), kind == RequestKind::Control ? code : 0, in_len,
                                out_len});
    if (!SendAll(fd, frame, sizeof(frame), in, in_len)) return false;

    // The completion, and for a read or control request its data, which the
    // driver sends along with it: received together, straight into the
    // caller's buffer, so that one call normally takes the whole answer.
    // Until the completion is in, as much data as the caller's buffer holds
    // is accepted; then exactly the count it announces.
    std::uint8_t done[kCompletionFrame];
    auto* data = static_cast<std::uint8_t*>(out);
    std::size_t got = 0;  // completion bytes first, then data bytes
    std::size_t due = kCompletionFrame + out_len;
    bool known = false;
    std::uint32_t error = 0;
    std::uint32_t moved = 0;
    while (got < due) {
        const std::size_t frame_got = std::min(got, kCompletionFrame);
        const std::size_t data_got = got - frame_got;
        const std::size_t n = RecvInto(fd, done + frame_got, kCompletionFrame - frame_got, data + data_got,
                                       due - kCompletionFrame - data_got);
        if (n == 0) return false;
        got += n;
        if (!known && got >= kCompletionFrame) {
            known = true;
            const wire::CompletionFrame completion = wire::DecodeCompletion(done);
            error = completion.error;
            moved = completion.count;
            // Never trust the count beyond what was asked: a write's count is
            // the bytes taken, and never more than were sent; a read's data
            // must fit the caller's buffer.
            if (moved > (kind == RequestKind::Write ? in_len : out_len)) return Broken(fd, count);
            due = kCompletionFrame + (kind == RequestKind::Write ? 0 : moved);
            // Bytes past the announced data were never asked for: the
            // framing is lost.
            if (got > due) return Broken(fd, count);
        }
    }
    if (count) *count = moved;
    return error == 0;
}

}  // namespace plat
