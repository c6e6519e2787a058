// What the stress run's processes agree on: the device's preset state, and
// faxes that describe themselves.
//
// A stress fax begins with a 16-byte head (the bytes "TSLS", then the sender,
// its sequence number and the fax's size, each a big-endian word), and every
// byte after it follows from the head. Any copy of one, wherever it turns up
// (a job the device took, a fax it received from itself, a download), can be
// checked byte for byte on its own.
#ifndef TESSALINE_TESTS_STRESS_COMMON_H
#define TESSALINE_TESTS_STRESS_COMMON_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/byte_order.h"

namespace stress {

inline constexpr char kOwnNumber[] = "5550100";  // the device's own number: a fax to it comes back
inline constexpr char kPassword[] = "2468";
inline constexpr std::uint32_t kReceiveValue = 0x5EC0FFEE;
inline constexpr int kKeptFaxes = 4;  // "keep-0.tif" ...: never removed
inline constexpr std::uint32_t kKeptSender = 0xFFFF;
inline constexpr std::size_t kHead = 16;

inline std::string KeptName(int k) { return "keep-" + std::to_string(k) + ".tif"; }
inline std::uint32_t KeptSize(int k) { return 5000 + 4096 * static_cast<std::uint32_t>(k); }

// Fills `out` (size bytes, at least kHead) with the fax of this sender and
// sequence number.
inline void FillFax(std::uint8_t* out, std::uint32_t sender, std::uint32_t seq, std::uint32_t size) {
    std::memcpy(out, "TSLS", 4);
    wire::StoreBE32(out + 4, sender);
    wire::StoreBE32(out + 8, seq);
    wire::StoreBE32(out + 12, size);
    std::uint32_t x = sender * 2654435761u ^ seq * 40503u ^ size ^ 0x9E3779B9u;
    if (x == 0) x = 1;
    for (std::size_t i = kHead; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<std::uint8_t>(x);
    }
}

inline std::vector<std::uint8_t> MakeFax(std::uint32_t sender, std::uint32_t seq, std::uint32_t size) {
    std::vector<std::uint8_t> fax(size);
    FillFax(fax.data(), sender, seq, size);
    return fax;
}

// True when `data` is a whole stress fax, byte for byte.
inline bool IsFax(const std::uint8_t* data, std::size_t size) {
    if (size < kHead || std::memcmp(data, "TSLS", 4) != 0 || wire::LoadBE32(data + 12) != size) return false;
    std::vector<std::uint8_t> expected(size);
    FillFax(expected.data(), wire::LoadBE32(data + 4), wire::LoadBE32(data + 8), static_cast<std::uint32_t>(size));
    return std::memcmp(expected.data(), data, size) == 0;
}

}  // namespace stress

#endif
