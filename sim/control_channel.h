// The channel that carries control messages (sim/control.h) between
// `tessaline-simd ctl` and a running device: a Unix socket beside the
// device's sockets on POSIX, a named pipe on Windows, each as private as the
// device's channels. The device's side serves it on a thread of its own, so
// that a command never holds up the device's other connections.
#ifndef TESSALINE_SIM_CONTROL_CHANNEL_H
#define TESSALINE_SIM_CONTROL_CHANNEL_H

#include <memory>
#include <string>

#include "sim/control.h"
#include "sim/control_service.h"

namespace sim {

// Where the device of `name` takes control messages. POSIX: the socket
// DIR/NAME.ctl in the device directory `dir`. Windows (`dir` unused): the
// pipe \\.\pipe\tessaline-NAME-ctl, or for the device served through the
// driver (`name` empty) \\.\pipe\tessaline-driver.ctl.
std::string ControlEndpoint(const std::string& dir, const std::string& name);

class ControlServer {
public:
    explicit ControlServer(ControlService& service);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Starts serving `endpoint`: the owner's alone, or (POSIX, `group` >= 0)
    // shared with that group as the device's sockets are. False, with the
    // reason in error(), when it cannot.
    bool Start(const std::string& endpoint, long group = -1);
    // Stops serving and removes the endpoint.
    void Stop();
    const std::string& error() const { return error_; }

    struct Impl;

private:
    ControlService& service_;
    std::unique_ptr<Impl> impl_;
    std::string error_;
};

// One exchange with the device at `endpoint`: the client side's transport.
ctl::Reach ControlExchange(const std::string& endpoint, const Bytes& request, Bytes& reply, std::string& error);

}  // namespace sim

#endif
