// The receive job's hook on a POSIX system: run through the shell in a
// process group of its own, ended with its children.
#include "tools/os/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>


extern char** environ;

namespace cli {
namespace {

}  // namespace

int RunHook(const std::string& command, const std::string& path,
            const std::vector<std::pair<std::string, std::string>>& env, double timeout_seconds,
            const std::function<bool()>& stop, bool& ended) {
    ended = false;
    // The environment is built before the fork: the child only calls exec.
    std::vector<std::string> entries;
    for (char** e = environ; *e; ++e) {
        bool replaced = false;
        for (const auto& [key, value] : env)
            if (std::strncmp(*e, key.c_str(), key.size()) == 0 && (*e)[key.size()] == '=') replaced = true;
        if (!replaced) entries.emplace_back(*e);
    }
    for (const auto& [key, value] : env) entries.push_back(key + "=" + value);
    std::vector<char*> envp;
    for (std::string& e : entries) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string sh = "/bin/sh", dash_c = "-c", cmd = command, name = "tessaline-receive", arg = path;
    char* argv[] = {sh.data(), dash_c.data(), cmd.data(), name.data(), arg.data(), nullptr};

    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        setpgid(0, 0);  // a group of its own, so that its children end with it
        dup2(2, 1);
        execve(argv[0], argv, envp.data());
        _exit(127);
    }
    setpgid(pid, pid);
    // Waits in steps, watching the hook's time and the job's stop: a hook
    // that hangs is sent SIGTERM, and SIGKILL 2 s later.
    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    Clock::time_point killed_at{};
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) return -1;
        const bool over = timeout_seconds > 0 && Clock::now() - started >= std::chrono::duration<double>(timeout_seconds);
        if (!ended && (over || (stop && stop()))) {
            ended = true;
            killed_at = Clock::now();
            kill(-pid, SIGTERM);
        } else if (ended && Clock::now() - killed_at >= std::chrono::seconds(2)) {
            kill(-pid, SIGKILL);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

const char* HookRunText() { return "with sh for each fax stored, the file's path as $1"; }

}  // namespace cli
