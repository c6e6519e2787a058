// The stress run: eight processes with hundreds of operations of every kind
// against one simulated device running as a process of its own, and then the
// deaths: a lock holder killed in the middle of an upload, and the device
// killed under a transfer.
//
// STRESS_OPS sets the operations per process (default 1500), STRESS_SEED the
// seed of the first one.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/named_mutex.h"
#include "sim_fixture.h"
#include "stress_common.h"
#include "transport/fax_device.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kWorkers = 8;

// A child process with its standard input and output on pipes.
class Child {
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        Kill(SIGKILL);
        Wait(10000);
        if (in_ >= 0) close(in_);
        if (out_ >= 0) close(out_);
    }

    bool Start(const std::vector<std::string>& args) {
        int to_child[2], from_child[2];
        if (pipe2(to_child, O_CLOEXEC) != 0) return false;
        if (pipe2(from_child, O_CLOEXEC) != 0) {
            close(to_child[0]);
            close(to_child[1]);
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, to_child[0], 0);
        posix_spawn_file_actions_adddup2(&actions, from_child[1], 1);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(to_child[0]);
        close(from_child[1]);
        in_ = to_child[1];
        out_ = from_child[0];
        if (rc != 0) pid_ = -1;
        return rc == 0;
    }

    // The next line the child prints, without its newline; nothing when the
    // child prints none before the deadline or closes its output.
    std::optional<std::string> ReadLine(Clock::time_point deadline) {
        for (;;) {
            if (const std::size_t nl = buffer_.find('\n'); nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return std::nullopt;
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            char chunk[512];
            const ssize_t n = read(out_, chunk, sizeof(chunk));
            if (n <= 0) return std::nullopt;
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }
    std::optional<std::string> ReadLine(int timeout_ms) { return ReadLine(Clock::now() + milliseconds(timeout_ms)); }

    void CloseInput() {
        if (in_ >= 0) close(in_);
        in_ = -1;
    }
    void Kill(int sig) {
        if (pid_ > 0) kill(pid_, sig);
    }
    // The child's wait status once it has ended; nothing if it is still
    // running at the deadline.
    std::optional<int> Wait(int timeout_ms) {
        if (pid_ <= 0) return std::nullopt;
        const auto deadline = Clock::now() + milliseconds(timeout_ms);
        for (;;) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return status;
            }
            if (Clock::now() > deadline) return std::nullopt;
            std::this_thread::sleep_for(milliseconds(5));
        }
    }

private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string buffer_;
};

// "key=value key=value ..." into a map.
std::map<std::string, long long> Counters(const std::string& line) {
    std::map<std::string, long long> out;
    std::istringstream in(line);
    std::string word;
    while (in >> word) {
        const std::size_t eq = word.find('=');
        if (eq != std::string::npos) out[word.substr(0, eq)] = std::atoll(word.c_str() + eq + 1);
    }
    return out;
}

int EnvInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

class StressTest : public IsolatedTest {
protected:
    void SetUp() override {
        IsolatedTest::SetUp();
        // The lock's name follows the pid: a lock left by a dead process that
        // had this pid would be found abandoned. Start from a fresh one.
        shm_unlink(("/" + lock_name_).c_str());
    }

    // True once some process holds the access lock.
    static bool WaitUntilLockHeld(int timeout_ms) {
        const plat::MutexHandle m = plat::OpenNamedMutex(kAccessLockName);
        if (!m.is_open()) return false;
        const auto deadline = Clock::now() + milliseconds(timeout_ms);
        bool held = false;
        while (!held && Clock::now() < deadline) {
            switch (plat::WaitNamedMutex(m, 0)) {
                case plat::MutexWait::TimedOut:
                    held = true;
                    break;
                case plat::MutexWait::Acquired:
                case plat::MutexWait::Abandoned:
                    plat::ReleaseNamedMutex(m);
                    break;
                case plat::MutexWait::Failed:
                    break;
            }
            if (!held) std::this_thread::sleep_for(milliseconds(1));
        }
        return held;
    }

    void StartDevice(Child& device, const std::vector<std::string>& options = {}) {
        std::vector<std::string> args = {STRESS_DEVICE_PATH, dir_};
        args.insert(args.end(), options.begin(), options.end());
        ASSERT_TRUE(device.Start(args));
        ASSERT_EQ(device.ReadLine(20000), "ready");
    }

    // Stops the device and returns its closing counters.
    static std::map<std::string, long long> StopDevice(Child& device) {
        device.Kill(SIGTERM);
        const auto line = device.ReadLine(60000);
        EXPECT_TRUE(line.has_value()) << "the device printed no counters";
        EXPECT_TRUE(device.Wait(10000).has_value());
        return Counters(line.value_or(""));
    }

    // A read of the settings by another process: its status and how long it
    // took.
    static std::pair<std::string, long long> ReadSettingsElsewhere() {
        Child op;
        const auto start = Clock::now();
        if (!op.Start({OP_HELPER_PATH, "read-settings"})) return {"not started", 0};
        const auto line = op.ReadLine(30000);
        const auto ms = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
        op.Wait(10000);
        return {line.value_or("none").substr(0, line.value_or("none").find(' ')), ms};
    }
};

TEST_F(StressTest, EightProcessesOfEveryKindAgainstOneDevice) {
    Child device;
    ASSERT_NO_FATAL_FAILURE(StartDevice(device));

    const int ops = EnvInt("STRESS_OPS", 1500);
    const int seed = EnvInt("STRESS_SEED", 1);
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::seconds(600);
    Child workers[kWorkers];
    for (int w = 0; w < kWorkers; ++w) {
        ASSERT_TRUE(workers[w].Start(
            {STRESS_WORKER_PATH, "run", std::to_string(w), std::to_string(ops), std::to_string(seed + w)}));
    }
    std::map<std::string, long long> total;
    for (int w = 0; w < kWorkers; ++w) {
        const auto line = workers[w].ReadLine(deadline);
        ASSERT_TRUE(line.has_value()) << "worker " << w << " did not finish";
        for (const auto& [key, value] : Counters(*line)) total[key] += value;
        const auto status = workers[w].Wait(10000);
        ASSERT_TRUE(status.has_value());
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "worker " << w << ": " << *line;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const auto device_counts = StopDevice(device);

    EXPECT_EQ(total["ops"], static_cast<long long>(kWorkers) * ops);
    EXPECT_EQ(total["failures"], 0);
    EXPECT_EQ(total["no_device"], 0);
    EXPECT_EQ(device_counts.at("interleavings"), 0) << "two conversations met on the fax channel";
    EXPECT_EQ(device_counts.at("protocol_errors"), 0) << "a request the device could not take";
    EXPECT_EQ(device_counts.at("bad_jobs"), 0) << "a sent fax did not arrive whole";
    EXPECT_EQ(device_counts.at("bad_received"), 0);
    // Every send the workers saw succeed is a job the device took, and every
    // fax sent to the device itself is kept until its worker removed it.
    EXPECT_EQ(device_counts.at("jobs"), total["sends"]);
    EXPECT_EQ(device_counts.at("received"), stress::kKeptFaxes + total["self_sends"] - total["removes"]);
    EXPECT_GT(total["downloads"], 0);

    std::printf(
        "stress: %d processes x %d operations = %lld in %.1f s (%.0f operations/s); "
        "%lld sends, %lld back to the device, %lld downloads, %lld removals, %lld waits (%lld cancelled); "
        "interleavings %lld, malformed requests %lld, access lock not had %lld\n",
        kWorkers, ops, total["ops"], seconds, static_cast<double>(total["ops"]) / seconds, total["sends"],
        total["self_sends"], total["downloads"], total["removes"], total["waits"], total["cancelled"],
        device_counts.at("interleavings"), device_counts.at("protocol_errors"), total["no_device"]);
}

// The holder of the access lock dies in the middle of an upload (stalled at
// its fourth block, so that it surely is in the middle): the next operation of
// another process finds the lock abandoned, which its Lock reports as a
// failure at once, not after the 5 s wait; the one after that locks normally,
// and the device, which saw the connection go, serves it.
TEST_F(StressTest, AHolderKilledInTheMiddleOfAnUpload) {
    Child device;
    ASSERT_NO_FATAL_FAILURE(StartDevice(device, {"--stall-data", "3"}));
    Child uploader;
    ASSERT_TRUE(uploader.Start({STRESS_WORKER_PATH, "upload", std::to_string(1 << 20)}));
    ASSERT_TRUE(WaitUntilLockHeld(20000));
    uploader.Kill(SIGKILL);
    const auto status = uploader.Wait(10000);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFSIGNALED(*status));

    const auto [first, first_ms] = ReadSettingsElsewhere();
    EXPECT_EQ(first, std::to_string(FAXSTATUS_NO_DEVICE)) << "the abandoned lock fails its finder once";
    EXPECT_LT(first_ms, 3000) << "without waiting out the lock";
    const auto [second, second_ms] = ReadSettingsElsewhere();
    EXPECT_EQ(second, std::to_string(FAXSTATUS_OK));

    const auto counts = StopDevice(device);
    EXPECT_EQ(counts.at("jobs"), 0) << "the upload never ended";
    EXPECT_EQ(counts.at("interleavings"), 0);
    EXPECT_EQ(counts.at("protocol_errors"), 0);
    std::printf("killed holder: next operation %s after %lld ms, the one after %s\n", first.c_str(), first_ms,
                second.c_str());
}

// The device dies under an upload, once with a request stalled and once with
// the bytes flowing: the uploader's operation fails at once with a read or
// write failure, and while the uploader lives on, another process takes the
// access lock without waiting.
TEST_F(StressTest, TheDeviceKilledUnderATransfer) {
    const struct {
        const char* what;
        std::vector<std::string> device_options;
        std::uint32_t size;
    } cases[] = {
        {"request stalled", {"--stall-data", "3"}, 1u << 20},
        {"bytes flowing", {}, 64u << 20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Child device;
        ASSERT_NO_FATAL_FAILURE(StartDevice(device, c.device_options));
        Child uploader;
        ASSERT_TRUE(uploader.Start({STRESS_WORKER_PATH, "upload", std::to_string(c.size)}));
        ASSERT_TRUE(WaitUntilLockHeld(20000));
        std::this_thread::sleep_for(milliseconds(20));
        device.Kill(SIGKILL);
        const auto killed = Clock::now();
        const auto line = uploader.ReadLine(10000);
        const auto ms = std::chrono::duration_cast<milliseconds>(Clock::now() - killed).count();
        ASSERT_TRUE(line.has_value()) << "the upload does not end";
        EXPECT_TRUE(*line == std::to_string(FAXSTATUS_WRITE) || *line == std::to_string(FAXSTATUS_READ))
            << "status " << *line << (*line == "0" ? ": the upload ended before the device was killed" : "");
        EXPECT_LT(ms, 2000);

        LockHolder other;
        EXPECT_EQ(other.Start("hold", 0, 1000), "locked") << "the lock is free while the uploader lives on";
        uploader.CloseInput();
        const auto status = uploader.Wait(10000);
        ASSERT_TRUE(status.has_value());
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
        device.Wait(10000);
        std::printf("device killed (%s): upload ended with status %s after %lld ms\n", c.what, line->c_str(),
                    static_cast<long long>(ms));
    }
}

}  // namespace
