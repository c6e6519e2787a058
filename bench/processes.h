// The processes of a benchmark run, seen from the one that measures: the
// children it starts (of this same program), the CPU time they spend, where
// they may run, and the clean-up when the run dies.
#ifndef TESSALINE_BENCH_PROCESSES_H
#define TESSALINE_BENCH_PROCESSES_H

#include <sched.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace bench {

// What a run leaves behind, taken away when it dies: its simulated device,
// its work directory and its access lock.
extern pid_t g_device;
extern std::string g_work;
extern std::string g_lock;

[[noreturn]] void Die(const std::string& why);

std::uint64_t MonotonicNs();

// A child process of this same program, with its standard input and output
// on pipes when asked.
struct Child {
    pid_t pid = -1;
    int to = -1;    // its standard input
    int from = -1;  // its standard output

    static Child Start(const std::vector<std::string>& args, bool pipe_in, bool pipe_out);
    // Everything the child writes until it closes its output.
    std::string ReadAll();
    std::string ReadLine();
    int Wait();
};

// Time the threads of a process have spent on a CPU, in seconds, from the
// scheduler's statistics (nanosecond precision, kernel time included).
double ProcessCpu(pid_t pid);
// The user and the kernel CPU time of a whole process so far, in seconds,
// from /proc (clock-tick precision).
std::pair<double, double> UserAndKernelSeconds(pid_t pid);
// Puts every thread of a process on the CPUs of `set`.
void SetAffinity(pid_t pid, const cpu_set_t& set);

}  // namespace bench

#endif
