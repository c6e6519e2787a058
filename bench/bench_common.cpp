// The fax-like content of a benchmark run.
#include "bench/bench_common.h"

namespace bench {

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

}  // namespace bench
