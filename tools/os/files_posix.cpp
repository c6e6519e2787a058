// Files and paths on POSIX systems: what stands at a path, the checks made
// before the device is asked, the journal's file, a stored fax put in place
// with a hard link that never replaces a file, and temporary files named by
// mkstemps.
#include "tools/os/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace cli {
namespace {

bool Sync(const std::string& path, int flags) {
    const int fd = open(path.c_str(), flags);
    if (fd < 0) return false;
    const bool ok = fsync(fd) == 0 || errno == EINVAL;  // some file systems can't sync a directory
    close(fd);
    return ok;
}

}  // namespace

std::string CheckInputFile(const std::string& file) {
    struct stat st {};
    if (stat(file.c_str(), &st) != 0) {
        const int why = errno;
        struct stat link {};
        if (why == ENOENT && lstat(file.c_str(), &link) == 0 && S_ISLNK(link.st_mode))
            return "cannot read " + file + ": a symbolic link to a file that does not exist";
        return "cannot read " + file + ": " + std::strerror(why);
    }
    if (S_ISDIR(st.st_mode)) return "cannot read " + file + ": it is a directory";
    if (!S_ISREG(st.st_mode)) return "cannot read " + file + ": not a regular file";
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "cannot read " + file + ": " + std::strerror(errno);
    close(fd);
    return {};
}

std::string CheckOutputPath(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return path + " is a directory";
    const std::string dir = DirectoryOf(path);
    if (stat(dir.c_str(), &st) != 0) return "cannot write " + path + ": " + dir + ": " + std::strerror(errno);
    if (!S_ISDIR(st.st_mode)) return "cannot write " + path + ": " + dir + " is not a directory";
    if (access(dir.c_str(), W_OK | X_OK) != 0) return "cannot write " + path + ": " + dir + ": " + std::strerror(errno);
    return {};
}

std::string DefaultJournalPath() {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state == '/')
        return std::string(state) + "/tessaline/journal.jsonl";
    if (const char* home = std::getenv("HOME"); home && *home) return std::string(home) + "/.local/state/tessaline/journal.jsonl";
    return {};
}

std::string AppendLine(const std::string& path, const std::string& line) {
    // The directories up to the file, for the user alone (it names who was
    // faxed).
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string dir = path.substr(0, slash);
        if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return dir + ": " + std::strerror(errno);
    }
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return std::strerror(errno);
    const ssize_t n = write(fd, line.data(), line.size());
    const int why = errno;
    close(fd);
    if (n != static_cast<ssize_t>(line.size())) return n < 0 ? std::strerror(why) : "written in part";
    return {};
}

void GiveDefaultMode(const std::string& path) {
    // The umask can only be read by setting it: once, before any thread of
    // the command's own runs (the first call comes from StartHost).
    static const mode_t mask = [] {
        const mode_t m = umask(022);
        umask(m);
        return m;
    }();
    if (!path.empty()) chmod(path.c_str(), 0666 & ~mask);
}

bool IsStandardOutput(const std::string& path) {
    struct stat target {}, standard_output {};
    return stat(path.c_str(), &target) == 0 && fstat(STDOUT_FILENO, &standard_output) == 0 &&
           target.st_dev == standard_output.st_dev && target.st_ino == standard_output.st_ino;
}

PathKind StatPath(const std::string& path, long long* size) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return PathKind::Missing;
    if (S_ISDIR(st.st_mode)) return PathKind::Directory;
    if (!S_ISREG(st.st_mode)) return PathKind::Other;
    if (size) *size = static_cast<long long>(st.st_size);
    return PathKind::Regular;
}

std::string ResolvedPath(const std::string& path) {
    char* real = realpath(path.c_str(), nullptr);
    if (!real) return {};
    std::string resolved = real;
    std::free(real);
    return resolved;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
    return !dir.empty() && dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string CheckStoreDirectory(const std::string& dir) {
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0) return std::strerror(errno);
    if (!S_ISDIR(st.st_mode)) return "not a directory";
    if (access(dir.c_str(), W_OK | X_OK) != 0) return std::strerror(errno);
    return {};
}

bool PutInPlace(const std::string& temp, const std::string& target) {
    if (!Sync(temp, O_RDONLY)) return false;
    // A hard link never replaces an existing file, so a name that appeared
    // meanwhile (another receiver, or the user) is kept.
    if (link(temp.c_str(), target.c_str()) != 0) return false;
    Sync(DirectoryOf(target), O_RDONLY | O_DIRECTORY);
    return true;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

std::string TempDirectory() {
    const char* dir = std::getenv("TMPDIR");
    return dir && *dir ? dir : "/tmp";
}

bool CreateUniqueFile(const std::string& dir, const std::string& suffix, std::string& path, std::string& error) {
    std::string pattern = dir + "/.tessaline-XXXXXX" + suffix;
    const int fd = mkstemps(pattern.data(), static_cast<int>(suffix.size()));
    if (fd < 0) {
        error = "cannot create a temporary file in " + dir + ": " + std::strerror(errno);
        return false;
    }
    close(fd);
    path = pattern;
    return true;
}

void RemovePath(const char* path) { unlink(path); }

}  // namespace cli
