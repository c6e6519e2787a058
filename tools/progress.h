// Progress of long work, for a person at a terminal: one line on standard
// error, rewritten in place and cleared at the end. Never shown when
// standard error is no terminal or the output is JSON.
#ifndef TESSALINE_TOOLS_PROGRESS_H
#define TESSALINE_TOOLS_PROGRESS_H

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace cli {

// "512 bytes", "1.5 KiB", "12.3 MiB".
std::string SizeText(long long bytes);

// The line of a transfer: "sending doc.pdf: 1.2 MiB, 3 s" (no size when it
// is not known, below 0).
std::string TransferText(const std::string& what, long long bytes, double seconds);

class ProgressLine {
public:
    explicit ProgressLine(bool shown) : shown_(shown) {}
    ~ProgressLine() { Clear(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    bool Shown() const { return shown_; }
    void Show(const std::string& text);
    // Removes the line, if one is shown.
    void Clear();

private:
    bool shown_;
    bool drawn_ = false;
    std::mutex mu_;
};

// While it lives, a transfer that has taken longer than a second is shown
// with its elapsed time and the size `bytes` gives (below 0: unknown),
// every quarter of a second.
class TransferProgress {
public:
    TransferProgress(ProgressLine& line, std::string what, std::function<long long()> bytes);
    ~TransferProgress();
    TransferProgress(const TransferProgress&) = delete;
    TransferProgress& operator=(const TransferProgress&) = delete;

private:
    ProgressLine& line_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace cli

#endif
