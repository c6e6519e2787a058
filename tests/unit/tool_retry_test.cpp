// Trying a call again: what is waited out, the growing delays, the budget,
// and the lines said, against a fake clock.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/retry.h"

namespace {

struct Fixture {
    double clock = 0;
    std::vector<double> slept;
    std::vector<std::string> said;
    cli::RetryPolicy policy;

    explicit Fixture(double budget) {
        policy.budget_seconds = budget;
        policy.who = "tessaline count";
        policy.obstacle = [](FAXSTATUS s) {
            return s == FAXSTATUS_BUSY ? cli::Obstacle::Busy
                   : s == FAXSTATUS_NO_DEVICE ? cli::Obstacle::LockHeld
                                              : cli::Obstacle::None;
        };
        policy.now = [this] { return clock; };
        policy.sleep = [this](double s) {
            slept.push_back(s);
            clock += s;
        };
        policy.say = [this](const std::string& line) { said.push_back(line); };
    }
    // Runs calls that give `statuses` in turn (the last one from then on).
    FAXSTATUS Run(const std::vector<FAXSTATUS>& statuses, int& calls, double call_seconds = 0) {
        calls = 0;
        return cli::Attempt(policy, [&] {
            clock += call_seconds;
            const FAXSTATUS s = statuses[std::min<std::size_t>(calls, statuses.size() - 1)];
            ++calls;
            return s;
        });
    }
};

TEST(Retry, DelaysGrowToEightSeconds) {
    const double expected[] = {1, 2, 4, 8, 8, 8};
    for (int n = 1; n <= 6; ++n) EXPECT_EQ(cli::RetryDelay(n), expected[n - 1]) << n;
}

TEST(Retry, WaitsOutABusyDeviceAndAHeldLockThenGivesTheLastStatus) {
    Fixture f(60);
    int calls = 0;
    EXPECT_EQ(f.Run({FAXSTATUS_BUSY, FAXSTATUS_NO_DEVICE, FAXSTATUS_OK}, calls), FAXSTATUS_OK);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(f.slept, (std::vector<double>{1, 2}));
    ASSERT_EQ(f.said.size(), 2u);
    EXPECT_EQ(f.said[0], "tessaline count: the device is busy, trying again in 1 s");
    EXPECT_EQ(f.said[1], "tessaline count: another program holds the device's access lock, trying again in 2 s");
}

TEST(Retry, OtherFailuresAndNoBudgetAreNotTriedAgain) {
    int calls = 0;
    Fixture other(60);
    EXPECT_EQ(other.Run({FAXSTATUS_READ, FAXSTATUS_OK}, calls), FAXSTATUS_READ);
    EXPECT_EQ(calls, 1);
    Fixture none(0);
    EXPECT_EQ(none.Run({FAXSTATUS_BUSY, FAXSTATUS_OK}, calls), FAXSTATUS_BUSY);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(none.said.empty());
}

TEST(Retry, TheBudgetBoundsTheWaitsAndTheLastDelayIsShortened) {
    // Each call takes 5 s (the library's wait for a held lock).
    Fixture f(20);
    int calls = 0;
    EXPECT_EQ(f.Run({FAXSTATUS_NO_DEVICE}, calls, 5), FAXSTATUS_NO_DEVICE);
    // 5 +1 +5 +2 +5 = 18, then 2 s are left of 20: a last wait of 2, a last call.
    EXPECT_EQ(f.slept, (std::vector<double>{1, 2, 2}));
    EXPECT_EQ(calls, 4);
}

TEST(Retry, AStopRequestEndsTheTries) {
    Fixture f(60);
    bool stop = false;
    f.policy.stopping = [&] { return stop; };
    f.policy.sleep = [&](double) { stop = true; };
    int calls = 0;
    EXPECT_EQ(f.Run({FAXSTATUS_BUSY, FAXSTATUS_OK}, calls), FAXSTATUS_BUSY);
    EXPECT_EQ(calls, 1);
}

}  // namespace
