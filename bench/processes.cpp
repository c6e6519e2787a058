// The processes of a benchmark run: starting children of this program,
// their CPU time and affinity, and the clean-up when the run dies.
#include "bench/processes.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

extern char** environ;

namespace bench {

pid_t g_device = -1;
std::string g_work;
std::string g_lock;

[[noreturn]] void Die(const std::string& why) {
    std::fprintf(stderr, "tessaline-bench: %s\n", why.c_str());
    if (g_device > 0) {
        kill(g_device, SIGTERM);
        waitpid(g_device, nullptr, 0);
    }
    std::error_code ec;
    if (!g_work.empty()) std::filesystem::remove_all(g_work, ec);
    if (!g_lock.empty()) shm_unlink(("/" + g_lock).c_str());
    std::exit(1);
}

std::uint64_t MonotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}


Child Child::Start(const std::vector<std::string>& args, bool pipe_in, bool pipe_out) {
    static const std::string self = [] {
        std::error_code ec;
        auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
        if (ec) Die("cannot find my own program: " + ec.message());
        return p.string();
    }();
    Child c;
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    if ((pipe_in && pipe2(in, O_CLOEXEC) != 0) || (pipe_out && pipe2(out, O_CLOEXEC) != 0)) Die("pipe failed");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (pipe_in) posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    if (pipe_out) posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(self.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&c.pid, self.c_str(), &fa, nullptr, argv.data(), environ) != 0) Die("cannot start " + self);
    posix_spawn_file_actions_destroy(&fa);
    if (pipe_in) {
        close(in[0]);
        c.to = in[1];
    }
    if (pipe_out) {
        close(out[1]);
        c.from = out[0];
    }
    return c;
}

std::string Child::ReadAll() {
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t n = read(from, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    return text;
}

std::string Child::ReadLine() {
    std::string line;
    char c;
    while (read(from, &c, 1) == 1 && c != '\n') line += c;
    return line;
}

int Child::Wait() {
    if (to >= 0) close(to);
    if (from >= 0) close(from);
    to = from = -1;
    int status = 0;
    if (pid > 0) waitpid(pid, &status, 0);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

double ProcessCpu(pid_t pid) {
    double run = 0;
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::ifstream in(task.path() / "schedstat");
        double run_ns = 0;
        if (in >> run_ns) run += run_ns / 1e9;
    }
    return run;
}

std::pair<double, double> UserAndKernelSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t paren = text.rfind(')');
    if (paren == std::string::npos) return {0, 0};
    // The fields after the command name start with field 3; utime and stime
    // are fields 14 and 15.
    std::vector<std::string> fields;
    for (std::size_t pos = paren + 2; pos < text.size();) {
        std::size_t end = text.find(' ', pos);
        if (end == std::string::npos) end = text.size();
        fields.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    if (fields.size() < 13) return {0, 0};
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    return {std::strtod(fields[11].c_str(), nullptr) / ticks, std::strtod(fields[12].c_str(), nullptr) / ticks};
}

void SetAffinity(pid_t pid, const cpu_set_t& set) {
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        const pid_t tid = static_cast<pid_t>(std::strtol(task.path().filename().c_str(), nullptr, 10));
        sched_setaffinity(tid, sizeof(set), &set);
    }
}

}  // namespace bench
