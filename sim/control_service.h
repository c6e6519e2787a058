// The device's side of the control channel: carries out the commands of
// sim/control.h on a running firmware. Portable; the channel that brings it
// messages (sim/control_channel.h) is per platform.
#ifndef TESSALINE_SIM_CONTROL_SERVICE_H
#define TESSALINE_SIM_CONTROL_SERVICE_H

#include <mutex>
#include <string>
#include <vector>

#include "sim/control.h"
#include "sim/device_state.h"
#include "sim/firmware.h"

namespace sim {

class ControlService {
public:
    // Arms `start_rules` (a --faults file's) and takes the firmware's state
    // as the one `reset` returns to.
    ControlService(Firmware& fw, std::vector<Rule> start_rules);

    // One request message's body in, the reply message (with its length
    // prefix) out. Any bytes are safe: a malformed request gets a reply with
    // exit status 2.
    Bytes Handle(const Bytes& request);

private:
    struct Answer {
        int status = ctl::kExitOk;
        std::string out;
        std::string err;
        Bytes data;
    };
    Answer Run(const ctl::Command& c, Bytes attachment);
    Answer Status(bool json) const;
    Answer Jobs(bool json) const;
    Answer Traffic(bool json, std::size_t last) const;
    Answer FaultList(bool json) const;

    Firmware& fw_;
    std::vector<Rule> start_rules_;
    PersistentState start_;
    std::mutex mu_;  // one command at a time, whatever thread brings it
};

}  // namespace sim

#endif
