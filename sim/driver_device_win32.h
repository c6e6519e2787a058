// The simulated device served through its driver (driver/sim_driver.c): the
// user-mode service that answers, with the simulated firmware, every request
// a host issues on the driver's channel interfaces. While it is attached the
// device is present and the transport finds it by discovery; when it stops,
// or its process ends, every pending request fails and the device is gone.
//
// The service takes the driver's messages on a thread of its own, one
// channel handle's requests in order, as the POSIX front serves one
// connection: a request the firmware stalls or leaves pending holds the
// handle's later ones back until it ends.
#ifndef TESSALINE_SIM_DRIVER_DEVICE_WIN32_H
#define TESSALINE_SIM_DRIVER_DEVICE_WIN32_H

#include <memory>
#include <string>

#include "platform/device_channel.h"
#include "sim/firmware.h"

namespace sim {

class DriverDevice {
public:
    DriverDevice();
    ~DriverDevice();
    DriverDevice(const DriverDevice&) = delete;
    DriverDevice& operator=(const DriverDevice&) = delete;

    // Attaches to the driver's control interface, waiting up to `wait_ms`
    // for it to appear (the driver host may still be loading the driver),
    // and starts serving: the channel interfaces are enabled when it
    // returns true. False, with the reason in error(), when it cannot; a
    // service already attached is one reason.
    bool Start(unsigned wait_ms = 10000);
    // Detaches: pending requests fail and the channel interfaces are
    // disabled.
    void Stop();

    Firmware& firmware() { return firmware_; }
    const std::string& error() const { return error_; }

    struct Service;

private:
    std::string error_;
    Firmware firmware_;
    std::unique_ptr<Service> service_;
};

// The class of the service's control interface.
extern const plat::InterfaceClass kControlInterfaceClass;

// The device path of the first present interface of `cls`, or "" when there
// is none. Unlike the transport's discovery, it prints nothing.
std::string FirstPresentInterface(const plat::InterfaceClass& cls);

}  // namespace sim

#endif
