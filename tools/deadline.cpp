// The time limit of the command: a watching thread that cancels the fax
// channel's pending I/O once the limit has run out.
#include "tools/deadline.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "tools/documents/temp_file.h"

namespace cli {

bool ParseSeconds(const std::string& text, double& seconds) {
    // Digits, at most one point, at least one digit: no sign, exponent,
    // hexadecimal or trailing text.
    int digits = 0, points = 0;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            ++digits;
        } else if (c == '.') {
            ++points;
        } else {
            return false;
        }
    }
    if (digits == 0 || points > 1 || text.size() > 16) return false;
    const double v = std::strtod(text.c_str(), nullptr);
    if (!(v > 0) || v > 1e6) return false;
    seconds = v;
    return true;
}

Deadline::Deadline(double seconds, std::function<void()> cancel, std::string message, double grace_seconds)
    : cancel_(std::move(cancel)), message_(std::move(message)) {
    thread_ = std::thread([this, seconds, grace_seconds] { Watch(seconds, grace_seconds); });
}

Deadline::~Deadline() {
    Stop();
    if (thread_.joinable()) thread_.join();
}

void Deadline::Stop() {
    std::lock_guard<std::mutex> lock(mu_);
    stopped_ = true;
    cv_.notify_all();
}

void Deadline::Watch(double seconds, double grace_seconds) {
    using Clock = std::chrono::steady_clock;
    const auto due = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::unique_lock<std::mutex> lock(mu_);
    if (cv_.wait_until(lock, due, [this] { return stopped_; })) return;
    expired_.store(true);
    const auto give_up =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(grace_seconds));
    while (!stopped_) {
        lock.unlock();
        cancel_();
        lock.lock();
        if (cv_.wait_for(lock, std::chrono::milliseconds(100), [this] { return stopped_; })) return;
        if (Clock::now() >= give_up) {
            doc::RemoveAllTempFiles();
            std::fprintf(stderr, "%s\n", message_.c_str());
            std::fflush(stdout);
            std::_Exit(kTimedOut);
        }
    }
}

}  // namespace cli
