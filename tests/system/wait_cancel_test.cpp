// The received-fax wait and the I/O cancellation against the simulated
// device's driver: events, cancels from this and from other processes, the
// access lock around and during a wait, and failed requests.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "protocol/fax_received.h"
#include "protocol/fax_settings.h"
#include "sim_fixture.h"
#include "transport/wait_cancel.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using sim::Bytes;

constexpr auto kUnset = static_cast<FAX_STATUS_ENUM>(77);

// Runs one operation in a process of its own (tests/programs/op_helper.cpp) and
// returns what it printed, without the final newline.
std::string RunOp(const std::vector<std::string>& args) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return "pipe failed";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    std::vector<char*> argv{const_cast<char*>(OP_HELPER_PATH)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, OP_HELPER_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string out;
    if (rc == 0) {
        char buf[256];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof(buf))) > 0) out.append(buf, static_cast<std::size_t>(n));
        waitpid(pid, nullptr, 0);
    } else {
        out = "spawn failed";
    }
    close(fds[0]);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

// A WaitForReceivedFax on a thread of its own. Whatever the test did, the
// destructor cancels the wait until it ends, so a failed test never hangs.
class WaitThread {
public:
    WaitThread() : thread_([this] {
        status_ = WaitForReceivedFax(&event_);
        done_ = true;
    }) {}
    ~WaitThread() {
        for (int k = 0; k < 500 && !done_; ++k) {
            CancelIO();
            std::this_thread::sleep_for(20ms);
        }
        thread_.join();
    }

    bool FinishedWithin(std::chrono::milliseconds limit) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (!done_ && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(5ms);
        return done_;
    }
    bool done() const { return done_; }
    FAXSTATUS status() const { return status_; }
    FAX_STATUS_ENUM event() const { return event_; }

private:
    FAX_STATUS_ENUM event_ = kUnset;
    FAXSTATUS status_ = static_cast<FAXSTATUS>(-1);
    std::atomic<bool> done_{false};
    std::thread thread_;
};

class WaitCancelTest : public SimTest {
protected:
    // Until the device has seen `count` fax connections in all.
    bool ConnectionsReach(std::uint64_t count) {
        for (int k = 0; k < 1000; ++k) {
            if (fw().traffic().FaxConnectionsOpened() >= count) return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }
    std::vector<sim::Transfer> Controls(std::uint32_t code) const {
        std::vector<sim::Transfer> out;
        for (const auto& t : FaxRequests(sim::Kind::Control))
            if (t.code == code) out.push_back(t);
        return out;
    }
};

TEST_F(WaitCancelTest, AnEventReleasesAPendingWaitWithItsValue) {
    const std::uint32_t events[] = {e_ReceivedFaxAvailable, e_FaxReceiveModeChanged, 0, 9, 0xFFFFFFFF};
    std::uint64_t connections = 0;
    for (std::uint32_t value : events) {
        fw().traffic().Clear();
        WaitThread wait;
        ASSERT_TRUE(ConnectionsReach(++connections)) << value;
        std::this_thread::sleep_for(20ms);  // let the request reach the driver
        EXPECT_FALSE(wait.done()) << value;
        fw().state().RaiseEvent(value);
        ASSERT_TRUE(wait.FinishedWithin(10s)) << value;
        EXPECT_EQ(wait.status(), FAXSTATUS_OK) << value;
        EXPECT_EQ(static_cast<std::uint32_t>(wait.event()), value);

        // One control request: input 16 little-endian, room for 16 bytes.
        auto waits = Controls(IOCTL_WAIT_FOR_RECEIVED_FAX);
        ASSERT_EQ(waits.size(), 1u);
        EXPECT_EQ(waits[0].in, (Bytes{0x10, 0, 0, 0}));
        EXPECT_EQ(waits[0].asked, 16u);
        EXPECT_TRUE(fw().traffic().FaxConversations().empty());  // no MFP1 traffic
    }
    EXPECT_EQ(fw().traffic().ProtocolErrors(), 0u);
}

TEST_F(WaitCancelTest, OtherOperationsRunWhileAWaitIsPending) {
    fw().state().SetReceiveSettings(5);
    WaitThread wait;
    ASSERT_TRUE(ConnectionsReach(1));

    // This process, another thread.
    std::uint32_t value = 0;
    EXPECT_EQ(DeviceGetFaxReceiveSettings(&value), FAXRESULT_OK);
    EXPECT_EQ(value, 5u);
    // Another process.
    EXPECT_EQ(RunOp({"read-settings"}), "0 Tessaline Simulated Fax");
    EXPECT_EQ(RunOp({"password-set"}), "0 0");

    EXPECT_FALSE(wait.done());
    fw().state().RaiseEvent(e_FaxPrinted);
    ASSERT_TRUE(wait.FinishedWithin(10s));
    EXPECT_EQ(wait.status(), FAXSTATUS_OK);
    EXPECT_EQ(wait.event(), e_FaxPrinted);
    EXPECT_EQ(fw().traffic().Interleavings(), 0u);
}

TEST_F(WaitCancelTest, NullEventPointerGivesFiveAndTouchesNothing) {
    EXPECT_EQ(WaitForReceivedFax(nullptr), FAXSTATUS_NULLPOINTER);
    EXPECT_EQ(fw().traffic().FaxConnectionsOpened(), 0u);
    EXPECT_TRUE(fw().traffic().Transfers().empty());
    LockHolder other;  // and the lock is free
    EXPECT_EQ(other.Start("hold", 0, 1000), "locked");
}

TEST_F(WaitCancelTest, CancelFromAnotherProcessFailsTheWait) {
    WaitThread wait;
    ASSERT_TRUE(ConnectionsReach(1));
    // The cancel must find the wait's request at the driver; until it has
    // been seen to end the wait, cancel again.
    int cancels = 0;
    while (!wait.FinishedWithin(200ms) && cancels < 50) {
        ASSERT_EQ(RunOp({"cancel"}), "0");
        ++cancels;
    }
    ASSERT_TRUE(wait.done());
    EXPECT_EQ(wait.status(), FAXSTATUS_CMD_FAIL);
    EXPECT_EQ(wait.event(), kUnset);

    auto cancels_seen = Controls(IOCTL_CANCEL_IO);
    ASSERT_FALSE(cancels_seen.empty());
    EXPECT_EQ(cancels_seen[0].in, (Bytes{2, 0, 0, 0}));
    EXPECT_EQ(cancels_seen[0].asked, 0u);
    auto waits = Controls(IOCTL_WAIT_FOR_RECEIVED_FAX);
    ASSERT_EQ(waits.size(), 1u);
    EXPECT_EQ(waits[0].error, sim::kErrorCancelled);
    EXPECT_EQ(fw().traffic().ProtocolErrors(), 0u);

    // Nothing is left behind: the lock is free and the next wait works.
    LockHolder other;
    EXPECT_EQ(other.Start("hold", 0, 1000), "locked");
    fw().state().RaiseEvent(e_ReceivedFaxAvailable);
    FAX_STATUS_ENUM event = kUnset;
    EXPECT_EQ(WaitForReceivedFax(&event), FAXSTATUS_OK);
    EXPECT_EQ(event, e_ReceivedFaxAvailable);
}

// The cancel takes no lock: it releases a pending wait while another process
// holds the lock. A wait that starts then cannot open the channel: 7.
TEST_F(WaitCancelTest, CancelIgnoresTheLockThatKeepsANewWaitOut) {
    WaitThread wait;
    ASSERT_TRUE(ConnectionsReach(1));
    LockHolder holder;
    ASSERT_EQ(holder.Start("hold"), "locked");

    int cancels = 0;
    while (!wait.FinishedWithin(200ms) && cancels < 50) {
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(CancelIO(), FAXSTATUS_OK);
        // Well short of the 5000 ms a lock wait would take.
        EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
        ++cancels;
    }
    ASSERT_TRUE(wait.done());
    EXPECT_EQ(wait.status(), FAXSTATUS_CMD_FAIL);
    EXPECT_EQ(wait.event(), kUnset);

    const std::uint64_t before = fw().traffic().FaxConnectionsOpened();
    FAX_STATUS_ENUM event = kUnset;
    EXPECT_EQ(WaitForReceivedFax(&event), FAXSTATUS_NO_DEVICE);
    EXPECT_EQ(event, kUnset);
    EXPECT_EQ(fw().traffic().FaxConnectionsOpened(), before);  // gave up before opening
    LockHolder third;
    EXPECT_EQ(third.Start("hold", 0, 100), "timeout");  // the holder undisturbed
}

TEST_F(WaitCancelTest, FailedOrShortRepliesGiveTwoAndLeaveTheEvent) {
    const struct {
        const char* what;
        sim::Fault fault;
        std::uint32_t value;
        FAXSTATUS expected;
    } cases[] = {
        {"driver fails the wait", sim::Fault::FailTransfer, 0, FAXSTATUS_CMD_FAIL},
        {"connection lost", sim::Fault::DropConnection, 0, FAXSTATUS_CMD_FAIL},
        {"reply of 0 bytes", sim::Fault::ShortTransfer, 0, FAXSTATUS_CMD_FAIL},
        {"reply of 7 bytes", sim::Fault::ShortTransfer, 7, FAXSTATUS_CMD_FAIL},
        {"reply of 8 bytes", sim::Fault::ShortTransfer, 8, FAXSTATUS_OK},
    };
    for (const auto& c : cases) {
        fw().script().Clear();
        sim::Rule rule;
        rule.command = IOCTL_WAIT_FOR_RECEIVED_FAX;
        rule.fault = c.fault;
        rule.value = c.value;
        rule.times = 1;
        fw().script().Add(rule);
        fw().state().RaiseEvent(0x01020304);
        FAX_STATUS_ENUM event = kUnset;
        EXPECT_EQ(WaitForReceivedFax(&event), c.expected) << c.what;
        if (c.expected == FAXSTATUS_OK) {
            EXPECT_EQ(static_cast<std::uint32_t>(event), 0x01020304u) << c.what;
        } else {
            EXPECT_EQ(event, kUnset) << c.what;
            // An event the failed request did not take is still there.
            if (c.fault != sim::Fault::ShortTransfer) {
                EXPECT_EQ(WaitForReceivedFax(&event), FAXSTATUS_OK) << c.what;
            }
        }
    }

    sim::Rule rule;
    rule.command = IOCTL_CANCEL_IO;
    rule.fault = sim::Fault::FailTransfer;
    fw().script().Add(rule);
    EXPECT_EQ(CancelIO(), FAXSTATUS_CMD_FAIL);
}

// Events wait as a device keeps them: one of each value at most, in the
// order first raised, at most kMaxPendingEvents in all; and the news of
// faxes to fetch goes once the last fax is removed.
TEST_F(WaitCancelTest, PendingEventsAreMergedBoundedAndKeptTrue) {
    auto next_event = [] {
        FAX_STATUS_ENUM event = kUnset;
        EXPECT_EQ(WaitForReceivedFax(&event), FAXSTATUS_OK);
        return static_cast<std::uint32_t>(event);
    };
    for (std::uint32_t e : {1u, 1u, 4u, 1u, 4u}) fw().state().RaiseEvent(e);
    EXPECT_EQ(fw().state().PendingEvents(), 2u);
    EXPECT_EQ(next_event(), 1u);
    EXPECT_EQ(next_event(), 4u);
    EXPECT_EQ(fw().state().PendingEvents(), 0u);

    for (std::uint32_t e = 100; e < 100 + sim::kMaxPendingEvents + 3; ++e) fw().state().RaiseEvent(e);
    EXPECT_EQ(fw().state().PendingEvents(), sim::kMaxPendingEvents);
    EXPECT_EQ(next_event(), 103u);  // the three oldest went
    while (fw().state().PendingEvents() > 0) next_event();

    fw().state().AddReceivedFax("only.tif", {1, 2, 3});
    fw().state().RaiseEvent(e_ReceivedFaxAvailable);
    fw().state().RaiseEvent(e_FaxPrinted);
    const FAX_FILENAME name = [] {
        FAX_FILENAME n{};
        std::strcpy(n.faxPath, "only.tif");
        return n;
    }();
    ASSERT_EQ(DeviceRemoveReceivedFax(&name), FAXRESULT_OK);
    EXPECT_EQ(fw().state().PendingEvents(), 1u);
    EXPECT_EQ(next_event(), static_cast<std::uint32_t>(e_FaxPrinted));
}

class NoDeviceWaitTest : public IsolatedTest {};

TEST_F(NoDeviceWaitTest, WaitGivesSevenAndCancelGivesFive) {
    testing::internal::CaptureStdout();
    FAX_STATUS_ENUM event = kUnset;
    EXPECT_EQ(WaitForReceivedFax(&event), FAXSTATUS_NO_DEVICE);
    EXPECT_EQ(event, kUnset);
    EXPECT_EQ(CancelIO(), FAXSTATUS_NULLPOINTER);
    testing::internal::GetCapturedStdout();
    // The failed open left no lock behind.
    LockHolder other;
    EXPECT_EQ(other.Start("hold", 0, 1000), "locked");
}

}  // namespace
