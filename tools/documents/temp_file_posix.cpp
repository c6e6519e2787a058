// Temporary files on POSIX (created by tools/os/files.h): SIGINT, SIGTERM and
// SIGHUP remove them and end the converter before the process ends.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tools/documents/temp_file.h"

namespace doc {
namespace {

std::atomic<int> g_converter{0};

void OnSignal(int sig) {
    if (const int pid = g_converter.load(); pid > 0) kill(pid, SIGTERM);
    RemoveAllTempFiles();
    signal(sig, SIG_DFL);
    raise(sig);
}

}  // namespace

void SetConverterProcess(int pid) { g_converter.store(pid); }

void RemoveTempFilesOnSignals() {
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        // A stop handler of the command's own stays: it ends the command
        // (and its converter) in order, and the files go on the way out.
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_DFL && old.sa_handler != SIG_IGN &&
            old.sa_handler != OnSignal)
            continue;
        sigaction(sig, &sa, nullptr);
    }
}

void StopConverter() {
    if (const int pid = g_converter.load(); pid > 0) kill(pid, SIGTERM);
}

}  // namespace doc
