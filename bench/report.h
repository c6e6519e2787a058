// The report of a benchmark run: the rows of the figures, where the time of
// the transfers went, and the table they are printed as.
#ifndef TESSALINE_BENCH_REPORT_H
#define TESSALINE_BENCH_REPORT_H

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct Row {
    std::string figure, library, raw, ratio, channel, goal, met;
    std::string channel_ratio = "-";  // transfers: the library against the channel alone
    std::string client_cpu = "-";     // transfers: the client's CPU time per MiB moved
};

// The outcome of the contention figure: calls per second and how they ended.
struct Contention {
    double calls_per_s = 0;
    std::uint64_t calls = 0;
    std::uint64_t no_device = 0;
    std::uint64_t other_failures = 0;
};

struct Report {
    std::vector<Row> rows;
    // Per transfer side: its name, wall, client CPU, device CPU and the rest.
    std::vector<std::vector<std::string>> costs;
    bool contention = false;  // whether the contention figure ran
    Contention one, many;
    // Sentences printed after the tables.
    std::vector<std::string> notes;
    // The simulated device's CPU time over the measurements.
    double device_user = 0;
    double device_kernel = 0;
};

std::string Format(const char* fmt, double a, double b = 0, double c = 0);
// Prints the whole report: the preamble, the table of figures, the costs of
// the transfers and the contention counts.
void PrintReport(const Report& r, bool quick, bool spread);

}  // namespace bench

#endif
