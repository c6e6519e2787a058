// Temporary files on POSIX: mkstemps names them, a fixed table lets a
// signal handler remove them.
#include "tools/documents/temp_file.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace doc {
namespace {

// The paths a signal handler may have to remove: fixed slots of fixed size,
// so that the handler reads no memory that is being reallocated.
constexpr int kSlots = 16;
constexpr std::size_t kPathMax = 4096;
struct Slot {
    std::atomic<bool> used{false};
    char path[kPathMax];
};
Slot g_slots[kSlots];
std::atomic<int> g_converter{0};

int Track(const std::string& path) {
    if (path.size() >= kPathMax) return -1;
    for (int i = 0; i < kSlots; ++i) {
        bool expected = false;
        if (!g_slots[i].used.load() && g_slots[i].used.compare_exchange_strong(expected, true)) {
            // Marked used before the path is complete: the handler below
            // checks the terminating byte it writes last.
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

void OnSignal(int sig) {
    if (const int pid = g_converter.load(); pid > 0) kill(pid, SIGTERM);
    RemoveAllTempFiles();
    signal(sig, SIG_DFL);
    raise(sig);
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
    const char* dir = std::getenv("TMPDIR");
    return dir && *dir ? dir : "/tmp";
}

bool TempFile::Create(const std::string& dir, const std::string& suffix, std::string& error) {
    Remove();
    std::string pattern = (dir.empty() ? TempDirectory() : dir) + "/.tessaline-XXXXXX" + suffix;
    int fd = mkstemps(pattern.data(), static_cast<int>(suffix.size()));
    if (fd < 0) {
        error = "cannot create a temporary file in " + (dir.empty() ? TempDirectory() : dir) + ": " +
                std::strerror(errno);
        return false;
    }
    close(fd);
    path_ = pattern;
    slot_ = Track(path_);
    return true;
}

void TempFile::Remove() {
    if (path_.empty()) return;
    Untrack(slot_);
    unlink(path_.c_str());
    path_.clear();
    slot_ = -1;
}

void TempFile::Release() {
    Untrack(slot_);
    path_.clear();
    slot_ = -1;
}

void SetConverterProcess(int pid) { g_converter.store(pid); }

void RemoveAllTempFiles() {
    for (Slot& s : g_slots)
        if (s.used.load() && s.path[0]) unlink(s.path);
}

void RemoveTempFilesOnSignals() {
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
}

}  // namespace doc
