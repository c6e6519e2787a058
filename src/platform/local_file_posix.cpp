// Local files on POSIX: reading a fax to send, and storing a downloaded one.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "platform/local_file.h"

namespace plat {
namespace {

// The directory part of a path and its final name, as given.
struct PathParts {
    std::string dir;
    std::string name;
};

PathParts SplitPath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {std::string("."), path};
    return {std::string(path, 0, slash == 0 ? 1 : slash), std::string(path, slash + 1)};
}

// What a download's path leads to once its symbolic links are followed.
enum class Destination {
    Absent,    // nothing there yet (also the end of a dangling link)
    Regular,   // a regular file
    Stream,    // a FIFO, a device or anything else that is opened and written as it is
    Directory,
    Broken,    // a loop of links, or an entry that cannot be examined
};

// Follows the symbolic links of `path`, the last component only, to the entry
// they lead to: `final` becomes that entry's path, so that a regular file is
// replaced where it lies and the links that name it stay links.
Destination Resolve(const std::string& path, std::string& final) {
    final = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (lstat(final.c_str(), &st) != 0) return errno == ENOENT ? Destination::Absent : Destination::Broken;
        if (S_ISREG(st.st_mode)) return Destination::Regular;
        if (S_ISDIR(st.st_mode)) return Destination::Directory;
        if (!S_ISLNK(st.st_mode)) return Destination::Stream;
        std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        const ssize_t n = readlink(final.c_str(), target.data(), target.size());
        if (n < 0 || static_cast<std::size_t>(n) >= target.size()) return Destination::Broken;
        target.resize(static_cast<std::size_t>(n));
        if (target.empty()) return Destination::Broken;
        final = target[0] == '/' ? target : SplitPath(final).dir + "/" + target;
    }
    return Destination::Broken;
}

bool WriteAllTo(int fd, const std::uint8_t* data, std::uint32_t size) {
    std::uint32_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::uint32_t>(n);
    }
    return true;
}

// A FIFO, a terminal, /dev/null and the like: there is no file to replace,
// so the bytes go straight to it, as a stream file opened for writing would
// send them (emptying it first, where it is a file).
FileStore WriteInPlace(const std::string& path, const std::uint8_t* data, std::uint32_t size) {
    int fd;
    do {
        fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return FileStore::OpenFailed;
    bool ok = WriteAllTo(fd, data, size);
    if (close(fd) != 0 && errno != EINTR) ok = false;
    return ok ? FileStore::Ok : FileStore::WriteFailed;
}

// A regular file, or none yet: the bytes go to a new file beside `path`,
// which replaces it only once complete.
FileStore ReplaceFile(const std::string& path, const std::uint8_t* data, std::uint32_t size) {
    const PathParts parts = SplitPath(path);
    const std::string& dir = parts.dir;
    const std::string& name = parts.name;
    if (name.empty()) return FileStore::OpenFailed;

    // A private name beside the target, so the final rename stays within one
    // file system; O_EXCL makes it ours alone.
    static std::atomic<unsigned> counter{0};
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = dir + "/." + name + ".part-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return FileStore::OpenFailed;
    }
    if (fd < 0) return FileStore::OpenFailed;

    // A replaced file keeps its permissions and, where the caller may give
    // them, its owner and group.
    struct stat target {};
    if (stat(path.c_str(), &target) == 0 && S_ISREG(target.st_mode)) {
        if (fchown(fd, target.st_uid, target.st_gid) != 0) {
            // Not ours to give: the new file stays the caller's.
        }
        fchmod(fd, target.st_mode & 07777);
    }

    bool ok = WriteAllTo(fd, data, size);
    if (close(fd) != 0) ok = false;
    if (ok && rename(temp.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) {
        unlink(temp.c_str());
        return FileStore::WriteFailed;
    }
    return FileStore::Ok;
}

}  // namespace

FileLoad LoadFile(const char* path, FileBuffer& data) {
    data.Release();
    int fd = path ? open(path, O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0) return FileLoad::OpenFailed;
    // A shared lock keeps cooperating writers out while the file is read.
    flock(fd, LOCK_SH | LOCK_NB);
    struct stat st {};
    FileLoad result = FileLoad::Ok;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        result = FileLoad::OpenFailed;
    } else if (static_cast<std::uint64_t>(st.st_size) > 0xFFFFFFFFull) {
        result = FileLoad::TooLarge;
    } else {
        const auto total = static_cast<std::uint32_t>(st.st_size);
        FileBuffer buffer;
        if (!buffer.Allocate(total)) {
            result = FileLoad::NoMemory;
        } else {
            std::uint32_t got = 0;
            while (got < total) {
                ssize_t n = read(fd, buffer.data() + got, total - got);
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) {
                    result = FileLoad::ReadFailed;
                    break;
                }
                if (n == 0) {
                    result = FileLoad::Short;
                    break;
                }
                got += static_cast<std::uint32_t>(n);
            }
            if (result == FileLoad::Ok) data = std::move(buffer);
        }
    }
    close(fd);
    return result;
}

FileStore StoreFile(const char* path, const std::uint8_t* data, std::uint32_t size) {
    if (!path || !*path) return FileStore::OpenFailed;
    if (size > 0 && !data) return FileStore::WriteFailed;
    // What the path leads to, as the system follows it: links of /proc (a
    // descriptor's entry such as /dev/stdout) name pipes and terminals that
    // no text of a link could.
    struct stat st {};
    const bool exists = stat(path, &st) == 0;
    if (!exists && errno != ENOENT) return FileStore::OpenFailed;
    if (exists && S_ISDIR(st.st_mode)) return FileStore::WriteFailed;  // a file cannot take its place
    if (exists && !S_ISREG(st.st_mode)) return WriteInPlace(path, data, size);
    std::string final;
    switch (Resolve(path, final)) {
        case Destination::Absent:
            // Nothing there yet, or the end of a dangling link: created.
            if (!exists) return ReplaceFile(final, data, size);
            break;
        case Destination::Regular: {
            struct stat at {};
            if (stat(final.c_str(), &at) == 0 && at.st_dev == st.st_dev && at.st_ino == st.st_ino)
                return ReplaceFile(final, data, size);
            break;
        }
        case Destination::Stream:
        case Destination::Directory:
        case Destination::Broken:
            break;
    }
    // A regular file whose place no link text tells (a descriptor's entry
    // of a deleted file, a link that changed meanwhile): written as it is.
    return exists ? WriteInPlace(path, data, size) : FileStore::OpenFailed;
}

}  // namespace plat
