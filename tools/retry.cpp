// Trying a call to the device again while the device cannot serve it yet.
#include "tools/retry.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

namespace cli {
namespace {

double SteadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

const char* Met(Obstacle o) {
    switch (o) {
        case Obstacle::Busy:
            return "the device is busy";
        case Obstacle::LockHeld:
            return "another program holds the device's access lock";
        case Obstacle::LockAbandoned:
            return "the device's access lock was left abandoned";
        case Obstacle::None:
            break;
    }
    return "";
}

}  // namespace

double RetryDelay(int n) { return n >= 4 ? 8 : std::ldexp(1.0, n - 1); }

FAXSTATUS Attempt(const RetryPolicy& policy, const std::function<FAXSTATUS()>& call) {
    const auto now = policy.now ? policy.now : SteadySeconds;
    const auto stopping = [&] { return policy.stopping && policy.stopping(); };
    const double start = now();
    for (int n = 1;; ++n) {
        const FAXSTATUS s = call();
        if (s == FAXSTATUS_OK || policy.budget_seconds <= 0 || stopping()) return s;
        const Obstacle o = policy.obstacle ? policy.obstacle(s) : Obstacle::None;
        if (o == Obstacle::None) return s;
        const double left = policy.budget_seconds - (now() - start);
        if (left <= 0) return s;
        const double delay = std::min(RetryDelay(n), left);
        char line[256];
        std::snprintf(line, sizeof(line), "%s: %s, trying again in %g s", policy.who.c_str(), Met(o), delay);
        if (policy.say) {
            policy.say(line);
        } else {
            std::fprintf(stderr, "%s\n", line);
            std::fflush(stderr);
        }
        if (policy.sleep) {
            policy.sleep(delay);
        } else {
            // In steps, so that a stop request is not kept waiting.
            const double until = now() + delay;
            while (!stopping() && now() < until)
                std::this_thread::sleep_for(std::chrono::duration<double>(std::min(0.05, until - now())));
        }
        if (stopping()) return s;
    }
}

}  // namespace cli
