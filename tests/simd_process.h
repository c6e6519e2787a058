// tessaline-simd as a process of its own, for tests that start the program
// (SIMD_PATH) as its users do: serving, or running one command.
#ifndef TESSALINE_TESTS_SIMD_PROCESS_H
#define TESSALINE_TESTS_SIMD_PROCESS_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char** environ;

// One tessaline-simd process. Its standard output is read up to the first
// line; the rest of it, and its standard error, once it has exited.
class Daemon {
public:
    ~Daemon() {
        if (pid_ > 0) kill(pid_, SIGKILL);
        Wait();
    }

    // True once the program has printed its ready line; false when it
    // printed something else or exited first.
    bool Start(const std::vector<std::string>& args) {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        std::vector<char*> argv{const_cast<char*>(SIMD_PATH)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid_, SIMD_PATH, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
        if (rc != 0) {
            pid_ = -1;
            return false;
        }
        // The first line, or the end of the output when the program exits.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (output_.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, 1000) <= 0) continue;
            char buf[256];
            const ssize_t n = read(out_, buf, sizeof(buf));
            if (n <= 0) break;
            output_.append(buf, static_cast<std::size_t>(n));
        }
        ready_ = output_.substr(0, output_.find('\n'));
        return ready_.rfind("ready ", 0) == 0;
    }

    // Sends `sig` and returns the wait status.
    int Stop(int sig = SIGTERM) {
        if (pid_ > 0) kill(pid_, sig);
        return Wait();
    }

    int Wait() {
        int status = -1;
        if (pid_ > 0) waitpid(pid_, &status, 0);
        pid_ = -1;
        for (int* fd : {&out_, &err_}) {
            if (*fd < 0) continue;
            std::string& text = fd == &out_ ? output_ : errors_;
            char buf[4096];
            ssize_t n;
            while ((n = read(*fd, buf, sizeof(buf))) > 0) text.append(buf, static_cast<std::size_t>(n));
            close(*fd);
            *fd = -1;
        }
        return status;
    }

    const std::string& ready() const { return ready_; }
    const std::string& output() const { return output_; }  // all of it once waited for
    const std::string& errors() const { return errors_; }  // once waited for

private:
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string ready_;
    std::string output_;
    std::string errors_;
};

inline bool ExitedWith(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

// One run of tessaline-simd to its end (a `ctl` command, --help): its exit
// status, standard output and standard error.
struct SimdRun {
    int status = -1;
    std::string out;
    std::string err;
};

inline SimdRun RunSimd(const std::vector<std::string>& args) {
    Daemon d;
    d.Start(args);
    SimdRun r;
    r.status = d.Wait();
    r.out = d.output();
    r.err = d.errors();
    return r;
}

#endif
