// tessaline-bench: the library's fax operations measured side by side with a
// raw client of the device channel (bench/raw_channel.h), against one
// simulated device running in a process of its own, and one table of the
// figures. Run with --help for the options.
//
// The same program is also each of the other processes a run needs:
//   tessaline-bench device DIR         the simulated device
//   tessaline-bench send-once FILE     one upload; prints its status and peak resident size
//   tessaline-bench contend OPS FIRST  a contention worker
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "bench/raw_channel.h"
#include "protocol/fax_received.h"
#include "protocol/fax_send.h"
#include "protocol/fax_settings.h"
#include "sim/sim_device.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kSmallSize = 1u << 20;
constexpr std::uint32_t kLargeSize = 64u << 20;
constexpr char kSmallFax[] = "bench-1m.tif";
constexpr char kLargeFax[] = "bench-64m.tif";
constexpr char kNumber[] = "5550199";
constexpr int kContenders = 8;
constexpr int kContentionOps = 500;

// The goals. A transfer through the library keeps up with the channel
// alone: what it adds (the lock, discovery, the file and its buffer) costs
// at most a twentieth. The goal is a ratio, not a rate: a rate says what the
// host is, not what the code does.
constexpr double kMinChannelRatio = 0.95;
constexpr double kMaxSmallOpRatio = 1.5;
constexpr double kMemorySlackMiB = 8.0;

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
    "             memory\n"
    "\n"
    "Exit status: 0 when every figure was measured (met goals or not), 1 when a\n"
    "measurement failed, 64 for a bad command line.\n";

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::uint64_t MonotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

// Fax-like content: incompressible, never one byte repeated.
std::vector<std::uint8_t> Pattern(std::uint32_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> data(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x);
    }
    return data;
}

// What a run leaves behind, taken away when it dies: its simulated device,
// its work directory and its access lock.
pid_t g_device = -1;
std::string g_work;
std::string g_lock;

[[noreturn]] void Die(const std::string& why) {
    std::fprintf(stderr, "tessaline-bench: %s\n", why.c_str());
    if (g_device > 0) {
        kill(g_device, SIGTERM);
        waitpid(g_device, nullptr, 0);
    }
    std::error_code ec;
    if (!g_work.empty()) std::filesystem::remove_all(g_work, ec);
    if (!g_lock.empty()) shm_unlink(("/" + g_lock).c_str());
    std::exit(1);
}

// A child process of this same program, with its standard input and output
// on pipes when asked.
struct Child {
    pid_t pid = -1;
    int to = -1;    // its standard input
    int from = -1;  // its standard output

    static Child Start(const std::vector<std::string>& args, bool pipe_in, bool pipe_out) {
        static const std::string self = [] {
            std::error_code ec;
            auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
            if (ec) Die("cannot find my own program: " + ec.message());
            return p.string();
        }();
        Child c;
        int in[2] = {-1, -1}, out[2] = {-1, -1};
        if ((pipe_in && pipe2(in, O_CLOEXEC) != 0) || (pipe_out && pipe2(out, O_CLOEXEC) != 0)) Die("pipe failed");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        if (pipe_in) posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        if (pipe_out) posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(self.c_str()));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&c.pid, self.c_str(), &fa, nullptr, argv.data(), environ) != 0) Die("cannot start " + self);
        posix_spawn_file_actions_destroy(&fa);
        if (pipe_in) {
            close(in[0]);
            c.to = in[1];
        }
        if (pipe_out) {
            close(out[1]);
            c.from = out[0];
        }
        return c;
    }

    // Everything the child writes until it closes its output.
    std::string ReadAll() {
        std::string text;
        char buf[4096];
        for (;;) {
            ssize_t n = read(from, buf, sizeof(buf));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            text.append(buf, static_cast<std::size_t>(n));
        }
        return text;
    }

    std::string ReadLine() {
        std::string line;
        char c;
        while (read(from, &c, 1) == 1 && c != '\n') line += c;
        return line;
    }

    int Wait() {
        if (to >= 0) close(to);
        if (from >= 0) close(from);
        to = from = -1;
        int status = 0;
        if (pid > 0) waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

// Time the threads of a process have spent on a CPU, in seconds, from the
// scheduler's statistics (nanosecond precision, kernel time included).
double ProcessCpu(pid_t pid) {
    double run = 0;
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::ifstream in(task.path() / "schedstat");
        double run_ns = 0;
        if (in >> run_ns) run += run_ns / 1e9;
    }
    return run;
}

// The user and the kernel CPU time of a whole process so far, in seconds,
// from /proc (clock-tick precision).
std::pair<double, double> UserAndKernelSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t paren = text.rfind(')');
    if (paren == std::string::npos) return {0, 0};
    // The fields after the command name start with field 3; utime and stime
    // are fields 14 and 15.
    std::vector<std::string> fields;
    for (std::size_t pos = paren + 2; pos < text.size();) {
        std::size_t end = text.find(' ', pos);
        if (end == std::string::npos) end = text.size();
        fields.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    if (fields.size() < 13) return {0, 0};
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    return {std::strtod(fields[11].c_str(), nullptr) / ticks, std::strtod(fields[12].c_str(), nullptr) / ticks};
}

// Puts every thread of a process on the CPUs of `set`.
void SetAffinity(pid_t pid, const cpu_set_t& set) {
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        const pid_t tid = static_cast<pid_t>(std::strtol(task.path().filename().c_str(), nullptr, 10));
        sched_setaffinity(tid, sizeof(set), &set);
    }
}

// ---------------------------------------------------------------------------
// The device process

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
    std::printf("ready %s\n", device.fax_path().c_str());
    std::fflush(stdout);
    int sig = 0;
    sigwait(&stop, &sig);
    device.Stop();
    return 0;
}

// ---------------------------------------------------------------------------
// Worker processes

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

// ---------------------------------------------------------------------------
// The raw baseline's whole jobs: the same work as the operation, by the
// shortest road. An upload reads the file into a new buffer and sends it; a
// download receives into a new buffer and writes the file with one write.

std::unique_ptr<std::uint8_t[]> ReadFileRaw(const std::string& path, std::uint32_t& size) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    std::unique_ptr<std::uint8_t[]> data;
    if (fstat(fd, &st) == 0 && st.st_size > 0) {
        size = static_cast<std::uint32_t>(st.st_size);
        data.reset(new (std::nothrow) std::uint8_t[size]);
        if (data && read(fd, data.get(), size) != static_cast<ssize_t>(size)) data.reset();
    }
    close(fd);
    return data;
}

bool WriteFileRaw(const std::string& path, const std::uint8_t* data, std::uint32_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    const bool ok = write(fd, data, size) == static_cast<ssize_t>(size);
    return close(fd) == 0 && ok;
}

// ---------------------------------------------------------------------------
// The measurements

struct Setup {
    std::string work;
    std::string fax_path;  // the device's fax socket, for the raw client
    std::string small_file;
    std::string large_file;
    std::string download;
    std::vector<std::uint8_t> small_data;
    std::vector<std::uint8_t> large_data;
    std::vector<std::uint8_t> warm;  // the channel-only download's buffer, faulted in once
    pid_t device = -1;
};

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(v.size())));
    return v[std::min(rank == 0 ? 0 : rank - 1, v.size() - 1)];
}

// One side of a transfer figure: its median rate over the rounds, and where
// its time went, per MiB moved: wall time, and the client's and the device's
// time on a CPU.
struct Rate {
    double mbps = 0;
    double wall_us = 0;
    double client_us = 0;
    double device_us = 0;
};

// Runs the sides in turn, round after round, so that a slow spell of the
// machine falls on all of them alike. Each run moves `bytes`; any failure
// ends the benchmark.
std::vector<Rate> Transfer(const Setup& s, int rounds, std::uint32_t bytes,
                           const std::vector<std::pair<const char*, std::function<bool()>>>& sides) {
    struct Totals {
        std::vector<double> mbps;
        double wall = 0;
        double client = 0;
        double device = 0;
    };
    std::vector<Totals> totals(sides.size());
    for (int i = 0; i < rounds; ++i) {
        for (std::size_t k = 0; k < sides.size(); ++k) {
            const double client0 = ProcessCpu(getpid()), device0 = ProcessCpu(s.device);
            const auto t0 = Clock::now();
            if (!sides[k].second()) Die(std::string("a transfer failed: ") + sides[k].first);
            const double wall = Seconds(Clock::now() - t0);
            const double client1 = ProcessCpu(getpid()), device1 = ProcessCpu(s.device);
            totals[k].mbps.push_back(bytes / wall / 1e6);
            totals[k].wall += wall;
            totals[k].client += client1 - client0;
            totals[k].device += device1 - device0;
        }
    }
    std::vector<Rate> rates;
    const double mib = static_cast<double>(bytes) * rounds / 1048576.0;
    for (const Totals& t : totals) {
        rates.push_back({Median(t.mbps), t.wall / mib * 1e6, t.client / mib * 1e6, t.device / mib * 1e6});
    }
    return rates;
}

struct Latency {
    double median_us = 0;
    double p99_us = 0;
};

void SmallOperation(const Setup& s, int calls, Latency& lib, Latency& raw) {
    std::vector<double> lib_us, raw_us;
    constexpr int kRun = 50;  // alternating in short runs, for the same reason as Transfer
    for (int done = 0; done < calls; done += kRun) {
        for (int i = 0; i < kRun; ++i) {
            std::uint32_t count = 0;
            const auto t0 = Clock::now();
            if (DeviceGetReceivedFaxCount(&count) != FAXRESULT_OK) Die("DeviceGetReceivedFaxCount failed");
            lib_us.push_back(Seconds(Clock::now() - t0) * 1e6);
        }
        for (int i = 0; i < kRun; ++i) {
            std::uint32_t count = 0;
            const auto t0 = Clock::now();
            if (!bench::RawCount(s.fax_path, &count)) Die("the raw count failed");
            raw_us.push_back(Seconds(Clock::now() - t0) * 1e6);
        }
    }
    lib = {Median(lib_us), Percentile(lib_us, 0.99)};
    raw = {Median(raw_us), Percentile(raw_us, 0.99)};
}

struct Contention {
    double calls_per_s = 0;
    std::uint64_t calls = 0;
    std::uint64_t no_device = 0;
    std::uint64_t other_failures = 0;
};

Contention Contend(int processes, int ops) {
    std::vector<Child> workers;
    for (int p = 0; p < processes; ++p)
        workers.push_back(Child::Start({"contend", std::to_string(ops), std::to_string(p)}, true, true));
    for (Child& w : workers) {  // all start at once
        close(w.to);
        w.to = -1;
    }
    Contention c;
    std::uint64_t first = UINT64_MAX, last = 0;
    for (Child& w : workers) {
        const std::string out = w.ReadAll();
        if (w.Wait() != 0) Die("a contention worker failed");
        std::uint64_t v[14] = {};
        const char* p = out.c_str();
        for (std::uint64_t& x : v) {
            char* end = nullptr;
            x = std::strtoull(p, &end, 10);
            if (end == p) Die("a contention worker did not report");
            p = end;
        }
        first = std::min(first, v[0]);
        last = std::max(last, v[1]);
        for (int st = 0; st < 12; ++st) {
            c.calls += v[2 + st];
            if (st == FAXSTATUS_NO_DEVICE) {
                c.no_device += v[2 + st];
            } else if (st != FAXSTATUS_OK) {
                c.other_failures += v[2 + st];
            }
        }
    }
    if (last > first) c.calls_per_s = static_cast<double>(c.calls) / (static_cast<double>(last - first) / 1e9);
    return c;
}

// ---------------------------------------------------------------------------
// The table

struct Row {
    std::string figure, library, raw, ratio, channel, goal, met;
    std::string channel_ratio = "-";  // transfers: the library against the channel alone
    std::string client_cpu = "-";     // transfers: the client's CPU time per MiB moved
};

std::string Format(const char* fmt, double a, double b = 0, double c = 0) {
    char buf[128];
    std::snprintf(buf, sizeof(buf), fmt, a, b, c);
    return buf;
}

// A Markdown table, its columns as wide as their widest cell.
void PrintTable(const std::vector<std::string>& head, const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> width(head.size());
    for (std::size_t i = 0; i < head.size(); ++i) width[i] = head[i].size();
    for (const auto& r : rows) {
        for (std::size_t i = 0; i < r.size() && i < width.size(); ++i) width[i] = std::max(width[i], r[i].size());
    }
    auto line = [&](const std::vector<std::string>& c) {
        std::printf("|");
        for (std::size_t i = 0; i < width.size(); ++i)
            std::printf(" %-*s |", static_cast<int>(width[i]), i < c.size() ? c[i].c_str() : "");
        std::printf("\n");
    };
    line(head);
    std::printf("|");
    for (std::size_t w : width) std::printf("%s|", std::string(w + 2, '-').c_str());
    std::printf("\n");
    for (const auto& r : rows) line(r);
}

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
    s.fax_path = ready.substr(6);
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

    // The library's jobs, the raw client's same jobs, and the raw client on
    // the channel alone (data from and into memory).
    const FAX_RECIPIENT recipient = OneRecipient();
    auto lib_send = [&](const std::string& file) {
        return [&recipient, file] { return DeviceSendFax(&recipient, 1, file.c_str()) == FAXRESULT_OK; };
    };
    auto raw_send = [&](const std::string& file) {
        return [&s, file] {
            std::uint32_t size = 0;
            auto data = ReadFileRaw(file, size);
            return data && bench::RawSendFax(s.fax_path, data.get(), size, kNumber);
        };
    };
    auto chan_send = [&](const std::vector<std::uint8_t>& data) {
        return [&s, &data] {
            return bench::RawSendFax(s.fax_path, data.data(), static_cast<std::uint32_t>(data.size()), kNumber);
        };
    };
    auto lib_get = [&](const char* name) {
        return [&s, name] {
            FAX_FILENAME f;
            std::memset(&f, 0, sizeof(f));
            std::snprintf(f.faxPath, sizeof(f.faxPath), "%s", name);
            return DeviceGetReceivedFax(&f, s.download.c_str()) == FAXRESULT_OK;
        };
    };
    auto raw_get = [&](const char* name) {
        return [&s, name] {
            std::unique_ptr<std::uint8_t[]> data;
            std::uint32_t size = 0;
            auto buffer_for = [&](std::uint32_t n) {
                size = n;
                data.reset(new (std::nothrow) std::uint8_t[n]);
                return data.get();
            };
            return bench::RawGetFax(s.fax_path, name, buffer_for) && WriteFileRaw(s.download, data.get(), size);
        };
    };
    auto chan_get = [&](const char* name) {
        return [&s, name] {
            return bench::RawGetFax(s.fax_path, name,
                                    [&s](std::uint32_t n) { return n <= s.warm.size() ? s.warm.data() : nullptr; });
        };
    };

    // Every side moves the right bytes: checked once, byte for byte.
    {
        auto same = [&](const std::vector<std::uint8_t>& expect, const std::uint8_t* got, std::size_t n) {
            return n == expect.size() && std::equal(expect.begin(), expect.end(), got);
        };
        auto file_bytes = [&] {
            std::ifstream in(s.download, std::ios::binary);
            return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        };
        std::vector<std::uint8_t> got;
        if (!lib_get(kSmallFax)() || (got = file_bytes(), !same(s.small_data, got.data(), got.size())))
            Die("the library's download differs from the device's fax");
        std::filesystem::remove(s.download);
        if (!raw_get(kSmallFax)() || (got = file_bytes(), !same(s.small_data, got.data(), got.size())))
            Die("the raw download differs from the device's fax");
        if (!chan_get(kSmallFax)() || !same(s.small_data, s.warm.data(), s.small_data.size()))
            Die("the raw channel's download differs from the device's fax");
    }

    const int small_rounds = o.quick ? 5 : 20;
    const int large_rounds = o.quick ? 1 : 5;
    std::vector<Row> rows;
    std::vector<std::vector<std::string>> costs;
    auto rate_rows = [&](const char* what, const char* op, std::uint32_t bytes, int rounds,
                         std::function<bool()> lib, std::function<bool()> raw, std::function<bool()> chan) {
        const auto r = Transfer(s, rounds, bytes, {{"library", lib}, {"raw", raw}, {"raw channel", chan}});
        const double channel_ratio = r[0].mbps / r[2].mbps;
        Row row;
        row.figure = std::string(what) + " " + (bytes == kSmallSize ? "1 MiB" : "64 MiB") + " (" + op + ")";
        row.library = Format("%.0f MB/s", r[0].mbps);
        row.raw = Format("%.0f MB/s", r[1].mbps);
        row.ratio = Format("%.2f", r[0].mbps / r[1].mbps);
        row.channel = Format("%.0f MB/s (device %.0f%%)", r[2].mbps, r[2].device_us / r[2].wall_us * 100);
        row.channel_ratio = Format("%.2f", channel_ratio);
        row.client_cpu = Format("%.1f ms (channel only %.1f)", r[0].client_us / 1000, r[2].client_us / 1000);
        row.goal = Format(">= %.2f x channel only", kMinChannelRatio);
        row.met = channel_ratio >= kMinChannelRatio ? "yes" : "NO";
        rows.push_back(row);
        const char* names[] = {"library", "raw, same job", "raw, channel only"};
        for (std::size_t k = 0; k < r.size(); ++k) {
            costs.push_back({row.figure.substr(0, row.figure.find(" (")) + ", " + names[k],
                             Format("%.0f", r[k].wall_us), Format("%.0f", r[k].client_us),
                             Format("%.0f", r[k].device_us),
                             Format("%.0f", std::max(0.0, r[k].wall_us - r[k].client_us - r[k].device_us))});
        }
    };

    pin(true);
    if (o.Wants("upload")) {
        std::fprintf(stderr, "tessaline-bench: upload\n");
        rate_rows("Upload", "DeviceSendFax", kSmallSize, small_rounds, lib_send(s.small_file), raw_send(s.small_file),
                  chan_send(s.small_data));
        rate_rows("Upload", "DeviceSendFax", kLargeSize, large_rounds, lib_send(s.large_file), raw_send(s.large_file),
                  chan_send(s.large_data));
    }
    if (o.Wants("download")) {
        std::fprintf(stderr, "tessaline-bench: download\n");
        rate_rows("Download", "DeviceGetReceivedFax", kSmallSize, small_rounds, lib_get(kSmallFax),
                  raw_get(kSmallFax), chan_get(kSmallFax));
        rate_rows("Download", "DeviceGetReceivedFax", kLargeSize, large_rounds, lib_get(kLargeFax),
                  raw_get(kLargeFax), chan_get(kLargeFax));
    }
    if (o.Wants("small")) {
        std::fprintf(stderr, "tessaline-bench: small operation\n");
        Latency lib, raw;
        SmallOperation(s, o.quick ? 500 : 4000, lib, raw);
        for (int k = 0; k < 2; ++k) {
            const double l = k == 0 ? lib.median_us : lib.p99_us;
            const double r = k == 0 ? raw.median_us : raw.p99_us;
            Row row;
            row.figure = k == 0 ? "Small op, median (DeviceGetReceivedFaxCount)" : "Small op, 99th percentile";
            row.library = Format("%.1f us", l);
            row.raw = Format("%.1f us", r);
            row.ratio = Format("%.2f", l / r);
            row.channel = "-";
            row.goal = "<= 1.50 x raw";
            row.met = l / r <= kMaxSmallOpRatio ? "yes" : "NO";
            rows.push_back(row);
        }
    }
    pin(false);

    Contention one, many;
    if (o.Wants("contention")) {
        std::fprintf(stderr, "tessaline-bench: contention\n");
        one = Contend(1, kContentionOps);
        many = Contend(kContenders, kContentionOps);
        Row row;
        row.figure = "Contention, 8 processes x 500 mixed short ops";
        row.library = Format("%.0f calls/s", many.calls_per_s);
        row.raw = Format("1 process: %.0f calls/s", one.calls_per_s);
        row.ratio = Format("%.2f", many.calls_per_s / one.calls_per_s);
        row.channel = "-";
        row.goal = Format("no FAXSTATUS_NO_DEVICE (%.0f)", static_cast<double>(many.no_device + one.no_device));
        row.met = many.no_device + one.no_device == 0 && many.other_failures + one.other_failures == 0 ? "yes" : "NO";
        rows.push_back(row);
    }

    if (o.Wants("memory")) {
        std::fprintf(stderr, "tessaline-bench: memory\n");
        Child c = Child::Start({"send-once", s.large_file}, false, true);
        const std::string out = c.ReadAll();
        int status = -1;
        long kib = 0;
        if (c.Wait() != 0 || std::sscanf(out.c_str(), "%d %ld", &status, &kib) != 2)
            Die("the upload of the memory figure did not report");
        const double mib = static_cast<double>(kib) / 1024.0;
        const double limit = kLargeSize / 1048576.0 + kMemorySlackMiB;
        Row row;
        row.figure = "Peak resident size, sending 64 MiB";
        row.library = Format("%.1f MiB", mib);
        row.raw = "-";
        row.ratio = "-";
        row.channel = "-";
        row.goal = Format("<= %.0f MiB (file + 8 MiB)", limit);
        row.met = status == FAXSTATUS_OK && mib <= limit ? "yes" : "NO";
        rows.push_back(row);
    }

    const auto device_cpu_at_end = UserAndKernelSeconds(device.pid);
    const double device_user = device_cpu_at_end.first - device_cpu_at_start.first;
    const double device_kernel = device_cpu_at_end.second - device_cpu_at_start.second;
    kill(device.pid, SIGTERM);
    device.Wait();
    g_device = -1;
    std::error_code ec;
    std::filesystem::remove_all(s.work, ec);
    shm_unlink(("/" + lock_name).c_str());

    std::printf(
        "\nTessaline benchmarks (%s). MB = 10^6 bytes; rates are medians over the rounds.\n"
        "Library: the fax operations of libtessaline, as the automation methods call them.\n"
        "Raw, same job: bench/raw_channel.cpp, the same requests on the device's socket without the library,\n"
        "  reading the file to send into a new buffer / writing the fetched fax with one write.\n"
        "Raw, channel only: the raw client from and into memory it already holds; in brackets the simulated\n"
        "  device's CPU time as a share of the wall time (client and device take turns, so the two shares\n"
        "  add up to the whole when nothing else runs). Lib/channel compares the library with it.\n"
        "Client CPU per MiB: the time the client process spent on a CPU per MiB moved, the library's and,\n"
        "  in brackets, the raw client's on the channel alone; steadier than the rates on a busy machine.\n"
        "Simulated device: a process of its own, recording off, sent data not kept; %s.\n"
        "  Of its CPU time over the measurements, %.2f s was its own work (user) and %.2f s the kernel's\n"
        "  (the socket calls, waking and switching: the channel).\n\n",
        o.quick ? "--quick" : "full run",
        o.spread ? "client and device wherever the scheduler puts them"
                 : "transfers and small op with client and device on one CPU, contention on all",
        device_user, device_kernel);
    std::vector<std::vector<std::string>> cells;
    for (const Row& r : rows)
        cells.push_back({r.figure, r.library, r.raw, r.ratio, r.channel, r.channel_ratio, r.client_cpu, r.goal, r.met});
    PrintTable({"Figure", "Library", "Raw, same job", "Lib/raw", "Raw, channel only (device's CPU share)", "Lib/channel",
                "Client CPU per MiB", "Goal", "Met"},
               cells);
    if (!costs.empty()) {
        std::printf("\nWhere the time of the transfers goes, in microseconds per MiB moved: the wall time, the time\n"
                    "the client process and the device process each spent on a CPU (kernel time included), and\n"
                    "the rest: time neither had a CPU%s.\n\n",
                    o.spread ? " (wake-ups across CPUs, other load)"
                             : ", since the CPU they share ran something else (other load on the machine)");
        PrintTable({"Transfer", "Wall", "Client CPU", "Device CPU", "Rest"}, costs);
    }
    if (o.Wants("contention")) {
        std::printf("\nContention: %" PRIu64 " calls, %" PRIu64 " FAXSTATUS_NO_DEVICE, %" PRIu64
                    " other failures; 1 process alone: %" PRIu64 " calls.\n",
                    many.calls, many.no_device, many.other_failures, one.calls);
    }
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
                static const std::set<std::string> kFigures = {"upload", "download", "small", "contention", "memory"};
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
