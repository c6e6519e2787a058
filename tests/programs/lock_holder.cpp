// Takes the access lock in a process of its own and reports how the wait
// ended ("locked", "abandoned", "timeout", "failed"). Then, holding it,
// either keeps it for the given milliseconds and releases it ("hold"), or
// exits at once without releasing it ("abandon"), leaving it abandoned.
//
//   lock_holder hold|abandon [hold_ms [wait_ms]]
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/named_mutex.h"
#include "transport/fax_device.h"

int main(int argc, char** argv) {
    if (argc < 2) return 64;
    const int hold_ms = argc > 2 ? std::atoi(argv[2]) : 60000;
    const int wait_ms = argc > 3 ? std::atoi(argv[3]) : 10000;
    const plat::MutexHandle m = plat::OpenNamedMutex(kAccessLockName);
    if (!m.is_open()) {
        std::printf("failed\n");
        return 1;
    }
    const char* word = "failed";
    switch (plat::WaitNamedMutex(m, static_cast<std::uint32_t>(wait_ms))) {
        case plat::MutexWait::Acquired: word = "locked"; break;
        case plat::MutexWait::Abandoned: word = "abandoned"; break;
        case plat::MutexWait::TimedOut: word = "timeout"; break;
        case plat::MutexWait::Failed: break;
    }
    std::printf("%s\n", word);
    std::fflush(stdout);
    if (std::strcmp(word, "locked") != 0 && std::strcmp(word, "abandoned") != 0) return 2;
    if (std::strcmp(argv[1], "abandon") == 0) _exit(0);
    usleep(static_cast<useconds_t>(hold_ms) * 1000);
    plat::ReleaseNamedMutex(m);
    return 0;
}
