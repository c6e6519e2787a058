// Trying a call to the device again while the device cannot serve the
// command yet: it answers busy, or another program holds the access lock (or
// left it abandoned, which fails one call at once). Each new try is said on
// standard error, after a delay that grows, within a budget of seconds.
#ifndef TESSALINE_TOOLS_RETRY_H
#define TESSALINE_TOOLS_RETRY_H

#include <tessaline/tessaline.h>

#include <functional>
#include <string>

namespace cli {

// What a failed call met.
enum class Obstacle { None, Busy, LockHeld, LockAbandoned };

// The delay before the n-th new try (n from 1): 1, 2, 4, 8 seconds, then 8
// seconds each time.
double RetryDelay(int n);

struct RetryPolicy {
    double budget_seconds = 0;                     // how long to keep trying; 0: one try
    std::string who;                               // the start of each line said ("tessaline count")
    std::function<Obstacle(FAXSTATUS)> obstacle;   // what a failed status met
    std::function<bool()> stopping;                // true once the command is to stop
    // The clock and the wait, for the tests; by default the steady clock,
    // and a sleep that ends early once `stopping` says so.
    std::function<double()> now;
    std::function<void(double seconds)> sleep;
    std::function<void(const std::string& line)> say;  // by default a line on standard error
};

// Runs `call` until it succeeds, fails for another reason, the command is to
// stop or the budget is spent (the last delay is shortened to fit it), and
// gives the last call's status.
FAXSTATUS Attempt(const RetryPolicy& policy, const std::function<FAXSTATUS()>& call);

}  // namespace cli

#endif
