// Test fixtures: a private device directory and access lock per test, the
// simulated device, and a lock held by another process.
#include "sim_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

extern char** environ;

void IsolatedTest::SetUp() {
    char templ[] = "/tmp/tessaline-test-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
    lock_name_ = "tessaline-test-lock-" + std::to_string(getpid());
    // A lock object of this name left by a dead process with a recycled pid
    // would be found abandoned: start from a fresh one.
    shm_unlink(("/" + lock_name_).c_str());
    setenv("TESSALINE_DEVICE_DIR", dir_.c_str(), 1);
    setenv("TESSALINE_LOCK_NAME", lock_name_.c_str(), 1);
    unsetenv("TESSALINE_FAX_DEVICE");
    unsetenv("TESSALINE_EWS_DEVICE");
    unsetenv("TESSALINE_DIAGNOSTICS");
}

void IsolatedTest::TearDown() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    shm_unlink(("/" + lock_name_).c_str());
}

void SimTest::SetUp() {
    IsolatedTest::SetUp();
    device_ = std::make_unique<sim::SimDevice>(dir_);
    ASSERT_TRUE(device_->Start()) << device_->error();
}

void SimTest::TearDown() {
    device_.reset();
    IsolatedTest::TearDown();
}

::testing::AssertionResult SimTest::RestartDevice() {
    device_.reset();
    device_ = std::make_unique<sim::SimDevice>(dir_);
    if (!device_->Start()) return ::testing::AssertionFailure() << device_->error();
    return ::testing::AssertionSuccess();
}

void ForgetAccessLock(const std::string& name) { shm_unlink(("/" + name).c_str()); }

std::vector<sim::Transfer> SimTest::FaxRequests(sim::Kind kind) const {
    std::vector<sim::Transfer> out;
    for (auto& t : device_->firmware().traffic().Transfers()) {
        if (t.channel == sim::Channel::Fax && t.kind == kind) out.push_back(t);
    }
    return out;
}

sim::Bytes SimTest::FaxBytesWritten() const {
    sim::Bytes all;
    for (auto& c : device_->firmware().traffic().FaxConversations()) all.insert(all.end(), c.begin(), c.end());
    return all;
}

LockHolder::~LockHolder() {
    Kill();
    Wait();
}

std::string LockHolder::Start(const std::string& mode, int hold_ms, int wait_ms) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return "failed";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    std::string hold_text = std::to_string(hold_ms);
    std::string wait_text = std::to_string(wait_ms);
    char* argv[] = {const_cast<char*>(LOCK_HOLDER_PATH), const_cast<char*>(mode.c_str()),
                    const_cast<char*>(hold_text.c_str()), const_cast<char*>(wait_text.c_str()), nullptr};
    int rc = posix_spawn(&pid_, LOCK_HOLDER_PATH, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    out_ = fds[0];
    if (rc != 0) {
        pid_ = -1;
        return "failed";
    }
    char line[32] = {};
    ssize_t n = read(out_, line, sizeof(line) - 1);
    if (n <= 0) return "failed";
    std::string word(line);
    word = word.substr(0, word.find('\n'));
    // A child that holds for no time releases at once and exits; wait for
    // that, so that killing it later cannot abandon the lock.
    if (hold_ms == 0) Wait();
    return word;
}

void LockHolder::Kill() {
    if (pid_ > 0) kill(pid_, SIGKILL);
}

int LockHolder::Wait() {
    int status = 0;
    if (pid_ > 0) waitpid(pid_, &status, 0);
    pid_ = -1;
    if (out_ >= 0) close(out_);
    out_ = -1;
    return status;
}
