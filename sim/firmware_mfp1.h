// The MFP1 side of the simulated firmware: the far end of the protocol on the
// fax channel. It parses the request headers and data a host writes, answers
// each command from the device's state as a device does, and applies the
// transfer, reply and download faults scripted for it. Called by the
// firmware with its lock held.
#ifndef TESSALINE_SIM_FIRMWARE_MFP1_H
#define TESSALINE_SIM_FIRMWARE_MFP1_H

#include <cstdint>
#include <optional>

#include "sim/firmware_types.h"

namespace sim {

class DeviceClock;
class DeviceState;
class FaultScript;
class TrafficRecorder;
struct ReceivedFax;
struct Session;

class Mfp1Engine {
public:
    Mfp1Engine(DeviceState& state, FaultScript& script, TrafficRecorder& traffic, DeviceClock& clock)
        : state_(state), script_(script), traffic_(traffic), clock_(clock) {}

    Outcome Write(Session& s, const std::uint8_t* data, std::uint32_t len);
    Outcome Read(Session& s, std::uint32_t max);

private:
    void Consume(Session& s);
    void HandleRequest(Session& s, std::uint32_t command, const std::uint8_t* header, const Bytes& data);
    // Queues the reply to `command`, with the faults scripted for it, and
    // returns the status word it carries.
    std::uint32_t Reply(Session& s, std::uint32_t command, std::uint32_t status, const Bytes& data,
                        std::uint32_t param1 = 0, std::optional<std::uint32_t> reply_command = {});
    void QueueDownload(Session& s, const ReceivedFax& fax);
    void FinishJob(Session& s);

    DeviceState& state_;
    FaultScript& script_;
    TrafficRecorder& traffic_;
    DeviceClock& clock_;
};

}  // namespace sim

#endif
