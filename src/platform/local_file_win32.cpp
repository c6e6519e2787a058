// Local files on Windows. A fax to send is read in one request from a file
// opened without sharing, so nobody writes it meanwhile; a downloaded fax is
// written to a new file beside the target file, which then replaces it, or
// straight to a device or pipe that stands at the path.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "platform/local_file.h"

namespace plat {
namespace {

// A file handle closed on every path.
class FileHandle {
public:
    explicit FileHandle(HANDLE h) : h_(h) {}
    ~FileHandle() { Close(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    HANDLE get() const { return h_; }
    void Reset(HANDLE h) {
        Close();
        h_ = h;
    }
    bool open() const { return h_ != INVALID_HANDLE_VALUE; }
    // False when the close itself failed (data not written after all).
    bool Close() {
        bool ok = true;
        if (h_ != INVALID_HANDLE_VALUE) ok = CloseHandle(h_) != 0;
        h_ = INVALID_HANDLE_VALUE;
        return ok;
    }

private:
    HANDLE h_;
};

// The directory part of a path, with its final separator, and the final
// name. Both separators count, and so does a drive's colon.
void SplitPath(const std::string& path, std::string& dir, std::string& name) {
    const std::size_t cut = path.find_last_of("\\/:");
    if (cut == std::string::npos) {
        dir.clear();
        name = path;
    } else {
        dir = path.substr(0, cut + 1);
        name = path.substr(cut + 1);
    }
}

}  // namespace

FileLoad LoadFile(const char* path, FileBuffer& data) {
    data.Release();
    if (!path) return FileLoad::OpenFailed;
    FileHandle file(CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.open()) return FileLoad::OpenFailed;

    DWORD high = 0;
    const DWORD low = GetFileSize(file.get(), &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return FileLoad::ReadFailed;
    if (high != 0) return FileLoad::TooLarge;  // 4 GiB or more

    FileBuffer buffer;
    if (!buffer.Allocate(low)) return FileLoad::NoMemory;
    DWORD got = 0;
    if (low > 0 && !ReadFile(file.get(), buffer.data(), low, &got, nullptr)) return FileLoad::ReadFailed;
    if (got != low) return FileLoad::Short;
    data = std::move(buffer);
    return FileLoad::Ok;
}

namespace {

bool WriteAllTo(HANDLE h, const std::uint8_t* data, std::uint32_t size) {
    std::uint32_t done = 0;
    while (done < size) {
        DWORD wrote = 0;
        if (!WriteFile(h, data + done, size - done, &wrote, nullptr) || wrote == 0) return false;
        done += wrote;
    }
    return true;
}

// A regular file, or none yet: the bytes go to a new file beside `path`,
// which replaces it only once complete.
FileStore ReplaceFile(const std::string& path, const std::uint8_t* data, std::uint32_t size) {
    std::string dir, name;
    SplitPath(path, dir, name);
    if (name.empty()) return FileStore::OpenFailed;

    // A private name beside the target, so that the final move stays on one
    // volume; CREATE_NEW makes it ours alone.
    static LONG counter = 0;
    std::string temp;
    FileHandle file(INVALID_HANDLE_VALUE);
    for (int attempt = 0; attempt < 100 && !file.open(); ++attempt) {
        char suffix[48];
        std::snprintf(suffix, sizeof(suffix), ".%lu-%ld.part", static_cast<unsigned long>(GetCurrentProcessId()),
                      static_cast<long>(InterlockedIncrement(&counter)));
        temp = dir + "~" + name + suffix;
        file.Reset(CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.open() && GetLastError() != ERROR_FILE_EXISTS) return FileStore::OpenFailed;
    }
    if (!file.open()) return FileStore::OpenFailed;

    bool ok = WriteAllTo(file.get(), data, size);
    if (!file.Close()) ok = false;
    if (ok && !MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) ok = false;
    if (!ok) {
        DeleteFileA(temp.c_str());
        return FileStore::WriteFailed;
    }
    return FileStore::Ok;
}

// The path of the file a symbolic link (or a chain of them) finally names,
// without the "\\?\" prefix where the rest is an ordinary drive path.
bool FinalPath(const char* path, std::string& final) {
    FileHandle h(CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!h.open()) return false;
    char buffer[MAX_PATH * 4];
    const DWORD n = GetFinalPathNameByHandleA(h.get(), buffer, sizeof(buffer), FILE_NAME_NORMALIZED);
    if (n == 0 || n >= sizeof(buffer)) return false;
    final.assign(buffer, n);
    if (final.rfind("\\\\?\\", 0) == 0 && final.size() > 6 && final[5] == ':') final.erase(0, 4);
    return true;
}

}  // namespace

FileStore StoreFile(const char* path, const std::uint8_t* data, std::uint32_t size) {
    if (!path || !*path) return FileStore::OpenFailed;
    if (size > 0 && !data) return FileStore::WriteFailed;

    // What stands at the path: a device or a pipe (NUL, CON, a named pipe)
    // has no file to replace, so it is written as it is, as a stream file
    // would write it.
    FileHandle existing(CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (existing.open()) {
        const DWORD type = GetFileType(existing.get());
        if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) {
            bool ok = WriteAllTo(existing.get(), data, size);
            if (!existing.Close()) ok = false;
            return ok ? FileStore::Ok : FileStore::WriteFailed;
        }
        existing.Close();
    }
    // A symbolic link to a file: the file is replaced where it lies, and the
    // link stays.
    const DWORD attributes = GetFileAttributesA(path);
    std::string final;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
        !(attributes & FILE_ATTRIBUTE_DIRECTORY) && FinalPath(path, final))
        return ReplaceFile(final, data, size);
    return ReplaceFile(path, data, size);
}

}  // namespace plat
