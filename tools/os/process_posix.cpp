// The command's process on POSIX systems: a host of libtessaline.so through
// its DllGetClassObject; a terminal without echo for a password; stop
// signals handed to a thread of their own.
#include "tools/os/process.h"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "tools/com_ref.h"
#include "tools/json_output.h"
#include "tools/os/files.h"

namespace cli {
namespace {

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

bool StartHost(int argc, char** argv, std::vector<std::string>& args, std::string&) {
    args.assign(argv + 1, argv + argc);
    GiveDefaultMode("");  // reads the umask while the process has one thread
    return true;
}

void StopHost() {}

HRESULT CreateHostObject(REFCLSID clsid, REFIID iid, void** out) {
    *out = nullptr;
    Ref<IClassFactory> factory;
    HRESULT hr = DllGetClassObject(clsid, IID_IClassFactory, factory.out());
    if (FAILED(hr)) return hr;
    return factory->CreateInstance(nullptr, iid, out);
}

void SetEnvironmentValue(const char* name, const char* value) { setenv(name, value, 1); }

void UseBinary(std::FILE*) {}

bool TextToUtf8(const std::string& text, std::string& utf8) {
    utf8 = text;
    return IsUtf8(text);
}

bool ReadHidden(const char* prompt, std::string& line) {
    termios saved {};
    const bool terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
        std::fputs(prompt, stderr);
        std::fflush(stderr);
    }
    const bool got = static_cast<bool>(std::getline(std::cin, line)) || !line.empty();
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        std::fputs("\n", stderr);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return got;
}

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

bool LocalTime(std::time_t t, std::tm& out) { return localtime_r(&t, &out) != nullptr; }

HostThread::HostThread() {}
HostThread::~HostThread() {}

const char* EnvironmentHelp() {
    return "  TESSALINE_DEVICE_DIR   device directory (default $XDG_RUNTIME_DIR/tessaline, else /run/tessaline)\n"
           "  TESSALINE_FAX_DEVICE   device path of the fax channel, skipping discovery\n"
           "  TESSALINE_EWS_DEVICE   device path of the EWS channel, skipping discovery\n"
           "  TESSALINE_DIAGNOSTICS  the library's discovery messages: shown on standard error when stderr or with\n"
           "                         --verbose, dropped otherwise\n"
           "  TESSALINE_JOURNAL      the journal's file (default $XDG_STATE_HOME/tessaline/journal.jsonl, else\n"
           "                         ~/.local/state/tessaline/journal.jsonl); none turns it off\n";
}

const char* StopRequestText() { return "SIGINT or SIGTERM"; }

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
