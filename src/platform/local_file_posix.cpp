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

}  // namespace

FileLoad LoadFile(const char* path, std::unique_ptr<std::uint8_t[]>& data, std::uint32_t& size) {
    data.reset();
    size = 0;
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
        std::unique_ptr<std::uint8_t[]> buffer;
        if (total > 0) buffer.reset(new (std::nothrow) std::uint8_t[total]);
        if (total > 0 && !buffer) {
            result = FileLoad::NoMemory;
        } else {
            std::uint32_t got = 0;
            while (got < total) {
                ssize_t n = read(fd, buffer.get() + got, total - got);
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
            if (result == FileLoad::Ok) {
                data = std::move(buffer);
                size = total;
            }
        }
    }
    close(fd);
    return result;
}

FileStore StoreFile(const char* path, const std::uint8_t* data, std::uint32_t size) {
    if (!path || !*path) return FileStore::OpenFailed;
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

    // A replaced file keeps its permissions.
    struct stat target {};
    if (stat(path, &target) == 0 && S_ISREG(target.st_mode)) fchmod(fd, target.st_mode & 07777);

    bool ok = true;
    std::uint32_t done = 0;
    while (ok && done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        done += static_cast<std::uint32_t>(n);
    }
    if (close(fd) != 0) ok = false;
    if (ok && rename(temp.c_str(), path) != 0) ok = false;
    if (!ok) {
        unlink(temp.c_str());
        return FileStore::WriteFailed;
    }
    return FileStore::Ok;
}

}  // namespace plat
