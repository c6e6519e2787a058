// The simulated device's firmware: the far end of the MFP1 protocol on the
// fax channel, the received-fax event source behind the two device-control
// requests, and a small web server on the EWS channel.
//
// The firmware knows nothing of sockets or pipes. A driver front hands it the
// bytes of each request and carries out what it decides: complete now, fail,
// drop the connection, stall until cancelled, complete after a delay. Any
// front (the Unix-socket driver of POSIX, a named pipe on Windows) can serve
// it.
//
// It is composed of parts, one concern each, sharing one lock:
//   state()    the device's state (settings, sent jobs, received faxes, events)
//   script()   the fault script that makes requests misbehave
//   traffic()  the record of what it saw
//   clock()    the device's clock
// and, behind the front interface, the MFP1 engine of the fax channel and the
// EWS server. Fronts use the front interface; tests, the daemon and its
// control channel reach the parts they need.
#ifndef TESSALINE_SIM_FIRMWARE_H
#define TESSALINE_SIM_FIRMWARE_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "sim/device_clock.h"
#include "sim/device_state.h"
#include "sim/fault_script.h"
#include "sim/firmware_ews.h"
#include "sim/firmware_mfp1.h"
#include "sim/firmware_types.h"
#include "sim/traffic_recorder.h"

namespace sim {

struct Session;

class Firmware {
public:
    Firmware();
    ~Firmware();
    Firmware(const Firmware&) = delete;
    Firmware& operator=(const Firmware&) = delete;

    // -- Driver-front interface --------------------------------------------
    using SessionId = std::uint64_t;
    SessionId Open(Channel channel);
    void Close(SessionId id);
    Outcome OnWrite(SessionId id, const std::uint8_t* data, std::uint32_t len);
    Outcome OnRead(SessionId id, std::uint32_t max);
    Outcome OnControl(SessionId id, std::uint32_t code, const Bytes& in, std::uint32_t out_cap);
    // For a front holding a request that pends: a read's data once output is
    // queued, or a wait's reply once an event is raised. Nothing when it
    // still pends.
    std::optional<Outcome> RetryPending(SessionId id, Kind kind, std::uint32_t code, std::uint32_t max);
    // Records how a request ended (the front calls this once per request).
    void Record(Transfer t);
    // Called whenever something that may complete a pending request happens
    // from outside the front (an event raised, a fax received).
    void SetWakeup(std::function<void()> wake);
    // Connections open now, on either channel.
    std::size_t OpenConnections() const;

    // -- The parts -----------------------------------------------------------
    DeviceState& state() { return state_; }
    const DeviceState& state() const { return state_; }
    FaultScript& script() { return script_; }
    const FaultScript& script() const { return script_; }
    TrafficRecorder& traffic() { return traffic_; }
    const TrafficRecorder& traffic() const { return traffic_; }
    DeviceClock& clock() { return clock_; }

private:
    mutable std::mutex mu_;
    DeviceClock clock_{mu_};
    DeviceState state_{mu_, clock_};
    FaultScript script_{mu_};
    TrafficRecorder traffic_{mu_};
    Mfp1Engine mfp1_{state_, script_, traffic_, clock_};
    EwsServer ews_{state_, clock_, script_, traffic_};

    std::map<SessionId, std::unique_ptr<Session>> sessions_;
    SessionId next_session_ = 1;
};

}  // namespace sim

#endif
