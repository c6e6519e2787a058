// Time limits for the tessaline command: a call that blocks longer than the
// limit is released with CancelIO, the one way to end a transfer or a wait
// that is pending on the fax channel. The library itself still waits
// without limit; only the command sets one.
#ifndef TESSALINE_TOOLS_DEADLINE_H
#define TESSALINE_TOOLS_DEADLINE_H

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace cli {

// The exit status of a command that ran out of time.
inline constexpr int kTimedOut = 124;

// Parses a time limit in seconds: a positive decimal number ("1", "0.5"),
// at most a million. False for anything else.
bool ParseSeconds(const std::string& text, double& seconds);

class Deadline {
public:
    // After `seconds`, calls `cancel` (which issues CancelIO) and repeats it
    // every 100 ms until Stop(): a cancel that comes just before the call
    // reaches the device would otherwise be lost. Should the call still not
    // return within `grace_seconds` (a call that CancelIO cannot reach, such
    // as one on the EWS channel), the process removes its temporary files,
    // prints `message` on standard error and ends with kTimedOut.
    Deadline(double seconds, std::function<void()> cancel, std::string message, double grace_seconds = 3);
    ~Deadline();
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

    // Ends the watch; from then on nothing is cancelled.
    void Stop();
    bool Expired() const { return expired_.load(); }

private:
    void Watch(double seconds, double grace_seconds);

    std::function<void()> cancel_;
    std::string message_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool stopped_ = false;
    std::atomic<bool> expired_{false};
    std::thread thread_;
};

}  // namespace cli

#endif
