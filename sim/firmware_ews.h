// The EWS side of the simulated firmware: a small HTTP/1.1 server on the EWS
// channel with a status page (HTML, or JSON for tests), and the transfer
// faults scripted for that channel. Called by the firmware with its lock
// held.
#ifndef TESSALINE_SIM_FIRMWARE_EWS_H
#define TESSALINE_SIM_FIRMWARE_EWS_H

#include <cstdint>
#include <string>

#include "sim/firmware_types.h"

namespace sim {

class DeviceState;
class FaultScript;
class TrafficRecorder;
struct Session;

class EwsServer {
public:
    EwsServer(const DeviceState& state, FaultScript& script, TrafficRecorder& traffic)
        : state_(state), script_(script), traffic_(traffic) {}

    Outcome Write(Session& s, const std::uint8_t* data, std::uint32_t len);
    Outcome Read(Session& s, std::uint32_t max);

private:
    std::string StatusPage(const std::string& path, int& code, std::string& type) const;

    const DeviceState& state_;
    FaultScript& script_;
    TrafficRecorder& traffic_;
};

}  // namespace sim

#endif
