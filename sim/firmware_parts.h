// What the sides of the firmware share, and the fronts never see: the
// session of one connection, the MFP1 header layout, and the small helpers
// every side of the firmware uses. The command numbers are the protocol's
// own (base/mfp1_commands.h). Not for the fronts.
#ifndef TESSALINE_SIM_FIRMWARE_PARTS_H
#define TESSALINE_SIM_FIRMWARE_PARTS_H

#include <cstring>
#include <optional>
#include <string>

#include "base/byte_order.h"
#include "base/mfp1_commands.h"
#include "sim/device_state.h"
#include "sim/firmware_types.h"

namespace sim {
namespace fw {

constexpr std::uint32_t kHeader = 32;
constexpr std::uint32_t kSettingsSize = 308;
constexpr std::size_t kDeviceDateTime = 276;  // offset of DeviceDateTime in the settings record

inline Bytes MakeHeader(std::uint32_t command, std::uint32_t status, std::uint32_t length, std::uint32_t param1 = 0) {
    Bytes h(kHeader, 0);
    std::memcpy(h.data(), "MFP1", 4);
    wire::StoreBE32(h.data() + 4, command);
    wire::StoreBE32(h.data() + 8, param1);
    wire::StoreBE32(h.data() + 16, status);
    wire::StoreBE32(h.data() + 20, length);
    return h;
}

// A zero-terminated string taken from a fixed-width field, never past it.
inline std::string FieldString(const std::uint8_t* p, std::size_t width) {
    const void* nul = std::memchr(p, 0, width);
    std::size_t n = nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - p) : width;
    return std::string(reinterpret_cast<const char*>(p), n);
}

}  // namespace fw

// One connection of a front: the request bytes taken and the reply bytes
// due, and the exchange under way.
struct Session {
    std::uint64_t id = 0;
    Channel channel = Channel::Fax;
    // Request bytes taken but not yet parsed, and reply bytes not yet read.
    Bytes in;
    Bytes out;
    std::size_t out_pos = 0;
    // The exchange under way: the command of the last request header.
    std::uint32_t cmd = 0xFFFFFFFF;
    int occurrence = -1;
    int writes = 0;
    int reads = 0;
    bool at_boundary = true;  // the next byte written starts a request header
    std::uint32_t awaiting = 0;  // data bytes still due for the current request
    std::uint8_t pending_header[32] = {};
    std::optional<SentJob> job;
    std::uint64_t job_bytes = 0;  // data bytes of the job under way, kept or not
    bool wrote = false;
    bool ews_closed = false;  // an EWS request asked to close: later requests are dropped

    std::size_t Available() const { return out.size() - out_pos; }
    void Push(const Bytes& b) { out.insert(out.end(), b.begin(), b.end()); }
    Bytes Take(std::size_t n) {
        Bytes b(out.begin() + static_cast<std::ptrdiff_t>(out_pos),
                out.begin() + static_cast<std::ptrdiff_t>(out_pos + n));
        out_pos += n;
        if (out_pos == out.size()) {
            out.clear();
            out_pos = 0;
        }
        return b;
    }
};

namespace fw {

// A write that failed, came short or stalled leaves the request it belonged
// to incomplete. The device discards that request (its header and whatever
// data arrived) and takes the next bytes as a new request header, rather than
// taking a later request for the missing data and never answering.
inline void AbandonRequest(Session& s) {
    s.in.clear();
    s.awaiting = 0;
    s.at_boundary = true;
}

// A read that failed, came short or stalled loses the rest of the answer the
// device had queued: the device flushes it on a transfer error, so the next
// request is answered afresh and not with the remains of this one.
inline void AbandonReply(Session& s) {
    s.out.clear();
    s.out_pos = 0;
}

}  // namespace fw
}  // namespace sim

#endif
