// The figures of a benchmark run: each side of a transfer (the library, the
// raw client doing the same job, the raw client on the channel alone), the
// rounds that alternate them, and one function per figure.
#include "bench/figures.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <new>
#include <utility>

#include "bench/bench_common.h"
#include "bench/processes.h"
#include "bench/raw_channel.h"
#include "protocol/fax_received.h"

namespace bench {
namespace {

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
    std::vector<double> rounds;  // the rate of each round, in order
};

// How one side's rate compares with another's: the median over the rounds
// of the two rates of the same round. The sides of a round run one after
// the other, so a slow spell of the machine that spans a round weighs on
// both of its rates alike and falls out of their ratio.
double RoundRatio(const Rate& a, const Rate& b) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < a.rounds.size() && i < b.rounds.size(); ++i) ratios.push_back(a.rounds[i] / b.rounds[i]);
    return Median(ratios);
}

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
        rates.push_back({Median(t.mbps), t.wall / mib * 1e6, t.client / mib * 1e6, t.device / mib * 1e6, t.mbps});
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

// The library's jobs, the raw client's same jobs, and the raw client on the
// channel alone (data from and into memory).
std::function<bool()> LibSend(const Setup& s, const std::string& file) {
    return [&s, file] { return DeviceSendFax(&s.recipient, 1, file.c_str()) == FAXRESULT_OK; };
}

std::function<bool()> RawSend(const Setup& s, const std::string& file) {
    return [&s, file] {
        std::uint32_t size = 0;
        auto data = ReadFileRaw(file, size);
        return data && bench::RawSendFax(s.fax_path, data.get(), size, kNumber);
    };
}

std::function<bool()> ChannelSend(const Setup& s, const std::vector<std::uint8_t>& data) {
    return [&s, &data] {
        return bench::RawSendFax(s.fax_path, data.data(), static_cast<std::uint32_t>(data.size()), kNumber);
    };
}

std::function<bool()> LibGet(const Setup& s, const char* name) {
    return [&s, name] {
        FAX_FILENAME f;
        std::memset(&f, 0, sizeof(f));
        std::snprintf(f.faxPath, sizeof(f.faxPath), "%s", name);
        return DeviceGetReceivedFax(&f, s.download.c_str()) == FAXRESULT_OK;
    };
}

std::function<bool()> RawGet(const Setup& s, const char* name) {
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
}

std::function<bool()> ChannelGet(Setup& s, const char* name) {
    return [&s, name] {
        return bench::RawGetFax(s.fax_path, name,
                                [&s](std::uint32_t n) { return n <= s.warm.size() ? s.warm.data() : nullptr; });
    };
}

// One transfer figure: its row, and the costs of each of its three sides.
void RateRows(const Setup& s, Report& report, const char* what, const char* op, std::uint32_t bytes, int rounds,
              std::function<bool()> lib, std::function<bool()> raw, std::function<bool()> chan) {
    const auto r = Transfer(s, rounds, bytes, {{"library", lib}, {"raw", raw}, {"raw channel", chan}});
    const double channel_ratio = RoundRatio(r[0], r[2]);
    Row row;
    row.figure = std::string(what) + " " + (bytes == kSmallSize ? "1 MiB" : "64 MiB") + " (" + op + ")";
    row.library = Format("%.0f MB/s", r[0].mbps);
    row.raw = Format("%.0f MB/s", r[1].mbps);
    row.ratio = Format("%.2f", RoundRatio(r[0], r[1]));
    row.channel = Format("%.0f MB/s (device %.0f%%)", r[2].mbps, r[2].device_us / r[2].wall_us * 100);
    row.channel_ratio = Format("%.2f", channel_ratio);
    row.client_cpu = Format("%.1f ms (channel only %.1f)", r[0].client_us / 1000, r[2].client_us / 1000);
    row.goal = Format(">= %.2f x channel only", kMinChannelRatio);
    row.met = channel_ratio >= kMinChannelRatio ? "yes" : "NO";
    report.rows.push_back(row);
    const char* names[] = {"library", "raw, same job", "raw, channel only"};
    for (std::size_t k = 0; k < r.size(); ++k) {
        report.costs.push_back({row.figure.substr(0, row.figure.find(" (")) + ", " + names[k],
                                Format("%.0f", r[k].wall_us), Format("%.0f", r[k].client_us),
                                Format("%.0f", r[k].device_us),
                                Format("%.0f", std::max(0.0, r[k].wall_us - r[k].client_us - r[k].device_us))});
    }
}

int SmallRounds(bool quick) { return quick ? 5 : 20; }
int LargeRounds(bool quick) { return quick ? 1 : 5; }

}  // namespace

bool WriteFileRaw(const std::string& path, const std::uint8_t* data, std::uint32_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    const bool ok = write(fd, data, size) == static_cast<ssize_t>(size);
    return close(fd) == 0 && ok;
}

void CheckDownloads(Setup& s) {
    auto same = [&](const std::vector<std::uint8_t>& expect, const std::uint8_t* got, std::size_t n) {
        return n == expect.size() && std::equal(expect.begin(), expect.end(), got);
    };
    auto file_bytes = [&] {
        std::ifstream in(s.download, std::ios::binary);
        return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    std::vector<std::uint8_t> got;
    if (!LibGet(s, kSmallFax)() || (got = file_bytes(), !same(s.small_data, got.data(), got.size())))
        Die("the library's download differs from the device's fax");
    std::filesystem::remove(s.download);
    if (!RawGet(s, kSmallFax)() || (got = file_bytes(), !same(s.small_data, got.data(), got.size())))
        Die("the raw download differs from the device's fax");
    if (!ChannelGet(s, kSmallFax)() || !same(s.small_data, s.warm.data(), s.small_data.size()))
        Die("the raw channel's download differs from the device's fax");
}

void UploadFigure(Setup& s, bool quick, Report& report) {
    std::fprintf(stderr, "tessaline-bench: upload\n");
    RateRows(s, report, "Upload", "DeviceSendFax", kSmallSize, SmallRounds(quick), LibSend(s, s.small_file),
             RawSend(s, s.small_file), ChannelSend(s, s.small_data));
    RateRows(s, report, "Upload", "DeviceSendFax", kLargeSize, LargeRounds(quick), LibSend(s, s.large_file),
             RawSend(s, s.large_file), ChannelSend(s, s.large_data));
}

void DownloadFigure(Setup& s, bool quick, Report& report) {
    std::fprintf(stderr, "tessaline-bench: download\n");
    RateRows(s, report, "Download", "DeviceGetReceivedFax", kSmallSize, SmallRounds(quick), LibGet(s, kSmallFax),
             RawGet(s, kSmallFax), ChannelGet(s, kSmallFax));
    RateRows(s, report, "Download", "DeviceGetReceivedFax", kLargeSize, LargeRounds(quick), LibGet(s, kLargeFax),
             RawGet(s, kLargeFax), ChannelGet(s, kLargeFax));
}

void SmallFigure(const Setup& s, bool quick, Report& report) {
    std::fprintf(stderr, "tessaline-bench: small operation\n");
    Latency lib, raw;
    SmallOperation(s, quick ? 500 : 4000, lib, raw);
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
        report.rows.push_back(row);
    }
}

void ContentionFigure(Report& report) {
    std::fprintf(stderr, "tessaline-bench: contention\n");
    report.one = Contend(1, kContentionOps);
    report.many = Contend(kContenders, kContentionOps);
    Row row;
    row.figure = "Contention, 8 processes x 500 mixed short ops";
    row.library = Format("%.0f calls/s", report.many.calls_per_s);
    row.raw = Format("1 process: %.0f calls/s", report.one.calls_per_s);
    row.ratio = Format("%.2f", report.many.calls_per_s / report.one.calls_per_s);
    row.channel = "-";
    row.goal = Format("no FAXSTATUS_NO_DEVICE (%.0f)", static_cast<double>(report.many.no_device + report.one.no_device));
    row.met = report.many.no_device + report.one.no_device == 0 &&
              report.many.other_failures + report.one.other_failures == 0 ? "yes" : "NO";
    report.rows.push_back(row);
    report.contention = true;
}

void MemoryFigure(const Setup& s, Report& report) {
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
    report.rows.push_back(row);
}

}  // namespace bench
