// Test fixtures: every test runs against its own device directory and its own
// access lock, so tests can run in parallel processes without meeting.
#ifndef TESSALINE_TESTS_SIM_FIXTURE_H
#define TESSALINE_TESTS_SIM_FIXTURE_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/sim_device.h"

// A private, empty device directory and access-lock name; no device.
class IsolatedTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string dir_;
    std::string lock_name_;
};

// The same, with a simulated device serving the directory.
class SimTest : public IsolatedTest {
protected:
    void SetUp() override;
    void TearDown() override;

    sim::Firmware& fw() { return device_->firmware(); }
    // A fresh device, in its initial state, in place of the test's one.
    ::testing::AssertionResult RestartDevice();
    // Requests of one kind on the fax channel, in order.
    std::vector<sim::Transfer> FaxRequests(sim::Kind kind) const;
    // Bytes the host wrote on the fax channel, all conversations joined.
    sim::Bytes FaxBytesWritten() const;

    std::unique_ptr<sim::SimDevice> device_;
};

// Another process that takes the access lock ("hold": keeps it until killed
// or for `hold_ms`; "abandon": exits while holding it).
class LockHolder {
public:
    ~LockHolder();
    // Returns how the child's wait for the lock ended: "locked",
    // "abandoned", "timeout" or "failed". With `hold_ms` 0 the child has
    // released the lock and exited by the time this returns.
    std::string Start(const std::string& mode, int hold_ms = 60000, int wait_ms = 10000);
    void Kill();
    int Wait();  // exit status

private:
    pid_t pid_ = -1;
    int out_ = -1;
};

// Removes a lock object of `name` that a dead process left behind, so that a
// process that later reuses its name does not find it abandoned.
void ForgetAccessLock(const std::string& name);

#endif
