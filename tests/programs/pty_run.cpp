// Runs a program on a terminal of its own, as a user at a keyboard would:
// waits until the program has shown PROMPT, types INPUT and a newline, and
// copies everything the terminal showed to standard output. Exits with the
// program's exit status (125 when it cannot run it, 124 when PROMPT never
// came within 20 s).
//
//   pty_run PROMPT INPUT PROGRAM [ARGS...]
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc < 4) return 125;
    const std::string prompt = argv[1];
    const std::string input = std::string(argv[2]) + "\n";
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid < 0) return 125;
    if (pid == 0) {
        execv(argv[3], argv + 3);
        _exit(125);
    }
    std::string shown;
    bool typed = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 200) > 0) {
            char buf[256];
            const ssize_t n = read(master, buf, sizeof(buf));
            if (n <= 0) break;  // the program has closed the terminal
            shown.append(buf, static_cast<std::size_t>(n));
        }
        if (!typed && shown.find(prompt) != std::string::npos) {
            if (write(master, input.data(), input.size()) != static_cast<ssize_t>(input.size())) break;
            typed = true;
        }
        if (!typed && std::chrono::steady_clock::now() > deadline) {
            std::fwrite(shown.data(), 1, shown.size(), stdout);
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return 124;
        }
    }
    std::fwrite(shown.data(), 1, shown.size(), stdout);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 125;
}
