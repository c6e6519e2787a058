// What the receive job needs of a POSIX system: hard links that never
// replace a file, fsync, a hook run through the shell, and stop signals
// handed to a thread of their own.
#include "tools/receive_platform.h"

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

#include "tools/host.h"

extern char** environ;

namespace cli {
namespace {

bool Sync(const std::string& path, int flags) {
    const int fd = open(path.c_str(), flags);
    if (fd < 0) return false;
    const bool ok = fsync(fd) == 0 || errno == EINVAL;  // some file systems can't sync a directory
    close(fd);
    return ok;
}

int g_stop_pipe[2] = {-1, -1};
// The stop thread's pipe carries the signal's number, or this byte to end
// the thread (no signal has its number).
constexpr char kQuit = 'q';
std::thread g_stop_thread;

void OnSignal(int signal) {
    const int saved = errno;
    const char byte = static_cast<char>(signal);
    if (write(g_stop_pipe[1], &byte, 1) < 0) {
    }
    errno = saved;
}

}  // namespace

bool PutInPlace(const std::string& temp, const std::string& target) {
    if (!Sync(temp, O_RDONLY)) return false;
    // A hard link never replaces an existing file, so a name that appeared
    // meanwhile (another receiver, or the user) is kept.
    if (link(temp.c_str(), target.c_str()) != 0) return false;
    Sync(DirectoryOf(target), O_RDONLY | O_DIRECTORY);
    return true;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

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

void OnStopSignals(std::function<void(int)> on_stop) {
    if (pipe(g_stop_pipe) != 0) return;
    fcntl(g_stop_pipe[0], F_SETFD, FD_CLOEXEC);
    fcntl(g_stop_pipe[1], F_SETFD, FD_CLOEXEC);
    g_stop_thread = std::thread([on_stop = std::move(on_stop)] {
        for (;;) {
            char byte = 0;
            const ssize_t n = read(g_stop_pipe[0], &byte, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || byte == kQuit) return;
            on_stop(byte);
        }
    });
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

void RestoreStopSignals() {
    if (g_stop_pipe[1] < 0) return;
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    if (write(g_stop_pipe[1], &kQuit, 1) < 0) {
    }
    if (g_stop_thread.joinable()) g_stop_thread.join();
    close(g_stop_pipe[0]);
    close(g_stop_pipe[1]);
    g_stop_pipe[0] = g_stop_pipe[1] = -1;
}

}  // namespace cli
