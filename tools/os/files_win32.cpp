// Files and paths on Windows: what stands at a path, the checks made before
// the device is asked, the journal's file, a stored fax put in place by a
// hard link (a copy where the file system has none) that never replaces a
// file, and temporary files made unique by CREATE_NEW.
#include "tools/os/files.h"

#include <windows.h>

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace cli {
namespace {

// Makes the names of temporary files unique within the process.
std::atomic<unsigned> g_counter{0};

std::string SystemMessage(DWORD error) {
    char text[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                                   sizeof(text), nullptr);
    std::string message(text, n);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(error) : message;
}

int ErrnoOf(DWORD error) {
    switch (error) {
        case ERROR_ALREADY_EXISTS:
        case ERROR_FILE_EXISTS:
            return EEXIST;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return EACCES;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        default:
            return EIO;
    }
}

bool Flush(const std::string& path) {
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool ok = FlushFileBuffers(file) != 0;
    CloseHandle(file);
    return ok;
}

}  // namespace

std::string CheckInputFile(const std::string& file) {
    struct _stat64 st {};
    if (_stat64(file.c_str(), &st) != 0) return "cannot read " + file + ": " + std::strerror(errno);
    if ((st.st_mode & _S_IFMT) == _S_IFDIR) return "cannot read " + file + ": it is a directory";
    if ((st.st_mode & _S_IFMT) != _S_IFREG) return "cannot read " + file + ": not a regular file";
    std::FILE* f = std::fopen(file.c_str(), "rb");
    if (!f) return "cannot read " + file + ": " + std::strerror(errno);
    std::fclose(f);
    return {};
}

std::string CheckOutputPath(const std::string& path) {
    struct _stat64 st {};
    if (_stat64(path.c_str(), &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFDIR) return path + " is a directory";
    const std::string dir = DirectoryOf(path);
    if (_stat64(dir.c_str(), &st) != 0) return "cannot write " + path + ": " + dir + ": " + std::strerror(errno);
    if ((st.st_mode & _S_IFMT) != _S_IFDIR) return "cannot write " + path + ": " + dir + " is not a directory";
    return {};
}

void GiveDefaultMode(const std::string&) {}

std::string DefaultJournalPath() {
    const char* local = std::getenv("LOCALAPPDATA");
    return local && *local ? std::string(local) + "\\Tessaline\\journal.jsonl" : std::string();
}

std::string AppendLine(const std::string& path, const std::string& line) {
    for (std::size_t sep = path.find_first_of("/\\", 3); sep != std::string::npos; sep = path.find_first_of("/\\", sep + 1))
        CreateDirectoryA(path.substr(0, sep).c_str(), nullptr);
    // Appending access alone: every write goes to the end, in one piece.
    const HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "error " + std::to_string(GetLastError());
    DWORD written = 0;
    const BOOL ok = WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    const DWORD why = GetLastError();
    CloseHandle(file);
    if (!ok || written != line.size()) return "error " + std::to_string(why);
    return {};
}

bool IsStandardOutput(const std::string& path) {
    BY_HANDLE_FILE_INFORMATION out {}, target {};
    if (!GetFileInformationByHandle(GetStdHandle(STD_OUTPUT_HANDLE), &out)) return false;
    const HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool got = GetFileInformationByHandle(file, &target) != 0;
    CloseHandle(file);
    return got && out.dwVolumeSerialNumber == target.dwVolumeSerialNumber &&
           out.nFileIndexHigh == target.nFileIndexHigh && out.nFileIndexLow == target.nFileIndexLow;
}

PathKind StatPath(const std::string& path, long long* size) {
    struct _stat64 st {};
    if (_stat64(path.c_str(), &st) != 0) return PathKind::Missing;
    if ((st.st_mode & _S_IFMT) == _S_IFDIR) return PathKind::Directory;
    if ((st.st_mode & _S_IFMT) != _S_IFREG) return PathKind::Other;
    if (size) *size = static_cast<long long>(st.st_size);
    return PathKind::Regular;
}

std::string ResolvedPath(const std::string& path) {
    char full[MAX_PATH];
    const DWORD n = GetFullPathNameA(path.c_str(), sizeof(full), full, nullptr);
    return n == 0 || n >= sizeof(full) ? std::string() : std::string(full, n);
}

std::string JoinPath(const std::string& dir, const std::string& name) {
    // "C:" names the drive's current directory: its files follow it directly.
    const bool ends = !dir.empty() && (dir.back() == '\\' || dir.back() == '/' || (dir.size() == 2 && dir[1] == ':'));
    return ends ? dir + name : dir + "\\" + name;
}

std::string DirectoryOf(const std::string& path) {
    // Both separators name directories; "C:" alone is the drive's current
    // directory, "C:\" its root.
    const std::size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) return path.size() >= 2 && path[1] == ':' ? path.substr(0, 2) : ".";
    return path.substr(0, slash == 0 || path[slash - 1] == ':' ? slash + 1 : slash);
}

std::string CheckStoreDirectory(const std::string& dir) {
    const DWORD attributes = GetFileAttributesA(dir.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return std::strerror(ENOENT);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return "not a directory";
    return {};
}

bool PutInPlace(const std::string& temp, const std::string& target) {
    if (!Flush(temp)) {
        errno = ErrnoOf(GetLastError());
        return false;
    }
    // Neither a hard link nor a copy that may fail when the name exists ever
    // replaces a file, so a name that appeared meanwhile is kept.
    if (CreateHardLinkA(target.c_str(), temp.c_str(), nullptr)) return true;
    DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS && CopyFileA(temp.c_str(), target.c_str(), TRUE)) {
        Flush(target);
        return true;
    }
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) error = GetLastError();
    errno = ErrnoOf(error);
    return false;
}

bool FileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string TempDirectory() {
    char dir[MAX_PATH + 1] = {};
    const DWORD n = GetTempPathA(sizeof(dir), dir);
    std::string path = n == 0 || n > MAX_PATH ? std::string(".") : std::string(dir, n);
    while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
    return path;
}

bool CreateUniqueFile(const std::string& dir, const std::string& suffix, std::string& path, std::string& error) {
    std::string base = dir;
    if (!base.empty() && base.back() != '\\' && base.back() != '/') base += '\\';
    DWORD why = ERROR_FILE_EXISTS;
    for (int attempt = 0; attempt < 100 && why == ERROR_FILE_EXISTS; ++attempt) {
        const std::string name = base + ".tessaline-" + std::to_string(GetCurrentProcessId()) + "-" +
                                 std::to_string(g_counter.fetch_add(1)) + "-" + std::to_string(GetTickCount()) + suffix;
        const HANDLE file = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            path = name;
            return true;
        }
        why = GetLastError();
    }
    error = "cannot create a temporary file in " + dir + ": " + SystemMessage(why);
    return false;
}

void RemovePath(const char* path) { DeleteFileA(path); }

}  // namespace cli
