// What every part of tessaline-bench shares: the sizes, names and counts of
// a run, its goals, and the fax-like content both ends of a transfer hold.
#ifndef TESSALINE_BENCH_BENCH_COMMON_H
#define TESSALINE_BENCH_BENCH_COMMON_H

#include <chrono>
#include <cstdint>
#include <vector>

namespace bench {

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

inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Fax-like content: incompressible, never one byte repeated.
std::vector<std::uint8_t> Pattern(std::uint32_t size, std::uint32_t seed);

}  // namespace bench

#endif
