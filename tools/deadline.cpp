// The time limit of the command: a watching thread that cancels the fax
// channel's pending I/O once the limit has run out.
#include "tools/deadline.h"

#include <chrono>
#include <csignal>
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

int InterruptedStatus(int signal) { return 128 + signal; }

std::string SignalName(int signal) {
    if (signal == SIGINT) return "SIGINT";
    if (signal == SIGTERM) return "SIGTERM";
    return "signal " + std::to_string(signal);
}

Deadline::Deadline(double seconds, std::function<void()> cancel, double grace_seconds) : cancel_(std::move(cancel)) {
    thread_ = std::thread([this, seconds, grace_seconds] { Watch(seconds, grace_seconds); });
}

Deadline::~Deadline() {
    Stop();
    if (thread_.joinable()) thread_.join();
}

void Deadline::SetLastWords(std::function<void(int)> words) {
    std::lock_guard<std::mutex> lock(mu_);
    last_words_ = std::move(words);
}

void Deadline::Interrupt(int signal) {
    std::lock_guard<std::mutex> lock(mu_);
    int none = 0;
    signal_.compare_exchange_strong(none, signal);
    cv_.notify_all();
}

void Deadline::Stop() {
    std::lock_guard<std::mutex> lock(mu_);
    stopped_ = true;
    cv_.notify_all();
}

void Deadline::Watch(double seconds, double grace_seconds) {
    using Clock = std::chrono::steady_clock;
    std::unique_lock<std::mutex> lock(mu_);
    const auto woken = [this] { return stopped_ || signal_.load() != 0; };
    if (seconds > 0) {
        const auto due =
            Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        if (!cv_.wait_until(lock, due, woken)) expired_.store(true);
    } else {
        cv_.wait(lock, woken);
    }
    if (stopped_) return;
    // A person who pressed Ctrl+C waits a second at most.
    const double grace = signal_.load() != 0 && grace_seconds > 1 ? 1 : grace_seconds;
    const auto give_up =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(grace));
    while (!stopped_) {
        lock.unlock();
        cancel_();
        lock.lock();
        if (cv_.wait_for(lock, std::chrono::milliseconds(100), [this] { return stopped_; })) return;
        if (Clock::now() >= give_up) {
            const int status = expired_.load() ? kTimedOut : InterruptedStatus(signal_.load());
            doc::RemoveAllTempFiles();
            if (last_words_) last_words_(status);
            std::fflush(stdout);
            std::fflush(stderr);
            std::_Exit(status);
        }
    }
}

}  // namespace cli
