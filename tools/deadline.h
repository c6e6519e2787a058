// Time limits and stop requests for the tessaline command: a call that
// blocks longer than the limit, or while the command is asked to stop
// (SIGINT, SIGTERM), is released with CancelIO, the one way to end a
// transfer or a wait that is pending on the fax channel. The library itself
// still waits without limit; only the command sets one.
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
// The exit status of a command stopped by `signal`: 130 for SIGINT, 143 for
// SIGTERM, as a shell reports a program that the signal ended.
int InterruptedStatus(int signal);
// "SIGINT", "SIGTERM", or "signal N".
std::string SignalName(int signal);

// Parses a time limit in seconds: a positive decimal number ("1", "0.5"),
// at most a million. False for anything else.
bool ParseSeconds(const std::string& text, double& seconds);

class Deadline {
public:
    // After `seconds` (never, for 0), or once Interrupt() is called, calls
    // `cancel` (which issues CancelIO) and repeats it every 100 ms until
    // Stop(): a cancel that comes just before the call reaches the device
    // would otherwise be lost. Should the call still not return within
    // `grace_seconds` (a call that CancelIO cannot reach, such as one on the
    // EWS channel), the process removes its temporary files, calls the last
    // words (SetLastWords) with its exit status and ends with it: kTimedOut,
    // or InterruptedStatus.
    Deadline(double seconds, std::function<void()> cancel, double grace_seconds = 3);
    ~Deadline();
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

    // What the process says when it ends without the call returning (called
    // on the watching thread). Set before anything can run out.
    void SetLastWords(std::function<void(int exit_status)> words);
    // A stop request (a signal's number): released as a time limit is.
    void Interrupt(int signal);
    // Ends the watch; from then on nothing is cancelled.
    void Stop();
    bool Expired() const { return expired_.load(); }
    // The signal that asked the command to stop, or 0.
    int Interrupted() const { return signal_.load(); }

private:
    void Watch(double seconds, double grace_seconds);

    std::function<void()> cancel_;
    std::function<void(int)> last_words_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool stopped_ = false;
    std::atomic<bool> expired_{false};
    std::atomic<int> signal_{0};
    std::thread thread_;
};

}  // namespace cli

#endif
