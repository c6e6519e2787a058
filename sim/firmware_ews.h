// The EWS side of the simulated firmware: a small HTTP/1.1 server on the EWS
// channel serving the device's pages from its state, the settings form saved
// into its record, and the transfer faults scripted for that channel. Called
// by the firmware with its lock held.
#ifndef TESSALINE_SIM_FIRMWARE_EWS_H
#define TESSALINE_SIM_FIRMWARE_EWS_H

#include <cstdint>
#include <string>

#include "sim/firmware_types.h"

namespace sim {

class DeviceClock;
class DeviceState;
class FaultScript;
class TrafficRecorder;
struct Session;
namespace ews {
struct Reply;
}

class EwsServer {
public:
    EwsServer(DeviceState& state, const DeviceClock& clock, FaultScript& script, TrafficRecorder& traffic)
        : state_(state), clock_(clock), script_(script), traffic_(traffic) {}

    Outcome Write(Session& s, const std::uint8_t* data, std::uint32_t len);
    Outcome Read(Session& s, std::uint32_t max);

private:
    // The reply to one request: `path` is the target without its query,
    // `form` whether the body is an urlencoded form.
    ews::Reply Answer(const std::string& method, const std::string& path, const std::string& body, bool form);

    DeviceState& state_;
    const DeviceClock& clock_;
    FaultScript& script_;
    TrafficRecorder& traffic_;
};

}  // namespace sim

#endif
