// The words the simulated firmware and its driver fronts share: the bytes of
// a request, the channels and kinds of request, the control codes and error
// numbers of the channel contract, and what a front is to do with one
// request.
#ifndef TESSALINE_SIM_FIRMWARE_TYPES_H
#define TESSALINE_SIM_FIRMWARE_TYPES_H

#include <cstdint>
#include <vector>

#include "base/channel_frame.h"
#include "base/control_codes.h"

namespace sim {

using Bytes = std::vector<std::uint8_t>;

enum class Channel { Fax, Ews };
enum class Kind : std::uint32_t { Read = wire::kChannelRead, Write = wire::kChannelWrite, Control = wire::kChannelControl };

inline constexpr std::uint32_t kIoctlWaitForReceivedFax = IOCTL_WAIT_FOR_RECEIVED_FAX;
inline constexpr std::uint32_t kIoctlCancelIo = IOCTL_CANCEL_IO;
inline constexpr std::uint32_t kErrorCancelled = wire::kErrorOperationAborted;
inline constexpr std::uint32_t kErrorGenFailure = 31;         // ERROR_GEN_FAILURE
inline constexpr std::uint32_t kErrorInvalidFunction = 1;     // ERROR_INVALID_FUNCTION
inline constexpr std::uint32_t kErrorInvalidParameter = 87;   // ERROR_INVALID_PARAMETER

// Status the simulated firmware uses for a request it rejects (an unknown
// name, a job it cannot accept, a malformed request): a value the protocol
// does not list, as a real device's own error codes would be.
inline constexpr std::uint32_t kStatusRejected = 3;

// What the front is to do with one request.
struct Outcome {
    enum Action { Complete, Fail, Drop, Stall, Pend } action = Complete;
    std::uint32_t error = 0;  // Fail: the error number
    std::uint32_t count = 0;  // Complete of a write: bytes taken
    Bytes data;               // Complete of a read or control request: bytes returned
    std::uint32_t delay_ms = 0;
    bool cancel_others = false;  // IOCTL_CANCEL_IO: fail every other pending fax request first

    static Outcome Failed(std::uint32_t error) {
        Outcome o;
        o.action = Fail;
        o.error = error;
        return o;
    }
    static Outcome With(Action action) {
        Outcome o;
        o.action = action;
        return o;
    }
};

}  // namespace sim

#endif
