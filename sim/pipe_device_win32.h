// The simulated device as a Windows driver front would present it: one named
// pipe per channel, served on threads of its own, with the simulated firmware
// behind it. The transport reaches it through the explicit device paths
// (TESSALINE_FAX_DEVICE and TESSALINE_EWS_DEVICE set to fax_path() and
// ews_path()), since there is no device-installation entry for a pipe.
//
// A pipe carries a channel's bytes as a plain stream, without request
// framing. Each write of the host arrives as one message and is one firmware
// write; whatever the firmware then has queued for the host is written into
// the pipe at once, and a read of the host takes what is there. Device-control
// requests cannot travel through a pipe: the system fails them itself.
#ifndef TESSALINE_SIM_PIPE_DEVICE_WIN32_H
#define TESSALINE_SIM_PIPE_DEVICE_WIN32_H

#include <memory>
#include <string>

#include "sim/firmware.h"

namespace sim {

class PipeDevice {
public:
    // Serves \\.\pipe\tessaline-<name>-fax and \\.\pipe\tessaline-<name>-ews.
    explicit PipeDevice(std::string name);
    ~PipeDevice();
    PipeDevice(const PipeDevice&) = delete;
    PipeDevice& operator=(const PipeDevice&) = delete;

    // Creates the pipes and starts serving. False, with the reason in
    // error(), when it cannot; a live device of the same name is one reason.
    bool Start();
    // Stops serving and closes every connection.
    void Stop();

    Firmware& firmware() { return firmware_; }
    const std::string& fax_path() const { return fax_path_; }
    const std::string& ews_path() const { return ews_path_; }
    const std::string& error() const { return error_; }

    struct Front;

private:
    std::string fax_path_;
    std::string ews_path_;
    std::string error_;
    Firmware firmware_;
    std::unique_ptr<Front> front_;
};

}  // namespace sim

#endif
