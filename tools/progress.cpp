// Progress of long work on a terminal.
#include "tools/progress.h"

#include <chrono>
#include <cstdio>

namespace cli {

std::string SizeText(long long bytes) {
    char text[32];
    if (bytes < 1024)
        std::snprintf(text, sizeof(text), "%lld bytes", bytes);
    else if (bytes < 1024 * 1024)
        std::snprintf(text, sizeof(text), "%.1f KiB", static_cast<double>(bytes) / 1024);
    else
        std::snprintf(text, sizeof(text), "%.1f MiB", static_cast<double>(bytes) / (1024 * 1024));
    return text;
}

std::string TransferText(const std::string& what, long long bytes, double seconds) {
    char elapsed[32];
    std::snprintf(elapsed, sizeof(elapsed), "%.0f s", seconds);
    return what + ": " + (bytes >= 0 ? SizeText(bytes) + ", " : std::string()) + elapsed;
}

void ProgressLine::Show(const std::string& text) {
    if (!shown_) return;
    std::lock_guard<std::mutex> lock(mu_);
    // Back to the line's start, the text, and the rest of the line cleared.
    std::fprintf(stderr, "\r%s\x1b[K", text.c_str());
    std::fflush(stderr);
    drawn_ = true;
}

void ProgressLine::Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    if (!drawn_) return;
    std::fputs("\r\x1b[K", stderr);
    std::fflush(stderr);
    drawn_ = false;
}

TransferProgress::TransferProgress(ProgressLine& line, std::string what, std::function<long long()> bytes)
    : line_(line) {
    if (!line.Shown()) return;
    thread_ = std::thread([this, what = std::move(what), bytes = std::move(bytes)] {
        using Clock = std::chrono::steady_clock;
        const auto start = Clock::now();
        std::unique_lock<std::mutex> lock(mu_);
        if (cv_.wait_for(lock, std::chrono::seconds(1), [this] { return done_; })) return;
        do {
            const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            line_.Show(TransferText(what, bytes ? bytes() : -1, seconds));
        } while (!cv_.wait_for(lock, std::chrono::milliseconds(250), [this] { return done_; }));
    });
}

TransferProgress::~TransferProgress() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        done_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
    line_.Clear();
}

}  // namespace cli
