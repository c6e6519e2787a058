// The report of a benchmark run, printed as Markdown tables.
#include "bench/report.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace bench {
namespace {

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

}  // namespace

std::string Format(const char* fmt, double a, double b, double c) {
    char buf[128];
    std::snprintf(buf, sizeof(buf), fmt, a, b, c);
    return buf;
}

void PrintReport(const Report& r, bool quick, bool spread) {
    std::printf(
        "\nTessaline benchmarks (%s). MB = 10^6 bytes; rates are medians over the rounds,\n"
        "and the ratios of two rates (Lib/raw, Lib/channel) medians of the ratios of the same round.\n"
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
        quick ? "--quick" : "full run",
        spread ? "client and device wherever the scheduler puts them"
                 : "transfers and small op with client and device on one CPU, contention on all",
        r.device_user, r.device_kernel);
    std::vector<std::vector<std::string>> cells;
    for (const Row& row : r.rows) {
        cells.push_back({row.figure, row.library, row.raw, row.ratio, row.channel, row.channel_ratio, row.client_cpu,
                         row.goal, row.met});
    }
    PrintTable({"Figure", "Library", "Raw, same job", "Lib/raw", "Raw, channel only (device's CPU share)", "Lib/channel",
                "Client CPU per MiB", "Goal", "Met"},
               cells);
    if (!r.costs.empty()) {
        std::printf("\nWhere the time of the transfers goes, in microseconds per MiB moved: the wall time, the time\n"
                    "the client process and the device process each spent on a CPU (kernel time included), and\n"
                    "the rest: time neither had a CPU%s.\n\n",
                    spread ? " (wake-ups across CPUs, other load)"
                             : ", since the CPU they share ran something else (other load on the machine)");
        PrintTable({"Transfer", "Wall", "Client CPU", "Device CPU", "Rest"}, r.costs);
    }
    for (const std::string& note : r.notes) std::printf("\n%s\n", note.c_str());
    if (r.contention) {
        std::printf("\nContention: %" PRIu64 " calls, %" PRIu64 " FAXSTATUS_NO_DEVICE, %" PRIu64
                    " other failures; 1 process alone: %" PRIu64 " calls.\n",
                    r.many.calls, r.many.no_device, r.many.other_failures, r.one.calls);
    }
}

}  // namespace bench
