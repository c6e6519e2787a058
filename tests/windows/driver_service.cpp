// Serves the simulated device through its driver in a process of its own,
// with the reply of every settings read stalled, for a test that kills the
// service in the middle of a transfer. Prints "ready" once the device is
// present (or "failed: REASON"), then serves until killed.
#include <windows.h>

#include <cstdio>

#include "protocol/fax_packet.h"
#include "sim/driver_device_win32.h"

int main() {
    sim::DriverDevice device;
    sim::Rule stall;
    stall.command = FAXCMD_READ_SETTINGS;
    stall.stage = sim::Stage::Read;
    stall.index = 0;
    stall.fault = sim::Fault::Stall;
    device.firmware().script().Add(stall);
    if (!device.Start()) {
        std::printf("failed: %s\n", device.error().c_str());
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    Sleep(INFINITE);
    return 0;
}
