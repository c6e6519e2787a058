// Device channels on POSIX: Unix stream sockets served by the device's driver
// (a USB bridge, or the simulated device).
//
// Discovery: each channel class is a subdirectory of the device directory,
// named by the class GUID in upper case and braces; each present device is a
// listening socket in it, and its device path is the socket's full path. The
// first present device is the entry of lowest name (byte order) that is a
// socket with a listener. A socket that refuses connections was left by a
// device that died and is passed over, as is anything that is not a socket.
// The device directory and the class subdirectory are searched only when no
// one but root and the caller can add entries to them (see
// CheckDeviceDirectory); otherwise discovery finds no device and says why on
// standard error. An explicitly named device path is the user's own choice
// and is not checked.
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

// What makes a directory unfit to be searched for devices: someone other than
// root and the caller could add entries to it. Empty when nobody can.
std::string UntrustedBecause(const struct stat& st) {
    if (st.st_uid != 0 && st.st_uid != geteuid())
        return "owned by another user (uid " + std::to_string(st.st_uid) + ")";
    if (st.st_mode & S_IWOTH) return "writable by other users";
    if (st.st_mode & S_IWGRP) return "writable by its group (gid " + std::to_string(st.st_gid) + ")";
    return {};
}

// Opens `name` (relative to `at`) as a directory to be searched, without
// following a symbolic link in its last component, and checks it on the
// descriptor itself, so that the directory checked is the one then listed.
// A link is refused rather than followed: whoever owns it can point it
// elsewhere between the check and the connection, even in a sticky directory.
// `access` is O_RDONLY for a directory to be listed, O_PATH for one only
// passed through (which then needs no read permission).
DirectoryTrust OpenSearchable(int at, const char* name, int access, int& fd, std::string& why) {
    fd = openat(at, name, access | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        struct stat st {};
        if ((err == ENOTDIR || err == ELOOP) && fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(st.st_mode)) {
            why = "a symbolic link";
            return DirectoryTrust::Untrusted;
        }
        return err == ENOENT || err == ENOTDIR ? DirectoryTrust::Missing : DirectoryTrust::Unreadable;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        close(fd);
        fd = -1;
        return DirectoryTrust::Unreadable;
    }
    why = UntrustedBecause(st);
    if (why.empty()) return DirectoryTrust::Trusted;
    close(fd);
    fd = -1;
    return DirectoryTrust::Untrusted;
}

// One entry of a class subdirectory: its name, and its type as the listing
// gives it (DT_UNKNOWN where the file system does not tell).
struct ClassEntry {
    std::string name;
    unsigned char type = DT_UNKNOWN;
    bool operator<(const ClassEntry& other) const { return name < other.name; }
};

// Lists an open directory and closes it. The entries come from the kernel
// straight into a buffer on the stack: discovery runs on every open, and
// readdir would add a heap buffer and checks of the descriptor that its
// opening has already made. A failure ends the listing with what it has.
void ListDirectory(int fd, std::vector<ClassEntry>& entries) {
    alignas(dirent64) char buf[8192];
    for (;;) {
        const ssize_t n = getdents64(fd, buf, sizeof(buf));
        if (n <= 0) break;
        for (std::size_t pos = 0; pos < static_cast<std::size_t>(n);) {
            const auto* entry = reinterpret_cast<const dirent64*>(buf + pos);
            if (entry->d_reclen == 0) break;
            pos += entry->d_reclen;
            if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
            entries.push_back({entry->d_name, entry->d_type});
        }
    }
    close(fd);
}

// The entries of the class subdirectory of `cls`, sorted by name (bytes
// compared as unsigned, which is what char_traits<char> does). The device
// directory and the class subdirectory are each checked before they are
// searched; when one is refused, `refusal` names it and says why.
DirectoryTrust ReadClassDirectory(const InterfaceClass& cls, std::vector<ClassEntry>& entries, std::string& refusal) {
    const std::string device_dir = DeviceDirectory();
    const std::string class_name = FormatInterfaceClass(cls);
    int device_fd = -1, class_fd = -1;
    std::string why;
    DirectoryTrust trust = OpenSearchable(AT_FDCWD, device_dir.c_str(), O_PATH, device_fd, why);
    if (trust != DirectoryTrust::Trusted) {
        if (trust == DirectoryTrust::Untrusted) refusal = device_dir + ": " + why;
        return trust;
    }
    trust = OpenSearchable(device_fd, class_name.c_str(), O_RDONLY, class_fd, why);
    close(device_fd);
    if (trust != DirectoryTrust::Trusted) {
        if (trust == DirectoryTrust::Untrusted) refusal = device_dir + "/" + class_name + ": " + why;
        return trust;
    }
    ListDirectory(class_fd, entries);
    std::sort(entries.begin(), entries.end());
    return DirectoryTrust::Trusted;
}

bool FindFirstDevice(const InterfaceClass& cls, char* path, std::int32_t capacity) {
    t_probe.Drop();
    const std::string class_dir = ClassDirectory(cls);
    std::vector<ClassEntry> entries;
    std::string refusal;
    switch (ReadClassDirectory(cls, entries, refusal)) {
        case DirectoryTrust::Trusted:
            break;
        case DirectoryTrust::Untrusted:
            // Searched no further, as if no device were there; the user is
            // told why, since nothing else would show it.
            EmitWarning(("libtessaline: not searching " + refusal + "\n").c_str());
            EmitNoDevice();
            return false;
        case DirectoryTrust::Missing:
            EmitNoDevice();
            return false;
        case DirectoryTrust::Unreadable:
            EmitDiagnostic("SetupDiGetClassDevs failed!\n");
            return false;
    }

    for (const ClassEntry& entry : entries) {
        const std::string full = class_dir + "/" + entry.name;
        // The listing tells a socket without a stat; a symbolic link (which
        // may lead to one) and an entry of unknown type are looked at.
        if (entry.type != DT_SOCK) {
            if (entry.type != DT_LNK && entry.type != DT_UNKNOWN) continue;
            struct stat st {};
            if (stat(full.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
        }
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

DirectoryTrust CheckDeviceDirectory(const std::string& path, std::string& why) {
    why.clear();
    int fd = -1;
    const DirectoryTrust trust = OpenSearchable(AT_FDCWD, path.c_str(), O_PATH, fd, why);
    if (fd >= 0) close(fd);
    return trust;
}

ClassListing ListDeviceInterfaces(const InterfaceClass& cls, std::vector<DeviceEntry>& entries,
                                  std::string* refusal) {
    entries.clear();
    const std::string class_dir = ClassDirectory(cls);
    std::vector<ClassEntry> names;
    std::string why;
    switch (ReadClassDirectory(cls, names, why)) {
        case DirectoryTrust::Trusted:
            break;
        case DirectoryTrust::Untrusted:
            if (refusal) *refusal = why;
            return ClassListing::Untrusted;
        case DirectoryTrust::Missing:
            return ClassListing::Missing;
        case DirectoryTrust::Unreadable:
            return ClassListing::Unreadable;
    }
    for (const ClassEntry& name : names) {
        DeviceEntry e;
        e.path = class_dir + "/" + name.name;
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
            error = wire::LoadLE32(done + 0);
            moved = wire::LoadLE32(done + 4);
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
