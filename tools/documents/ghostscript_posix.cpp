// Ghostscript, run as a program, renders documents into fax images.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tools/documents/raster.h"

extern char** environ;

namespace doc {
namespace {

// The program to run: TESSALINE_GHOSTSCRIPT names another one.
std::string GhostscriptProgram() {
    const char* named = std::getenv("TESSALINE_GHOSTSCRIPT");
    return named && *named ? named : "gs";
}

// The last lines Ghostscript printed, for the message when it fails.
std::string Tail(const std::string& text) {
    std::string t = text;
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r' || t.back() == ' ')) t.pop_back();
    if (t.size() > 600) t = "..." + t.substr(t.size() - 600);
    // One line: runs of blanks and line breaks become one space.
    std::string line;
    for (char c : t) {
        const bool blank = c == '\n' || c == '\r' || c == ' ' || c == '\t';
        if (blank && (line.empty() || line.back() == ' ')) continue;
        line += blank ? ' ' : c;
    }
    return line;
}

}  // namespace

Outcome RenderWithGhostscript(const std::string& input, const FaxOptions& options,
                              const std::string& output, std::string& error) {
    // The fax page: 1728 pixels across at 204 dpi (215 mm), as long as the
    // paper at the vertical resolution. The document's pages are scaled to
    // fit it.
    const int ydpi = options.resolution == Resolution::Fine ? 196 : 98;
    const double height_in = options.paper == Paper::Letter ? 11.0 : 297.0 / 25.4;
    const int height = static_cast<int>(height_in * ydpi + 0.5);
    const std::string program = GhostscriptProgram();
    std::vector<std::string> args = {
        program, "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dNOPROMPT", "-sDEVICE=tiffg4",
        "-r204x" + std::to_string(ydpi), "-dDEVICEWIDTH=1728", "-dDEVICEHEIGHT=" + std::to_string(height),
        "-dFIXEDMEDIA", "-dFitPage", "-sOutputFile=" + output, "-f", input};
    // Someone watching: Ghostscript says which page it renders ("Processing
    // pages 1 through M.", "Page N") unless quiet; those lines, and its
    // banner, are taken out of what it said.
    if (options.on_page) args.erase(args.begin() + 1);
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
        error = std::string("cannot run Ghostscript: ") + std::strerror(errno);
        return Outcome::Failed;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 2);
    posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
    posix_spawn_file_actions_addclose(&actions, pipe_fds[1]);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    if (spawned == 0) SetConverterProcess(pid);
    if (spawned != 0) {
        close(pipe_fds[0]);
        if (spawned == ENOENT) {
            error = "Ghostscript ('" + program + "') is not installed: install it (on Debian, the package "
                    "ghostscript), or send a fax TIFF";
            return Outcome::Unavailable;
        }
        error = "cannot run Ghostscript ('" + program + "'): " + std::strerror(spawned);
        return Outcome::Failed;
    }
    std::string said, pending;
    int pages = 0;
    auto take_line = [&](const std::string& line) {
        int a = 0, b = 0;
        if (options.on_page) {
            if (std::sscanf(line.c_str(), "Processing pages %d through %d.", &a, &b) == 2) {
                pages = b - a + 1;
                return;
            }
            if (std::sscanf(line.c_str(), "Page %d", &a) == 1 && line.find_first_not_of("0123456789", 5) == std::string::npos) {
                options.on_page(a, pages);
                return;
            }
            for (const char* banner : {"GPL Ghostscript", "Copyright (C)", "This software is supplied", "see the file"})
                if (line.rfind(banner, 0) == 0) return;
        }
        if (said.size() < 65536) said += line + "\n";
    };
    char buf[4096];
    for (;;) {
        const ssize_t n = read(pipe_fds[0], buf, sizeof(buf));
        if (n > 0) {
            pending.append(buf, static_cast<std::size_t>(n));
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1))
                take_line(pending.substr(0, end));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    if (!pending.empty()) take_line(pending);
    close(pipe_fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    SetConverterProcess(0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = "Ghostscript could not render it" + (said.empty() ? std::string() : ": " + Tail(said));
        return Outcome::Failed;
    }
    // Ghostscript carries on past many faults of a document: what it said
    // explains an image that came out empty.
    error = Tail(said);
    return Outcome::Ok;
}

}  // namespace doc
