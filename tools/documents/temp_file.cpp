// Temporary files: each owned by one TempFile, and every one tracked in a
// fixed table so that a stop (a signal handler on POSIX, the console's
// handler on Windows) can remove them all.
#include "tools/documents/temp_file.h"

#include <atomic>
#include <cstring>

#include "tools/os/files.h"

namespace doc {
namespace {

// Fixed slots of fixed size, so that a handler reads no memory that is being
// reallocated.
constexpr int kSlots = 16;
constexpr std::size_t kPathMax = 4096;
struct Slot {
    std::atomic<bool> used{false};
    char path[kPathMax];
};
Slot g_slots[kSlots];

int Track(const std::string& path) {
    if (path.size() >= kPathMax) return -1;
    for (int i = 0; i < kSlots; ++i) {
        bool expected = false;
        if (!g_slots[i].used.load() && g_slots[i].used.compare_exchange_strong(expected, true)) {
            // Marked used before the path is complete: RemoveAllTempFiles
            // checks the terminating byte written last.
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

bool TempFile::Create(const std::string& dir, const std::string& suffix, std::string& error) {
    Remove();
    std::string path;
    if (!cli::CreateUniqueFile(dir.empty() ? cli::TempDirectory() : dir, suffix, path, error)) return false;
    path_ = path;
    slot_ = Track(path_);
    return true;
}

void TempFile::Remove() {
    if (path_.empty()) return;
    Untrack(slot_);
    cli::RemovePath(path_.c_str());
    path_.clear();
    slot_ = -1;
}

void TempFile::Release() {
    Untrack(slot_);
    path_.clear();
    slot_ = -1;
}

void RemoveAllTempFiles() {
    for (Slot& s : g_slots)
        if (s.used.load() && s.path[0]) cli::RemovePath(s.path);
}

}  // namespace doc
