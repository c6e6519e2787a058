// The device directory on POSIX: where each channel class keeps its devices,
// whether a directory may be searched at all, the one listing of a class
// subdirectory (discovery and the hosts' device listing both run it), and
// connecting to a device's socket. Holds no state.
//
// Each channel class is a subdirectory of the device directory, named by the
// class GUID in upper case and braces; each present device is a listening
// socket in it, and its device path is the socket's full path. The device
// directory and the class subdirectory are searched only when no one but root
// and the caller can add entries to them (see CheckDeviceDirectory).
#include "platform/device_directory_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <tessaline/guid_text.h>

namespace plat {
namespace {

// One entry of a class subdirectory: its name, and its type as the listing
// gives it (DT_UNKNOWN where the file system does not tell).
struct ClassEntry {
    std::string name;
    unsigned char type = DT_UNKNOWN;
    bool operator<(const ClassEntry& other) const { return name < other.name; }
};

// Moves a descriptor above the standard streams, so that a live channel is
// never descriptor 0, which the transfer operations would take for "none".
int AboveStandardStreams(int fd) {
    if (fd > 2) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

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

// What stands at one entry. The listing's type is trusted where it tells
// (a socket is then only probed); a link, or an entry of unknown type, is
// looked at through stat, so that a link to a socket is a device and a link
// that leads nowhere is not. A probe that connects keeps its descriptor in
// `fd` when asked to, else closes it.
DeviceState JudgeEntry(const std::string& path, unsigned char type, int* fd) {
    if (type != DT_SOCK) {
        if (type != DT_LNK && type != DT_UNKNOWN) return DeviceState::NotASocket;
        struct stat st {};
        if (stat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return DeviceState::NotASocket;
    }
    const int probe = ConnectPath(path.c_str());
    if (probe < 0) return errno == ECONNREFUSED || errno == ENOENT ? DeviceState::Stale : DeviceState::Unreachable;
    if (fd)
        *fd = probe;
    else
        close(probe);
    return DeviceState::Live;
}

}  // namespace

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

std::string DeviceDirectory() {
    if (const char* dir = std::getenv("TESSALINE_DEVICE_DIR"); dir && *dir) return dir;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        return std::string(runtime) + "/tessaline";
    return "/run/tessaline";
}

std::string FormatInterfaceClass(const InterfaceClass& cls) { return tessaline::GuidText(cls); }

std::string ClassDirectory(const InterfaceClass& cls) { return DeviceDirectory() + "/" + FormatInterfaceClass(cls); }

DirectoryTrust CheckDeviceDirectory(const std::string& path, std::string& why) {
    why.clear();
    int fd = -1;
    const DirectoryTrust trust = OpenSearchable(AT_FDCWD, path.c_str(), O_PATH, fd, why);
    if (fd >= 0) close(fd);
    return trust;
}

ClassListing ListDeviceInterfaces(const InterfaceClass& cls, ListingScope scope, int* kept) {
    if (kept) *kept = -1;
    ClassListing listing;
    std::vector<ClassEntry> names;
    listing.trust = ReadClassDirectory(cls, names, listing.refusal);
    if (listing.trust != DirectoryTrust::Trusted) return listing;
    const std::string class_dir = ClassDirectory(cls);
    bool decided = false;  // the first usable entry is known, or none can be
    for (const ClassEntry& name : names) {
        if (decided && scope == ListingScope::UpToFirstUsable) break;
        DeviceEntry e{class_dir + "/" + name.name, DeviceState::NotASocket};
        int fd = -1;
        e.state = JudgeEntry(e.path, name.type, decided ? nullptr : &fd);
        if (!decided && (e.state == DeviceState::Live || e.state == DeviceState::Unreachable)) {
            decided = true;
            if (e.path.size() + 1 > static_cast<std::size_t>(kDevicePathCapacity)) {
                listing.first_too_long = true;
            } else {
                listing.first_usable = static_cast<int>(listing.entries.size());
                if (kept) {
                    *kept = fd;
                    fd = -1;
                }
            }
        }
        if (fd >= 0) close(fd);
        listing.entries.push_back(std::move(e));
    }
    return listing;
}

}  // namespace plat
