// Temporary files on Windows: names made unique by CREATE_NEW, a fixed
// table that the console's stop handler can remove them from.
#include "tools/documents/temp_file.h"

#include <windows.h>

#include <atomic>
#include <cstring>

namespace doc {
namespace {

// The paths a stop handler may have to remove: fixed slots of fixed size,
// so that the handler reads no memory that is being reallocated.
constexpr int kSlots = 16;
struct Slot {
    std::atomic<bool> used{false};
    char path[MAX_PATH + 1];
};
Slot g_slots[kSlots];
std::atomic<unsigned> g_counter{0};

int Track(const std::string& path) {
    if (path.size() > MAX_PATH) return -1;
    for (int i = 0; i < kSlots; ++i) {
        bool expected = false;
        if (!g_slots[i].used.load() && g_slots[i].used.compare_exchange_strong(expected, true)) {
            g_slots[i].path[0] = 0;
            std::memcpy(g_slots[i].path, path.c_str(), path.size() + 1);
            return i;
        }
    }
    return -1;
}

void Untrack(int slot) {
    if (slot < 0) return;
    g_slots[slot].path[0] = 0;
    g_slots[slot].used.store(false);
}

// Removes the files and lets the next handler (the system's, which ends the
// process) take the event.
BOOL WINAPI OnConsoleEvent(DWORD) {
    RemoveAllTempFiles();
    return FALSE;
}

std::string SystemMessage(DWORD error) {
    char text[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                                   sizeof(text), nullptr);
    std::string message(text, n);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(error) : message;
}

}  // namespace

TempFile::TempFile(TempFile&& other) noexcept : path_(std::move(other.path_)), slot_(other.slot_) {
    other.path_.clear();
    other.slot_ = -1;
}

TempFile& TempFile::operator=(TempFile&& other) noexcept {
    if (this != &other) {
        Remove();
        path_ = std::move(other.path_);
        slot_ = other.slot_;
        other.path_.clear();
        other.slot_ = -1;
    }
    return *this;
}

std::string TempDirectory() {
    char dir[MAX_PATH + 1] = {};
    const DWORD n = GetTempPathA(sizeof(dir), dir);
    std::string path = n == 0 || n > MAX_PATH ? std::string(".") : std::string(dir, n);
    while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
    return path;
}

bool TempFile::Create(const std::string& dir, const std::string& suffix, std::string& error) {
    Remove();
    std::string base = dir.empty() ? TempDirectory() : dir;
    if (!base.empty() && base.back() != '\\' && base.back() != '/') base += '\\';
    DWORD why = ERROR_FILE_EXISTS;
    for (int attempt = 0; attempt < 100 && why == ERROR_FILE_EXISTS; ++attempt) {
        const std::string path = base + ".tessaline-" + std::to_string(GetCurrentProcessId()) + "-" +
                                 std::to_string(g_counter.fetch_add(1)) + "-" + std::to_string(GetTickCount()) + suffix;
        const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            path_ = path;
            slot_ = Track(path_);
            return true;
        }
        why = GetLastError();
    }
    error = "cannot create a temporary file in " + (dir.empty() ? TempDirectory() : dir) + ": " + SystemMessage(why);
    return false;
}

void TempFile::Remove() {
    if (path_.empty()) return;
    Untrack(slot_);
    DeleteFileA(path_.c_str());
    path_.clear();
    slot_ = -1;
}

void TempFile::Release() {
    Untrack(slot_);
    path_.clear();
    slot_ = -1;
}

// No converter runs on Windows: this build converts nothing.
void SetConverterProcess(int) {}

void RemoveAllTempFiles() {
    for (Slot& s : g_slots)
        if (s.used.load() && s.path[0]) DeleteFileA(s.path);
}

void RemoveTempFilesOnSignals() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

}  // namespace doc
