// Local files on Windows. A fax to send is read in one request from a file
// opened without sharing, so nobody writes it meanwhile; a downloaded fax is
// written to a new file beside the target, which then replaces the target.
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

FileStore StoreFile(const char* path, const std::uint8_t* data, std::uint32_t size) {
    if (!path || !*path) return FileStore::OpenFailed;
    if (size > 0 && !data) return FileStore::WriteFailed;
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

    bool ok = true;
    std::uint32_t done = 0;
    while (ok && done < size) {
        DWORD wrote = 0;
        if (!WriteFile(file.get(), data + done, size - done, &wrote, nullptr) || wrote == 0) {
            ok = false;
            break;
        }
        done += wrote;
    }
    if (!file.Close()) ok = false;
    if (ok && !MoveFileExA(temp.c_str(), path, MOVEFILE_REPLACE_EXISTING)) ok = false;
    if (!ok) {
        DeleteFileA(temp.c_str());
        return FileStore::WriteFailed;
    }
    return FileStore::Ok;
}

}  // namespace plat
