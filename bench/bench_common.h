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

// The goals.
constexpr double kMinRatio = 0.9;
constexpr double kMinRate = 200.0;  // MB/s
constexpr double kMaxSmallOpRatio = 1.5;
constexpr double kMemorySlackMiB = 8.0;

inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Fax-like content: incompressible, never one byte repeated.
std::vector<std::uint8_t> Pattern(std::uint32_t size, std::uint32_t seed);

}  // namespace bench

#endif
