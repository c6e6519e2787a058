// The POSIX channel contract between a host and the device's socket: each
// request is a 16-byte frame of four little-endian 32-bit words (kind, code,
// input length, output length) followed by its input bytes; each answer is
// an 8-byte completion of two little-endian words (error, count) followed,
// for a read or control request, by `count` data bytes. The library's
// channel, the simulated device, the fuzzing front and the benchmarks all
// speak it through these definitions.
#ifndef TESSALINE_BASE_CHANNEL_FRAME_H
#define TESSALINE_BASE_CHANNEL_FRAME_H

#include <cstddef>
#include <cstdint>

#include "base/byte_order.h"

namespace wire {

inline constexpr std::size_t kRequestFrameSize = 16;
inline constexpr std::size_t kCompletionFrameSize = 8;

// Request kinds.
inline constexpr std::uint32_t kChannelRead = 1;
inline constexpr std::uint32_t kChannelWrite = 2;
inline constexpr std::uint32_t kChannelControl = 3;

// The completion error of a request failed because it was cancelled
// (the Windows ERROR_OPERATION_ABORTED, which the POSIX driver reuses).
inline constexpr std::uint32_t kErrorOperationAborted = 995;

struct RequestFrame {
    std::uint32_t kind = 0;
    std::uint32_t code = 0;  // the control code; 0 for read and write
    std::uint32_t in_len = 0;
    std::uint32_t out_len = 0;
};

struct CompletionFrame {
    std::uint32_t error = 0;  // 0 for success
    std::uint32_t count = 0;  // bytes taken by a write, bytes returned otherwise
};

inline void EncodeRequest(std::uint8_t (&out)[kRequestFrameSize], const RequestFrame& f) {
    StoreLE32(out + 0, f.kind);
    StoreLE32(out + 4, f.code);
    StoreLE32(out + 8, f.in_len);
    StoreLE32(out + 12, f.out_len);
}

inline RequestFrame DecodeRequest(const std::uint8_t* in) {
    return RequestFrame{LoadLE32(in + 0), LoadLE32(in + 4), LoadLE32(in + 8), LoadLE32(in + 12)};
}

inline void EncodeCompletion(std::uint8_t (&out)[kCompletionFrameSize], const CompletionFrame& c) {
    StoreLE32(out + 0, c.error);
    StoreLE32(out + 4, c.count);
}

inline CompletionFrame DecodeCompletion(const std::uint8_t* in) {
    return CompletionFrame{LoadLE32(in + 0), LoadLE32(in + 4)};
}

}  // namespace wire

#endif
