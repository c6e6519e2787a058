// The fixtures of the portable test programs (the fault table, the stress
// run) on Windows: the simulated device served in this process through its
// driver, found by discovery, and the access lock held by another process.
// The names are those of the POSIX fixtures (sim_fixture.h).
#ifndef TESSALINE_TESTS_WINDOWS_DRIVER_FIXTURE_H
#define TESSALINE_TESTS_WINDOWS_DRIVER_FIXTURE_H

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "sim/driver_device_win32.h"

// A private temporary directory (dir_, no final separator) and the device,
// served through its driver, installed first if it is not.
class SimTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    sim::Firmware& fw() { return device_->firmware(); }
    ::testing::AssertionResult RestartDevice();

    std::string dir_;
    std::string lock_name_;
    std::unique_ptr<sim::DriverDevice> device_;

private:
    // A named mutex lives only while someone has it open; this handle keeps
    // the access lock alive between operations, so that a holder that dies
    // leaves it abandoned, as a long-running host would find it.
    void* lock_keeper_ = nullptr;
};

// Another process that takes the access lock (see lock_holder.cpp).
class LockHolder {
public:
    ~LockHolder();
    std::string Start(const std::string& mode, int hold_ms = 60000, int wait_ms = 10000);
    void Kill();
    int Wait();

private:
    void* process_ = nullptr;
    void* out_ = nullptr;
};

// A named mutex goes with its last handle: nothing is left to remove.
inline void ForgetAccessLock(const std::string&) {}

#endif
