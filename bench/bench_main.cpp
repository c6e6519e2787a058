// tessaline-bench: the library's fax operations measured side by side with a
// raw client of the device channel (bench/raw_channel.h), against one
// simulated device running in a process of its own, and one table of the
// figures. Run with --help for the options.
//
// The same program is also each of the other processes a run needs:
//   tessaline-bench device DIR         the simulated device
//   tessaline-bench send-once FILE     one upload; prints its status and peak resident size
//   tessaline-bench contend OPS FIRST  a contention worker
// This file: the command line, the run's set-up and clean-up, and the order
// of the figures.
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "bench/bench_common.h"
#include "bench/figures.h"
#include "bench/processes.h"
#include "bench/report.h"
#include "bench/roles.h"

using namespace bench;

namespace {

const char kUsage[] =
    "Usage: tessaline-bench [--quick] [--spread] [--only FIGURE[,FIGURE...]]\n"
    "Measures the library's fax operations against a raw client of the device\n"
    "channel, on a simulated device of its own (a process started for the run,\n"
    "in a private device directory with a private access lock), and prints a\n"
    "table of the figures and whether each goal is met.\n"
    "\n"
    "  --quick    fewer rounds: a rough table in a few seconds\n"
    "  --spread   run the transfers and the small operation wherever the\n"
    "             scheduler puts the client and the device, instead of on one\n"
    "             CPU (see README.md, \"Benchmarks\")\n"
    "  --only     run only these figures: upload, download, small, contention,\n"
    "             memory, web\n"
    "\n"
    "Exit status: 0 when every figure was measured (met goals or not), 1 when a\n"
    "measurement failed, 64 for a bad command line.\n";

struct Options {
    bool quick = false;
    bool spread = false;
    std::set<std::string> only;
    bool Wants(const char* figure) const { return only.empty() || only.count(figure) > 0; }
};

int RunAll(const Options& o) {
    Setup s;
    // The files sent and fetched live in memory (tmpfs) where there is one,
    // so that the figures are the library's and the channel's, not the
    // disk's.
    std::string templ = (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + std::string("/tessaline-bench-XXXXXX");
    if (!mkdtemp(templ.data())) Die("cannot make a work directory in " + templ);
    s.work = templ;
    const std::string device_dir = s.work + "/devices";
    const std::string lock_name = "tessaline-bench-" + std::to_string(getpid());
    g_work = s.work;
    g_lock = lock_name;
    setenv("TESSALINE_DEVICE_DIR", device_dir.c_str(), 1);
    setenv("TESSALINE_LOCK_NAME", lock_name.c_str(), 1);
    setenv("TESSALINE_DIAGNOSTICS", "stderr", 1);
    unsetenv("TESSALINE_FAX_DEVICE");
    unsetenv("TESSALINE_EWS_DEVICE");

    std::fprintf(stderr, "tessaline-bench: preparing the files and starting the simulated device\n");
    s.small_data = Pattern(kSmallSize, 1);
    s.large_data = Pattern(kLargeSize, 2);
    s.small_file = s.work + "/upload-1m.tif";
    s.large_file = s.work + "/upload-64m.tif";
    s.download = s.work + "/download.tif";
    for (auto [path, data] : {std::pair{&s.small_file, &s.small_data}, std::pair{&s.large_file, &s.large_data}}) {
        if (!WriteFileRaw(*path, data->data(), static_cast<std::uint32_t>(data->size())))
            Die("cannot write " + *path);
    }
    s.warm.assign(kLargeSize, 0);

    Child device = Child::Start({"device", device_dir}, false, true);
    g_device = device.pid;
    s.device = device.pid;
    const std::string ready = device.ReadLine();
    if (ready.rfind("ready ", 0) != 0) Die("the simulated device did not start");
    const std::size_t space = ready.find(' ', 6);
    if (space == std::string::npos) Die("the simulated device did not name its channels");
    s.fax_path = ready.substr(6, space - 6);
    s.ews_path = ready.substr(space + 1);
    const auto device_cpu_at_start = UserAndKernelSeconds(device.pid);

    // The client and the device take turns, one request at a time: a second
    // CPU lets neither go faster, and each hand-over between two CPUs costs a
    // wake-up across them. Both go on the CPU this program started on,
    // unless --spread.
    cpu_set_t all_cpus, one_cpu;
    sched_getaffinity(0, sizeof(all_cpus), &all_cpus);
    CPU_ZERO(&one_cpu);
    CPU_SET(sched_getcpu(), &one_cpu);
    auto pin = [&](bool on) {
        if (o.spread) return;
        sched_setaffinity(0, sizeof(cpu_set_t), on ? &one_cpu : &all_cpus);
        SetAffinity(s.device, on ? one_cpu : all_cpus);
    };
    s.recipient = OneRecipient();
    CheckDownloads(s);

    Report report;
    pin(true);
    if (o.Wants("upload")) UploadFigure(s, o.quick, report);
    if (o.Wants("download")) DownloadFigure(s, o.quick, report);
    if (o.Wants("small")) SmallFigure(s, o.quick, report);
    pin(false);
    if (o.Wants("contention")) ContentionFigure(report);
    if (o.Wants("memory")) MemoryFigure(s, report);
    if (o.Wants("web")) WebFigure(s, o.quick, report);

    const auto device_cpu_at_end = UserAndKernelSeconds(device.pid);
    report.device_user = device_cpu_at_end.first - device_cpu_at_start.first;
    report.device_kernel = device_cpu_at_end.second - device_cpu_at_start.second;
    kill(device.pid, SIGTERM);
    device.Wait();
    g_device = -1;
    std::error_code ec;
    std::filesystem::remove_all(s.work, ec);
    shm_unlink(("/" + lock_name).c_str());

    PrintReport(report, o.quick, o.spread);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "device" && argc == 3) return RunDevice(argv[2]);
    if (cmd == "send-once" && argc == 3) return RunSendOnce(argv[2]);
    if (cmd == "contend" && argc == 4) return RunContend(std::atoi(argv[2]), std::atoi(argv[3]));

    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--quick") {
            o.quick = true;
        } else if (arg == "--spread") {
            o.spread = true;
        } else if (arg == "--only" && i + 1 < argc) {
            std::string list = argv[++i];
            for (std::size_t pos = 0; pos <= list.size();) {
                std::size_t comma = list.find(',', pos);
                if (comma == std::string::npos) comma = list.size();
                const std::string f = list.substr(pos, comma - pos);
                static const std::set<std::string> kFigures = {"upload", "download", "small", "contention", "memory",
                                                             "web"};
                if (!kFigures.count(f)) {
                    std::fprintf(stderr, "tessaline-bench: no figure called '%s'\n%s", f.c_str(), kUsage);
                    return 64;
                }
                o.only.insert(f);
                pos = comma + 1;
            }
        } else {
            std::fprintf(stderr, "tessaline-bench: unknown argument '%s'\n%s", arg.c_str(), kUsage);
            return 64;
        }
    }
    return RunAll(o);
}
