// Device channels on POSIX: Unix stream sockets served by the device's driver
// (a USB bridge, or the simulated device).
//
// Discovery: each channel class is a subdirectory of the device directory,
// named by the class GUID in upper case and braces; each present device is a
// listening socket in it, and its device path is the socket's full path. The
// first present device is the entry of lowest name (byte order) that is a
// socket with a listener. A socket that refuses connections was left by a
// device that died and is passed over, as is anything that is not a socket.
//
// Requests, one at a time per connection, all integers 32-bit little-endian:
//   host -> driver: kind, code, in_len, out_len, then in_len bytes
//   driver -> host: error, count, then count bytes for a read or control
// A connection that closes fails the request pending on it.
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/device_channel.h"
#include "platform/device_directory.h"
#include "platform/diagnostics.h"
#include "protocol/byte_order.h"

namespace plat {
namespace {

constexpr std::size_t kRequestFrame = 16;
constexpr std::size_t kCompletionFrame = 8;

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

// Moves a descriptor above the standard streams, so that a live channel is
// never descriptor 0, which the transfer operations would take for "none".
int AboveStandardStreams(int fd) {
    if (fd > 2) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

// Connects to a Unix socket path; -1 with errno set on failure.
int ConnectPath(const char* path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::size_t len = std::strlen(path);
    if (len >= sizeof(addr.sun_path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(addr.sun_path, path, len + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return AboveStandardStreams(fd);
}

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

bool RecvAll(int fd, void* buf, std::size_t len) {
    auto* p = static_cast<std::uint8_t*>(buf);
    while (len > 0) {
        ssize_t n = recv(fd, p, len, MSG_WAITALL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

// After a completion that breaks the framing, nothing more on the connection
// can be trusted: shut it so that every later request fails at once.
bool Broken(int fd, std::uint32_t* count) {
    shutdown(fd, SHUT_RDWR);
    if (count) *count = 0;
    return false;
}

void EmitNoDevice() { EmitDiagnostic("SetupDiEnumDeviceInterfaces failed: No more data is available.\n"); }

// The entries of a class subdirectory, sorted by name (bytes compared as
// unsigned, which is what char_traits<char> does). 0, or the errno of the
// failed listing.
int ReadClassDirectory(const std::string& class_dir, std::vector<std::string>& names) {
    DIR* dir = opendir(class_dir.c_str());
    if (!dir) return errno;
    while (dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        names.emplace_back(entry->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return 0;
}

bool FindFirstDevice(const InterfaceClass& cls, char* path, std::int32_t capacity) {
    t_probe.Drop();
    const std::string class_dir = ClassDirectory(cls);
    std::vector<std::string> names;
    if (int err = ReadClassDirectory(class_dir, names); err != 0) {
        if (err == ENOENT || err == ENOTDIR) {
            EmitNoDevice();
        } else {
            EmitDiagnostic("SetupDiGetClassDevs failed!\n");
        }
        return false;
    }

    for (const std::string& name : names) {
        const std::string full = class_dir + "/" + name;
        struct stat st {};
        if (stat(full.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
        if (capacity <= 0 || full.size() + 1 > static_cast<std::size_t>(capacity)) {
            // The first present device has a path that does not fit.
            if (capacity > 0) path[capacity - 1] = '\0';
            return false;
        }
        int fd = ConnectPath(full.c_str());
        if (fd < 0 && (errno == ECONNREFUSED || errno == ENOENT)) continue;  // stale, or gone meanwhile
        std::memcpy(path, full.c_str(), full.size() + 1);
        if (fd >= 0) {
            t_probe.path = full;
            t_probe.fd = fd;
        }
        // A socket that could not be probed for another reason (a path too
        // long for a socket address, no permission) is still the first
        // present device; opening it fails later, without a message.
        return true;
    }
    EmitNoDevice();
    return false;
}

}  // namespace

std::string DeviceDirectory() {
    if (const char* dir = std::getenv("TESSALINE_DEVICE_DIR"); dir && *dir) return dir;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        return std::string(runtime) + "/tessaline";
    return "/run/tessaline";
}

std::string FormatInterfaceClass(const InterfaceClass& cls) {
    char text[39];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(cls.Data1), cls.Data2, cls.Data3, cls.Data4[0], cls.Data4[1], cls.Data4[2],
                  cls.Data4[3], cls.Data4[4], cls.Data4[5], cls.Data4[6], cls.Data4[7]);
    return text;
}

std::string ClassDirectory(const InterfaceClass& cls) { return DeviceDirectory() + "/" + FormatInterfaceClass(cls); }

ClassListing ListDeviceInterfaces(const InterfaceClass& cls, std::vector<DeviceEntry>& entries) {
    entries.clear();
    const std::string class_dir = ClassDirectory(cls);
    std::vector<std::string> names;
    if (int err = ReadClassDirectory(class_dir, names); err != 0)
        return err == ENOENT || err == ENOTDIR ? ClassListing::Missing : ClassListing::Unreadable;
    for (const std::string& name : names) {
        DeviceEntry e;
        e.path = class_dir + "/" + name;
        struct stat st {};
        if (stat(e.path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
            e.state = DeviceState::NotASocket;
        } else if (int fd = ConnectPath(e.path.c_str()); fd >= 0) {
            close(fd);
            e.state = DeviceState::Live;
        } else {
            e.state = errno == ECONNREFUSED || errno == ENOENT ? DeviceState::Stale : DeviceState::Unreachable;
        }
        entries.push_back(std::move(e));
    }
    return ClassListing::Ok;
}

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

Handle OpenDevicePath(const char* path, bool /*synchronous: every request blocks until it completes*/) {
    if (!path) return kInvalidHandle;
    int fd = -1;
    if (t_probe.fd >= 0 && t_probe.path == path) {
        fd = t_probe.fd;
        t_probe.fd = -1;
        t_probe.path.clear();
    } else {
        t_probe.Drop();
        fd = ConnectPath(path);
    }
    return fd < 0 ? kInvalidHandle : static_cast<Handle>(fd);
}

void CloseDeviceInterface(Handle h) {
    if (IsOpen(h)) close(static_cast<int>(h));
}

bool SubmitRequest(Handle h, RequestKind kind, std::uint32_t code, const void* in, std::uint32_t in_len, void* out,
                   std::uint32_t out_len, std::uint32_t* count) {
    if (count) *count = 0;
    if (!IsOpen(h)) return false;
    const int fd = static_cast<int>(h);
    if (kind == RequestKind::Write) out_len = 0;
    if (kind == RequestKind::Read) in_len = 0;
    if (!in) in_len = 0;
    if (!out) out_len = 0;

    std::uint8_t frame[kRequestFrame];
    wire::StoreLE32(frame + 0, static_cast<std::uint32_t>(kind));
    wire::StoreLE32(frame + 4, kind == RequestKind::Control ? code : 0);
    wire::StoreLE32(frame + 8, in_len);
    wire::StoreLE32(frame + 12, out_len);
    if (!SendAll(fd, frame, sizeof(frame), in, in_len)) return false;

    std::uint8_t done[kCompletionFrame];
    if (!RecvAll(fd, done, sizeof(done))) return false;
    const std::uint32_t error = wire::LoadLE32(done + 0);
    const std::uint32_t moved = wire::LoadLE32(done + 4);

    if (kind == RequestKind::Write) {
        if (moved > in_len) return Broken(fd, count);
    } else {
        // Never trust the count beyond the caller's buffer.
        if (moved > out_len) return Broken(fd, count);
        if (moved > 0 && !RecvAll(fd, out, moved)) return false;
    }
    if (count) *count = moved;
    return error == 0;
}

}  // namespace plat
