// The other roles of this program in a run: the simulated device, the
// one-off upload of the memory figure, and the contention worker.
#include "bench/roles.h"

#include <signal.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "bench/bench_common.h"
#include "bench/processes.h"
#include "protocol/fax_received.h"
#include "protocol/fax_settings.h"
#include "sim/sim_device.h"

namespace bench {

int RunDevice(const std::string& dir) {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);

    sim::SimDevice device(dir, "bench0");
    sim::Firmware& fw = device.firmware();
    // Nothing of the traffic is kept: recording copies every byte, and the
    // uploads would pile up in the sent jobs.
    fw.SetRecording(false);
    fw.SetKeepSentData(false);
    fw.AddReceivedFax(kSmallFax, Pattern(kSmallSize, 1));
    fw.AddReceivedFax(kLargeFax, Pattern(kLargeSize, 2));
    for (int i = 0; i < 6; ++i) fw.AddReceivedFax("small" + std::to_string(i) + ".tif", Pattern(2000, 10 + i));
    if (!device.Start()) {
        std::fprintf(stderr, "tessaline-bench device: %s\n", device.error().c_str());
        return 1;
    }
    std::printf("ready %s %s\n", device.fax_path().c_str(), device.ews_path().c_str());
    std::fflush(stdout);
    int sig = 0;
    sigwait(&stop, &sig);
    device.Stop();
    return 0;
}

FAX_RECIPIENT OneRecipient() {
    FAX_RECIPIENT r;
    std::memset(&r, 0, sizeof(r));
    std::snprintf(r.PhoneNumber, sizeof(r.PhoneNumber), "%s", kNumber);
    return r;
}

int RunSendOnce(const char* file) {
    const FAX_RECIPIENT r = OneRecipient();
    const FAXRESULT result = DeviceSendFax(&r, 1, file);
    // The peak resident size of this process's own address space. Its
    // ru_maxrss would not do: the kernel carries the high-water mark of the
    // address space a program was started from across the exec, and a
    // spawned child starts from its parent's.
    long peak_kib = -1;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) peak_kib = std::strtol(line.c_str() + 6, nullptr, 10);
    }
    std::printf("%d %ld\n", static_cast<int>(MapFaxResult(result, FAXSTATUS_CMD_FAIL)), peak_kib);
    return 0;
}

namespace {

// One short operation of the mix; its status as the automation method
// would report it.
FAXSTATUS ShortOperation(int kind) {
    FAXRESULT r = FAXRESULT_OK;
    switch (kind % 5) {
        case 0: {
            std::uint32_t count = 0;
            r = DeviceGetReceivedFaxCount(&count);
            break;
        }
        case 1: {
            std::uint32_t value = 0;
            r = DeviceGetFaxReceiveSettings(&value);
            break;
        }
        case 2: {
            std::uint8_t set = 0;
            r = DeviceCheckFaxPasswordSet(&set);
            break;
        }
        case 3: {
            DEFAULT_FAX_SETTINGS settings;
            r = DeviceReadFaxSettings(&settings);
            break;
        }
        default: {
            FAX_FILENAME name;
            std::memset(&name, 0, sizeof(name));
            std::snprintf(name.faxPath, sizeof(name.faxPath), "%s", kSmallFax);
            FAX_LOG_ENTRY entry;
            r = DeviceGetFaxLogEntry(&name, &entry);
            break;
        }
    }
    return MapFaxResult(r, FAXSTATUS_CMD_FAIL);
}

}  // namespace

// Waits for its standard input to close (the start signal), runs `ops`
// operations of the mix and prints its first start and last end (monotonic
// ns), then how many operations ended with each FAXSTATUS from 0 to 11.
int RunContend(int ops, int first) {
    char c;
    while (read(0, &c, 1) > 0) {
    }
    std::uint64_t counts[12] = {};
    const std::uint64_t start = MonotonicNs();
    for (int i = 0; i < ops; ++i) {
        const FAXSTATUS s = ShortOperation(first + i);
        ++counts[static_cast<unsigned>(s) < 12 ? s : FAXSTATUS_CMD_FAIL];
    }
    const std::uint64_t end = MonotonicNs();
    std::printf("%" PRIu64 " %" PRIu64, start, end);
    for (std::uint64_t n : counts) std::printf(" %" PRIu64, n);
    std::printf("\n");
    return 0;
}

}  // namespace bench
