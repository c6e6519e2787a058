// The simulated device's clock, and the device's ways of writing a time: in
// a received fax's log entry and in the settings record's DeviceDateTime.
#ifndef TESSALINE_SIM_DEVICE_CLOCK_H
#define TESSALINE_SIM_DEVICE_CLOCK_H

#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>

namespace sim {

// The device's clock runs at the host's pace, off it by an offset set when a
// host saves a settings record whose DeviceDateTime is far from the clock.
class DeviceClock {
public:
    explicit DeviceClock(std::mutex& mu) : mu_(mu) {}

    // Whether each settings read reports the running clock in
    // DeviceDateTime (tessaline-simd's device does). Off, a read gives the
    // record as it was saved, for tests of the settings exchange. Saving a
    // DeviceDateTime more than 5 s off the clock sets the clock either way,
    // and received faxes are logged by it.
    void SetRunning(bool on);

    // -- With the firmware's lock held --------------------------------------
    bool running() const { return running_; }
    std::time_t Now() const { return std::time(nullptr) + static_cast<std::time_t>(offset_); }
    // A DeviceDateTime saved by a host: sets the clock when it is more than
    // 5 s off; a time read and written back unchanged leaves it running.
    void Saved(std::time_t when);

private:
    std::mutex& mu_;
    bool running_ = false;
    std::int64_t offset_ = 0;
};

// Sets a log entry's time (its first 7 bytes) to `when`, in local time.
void StampLogTime(std::uint8_t (&log)[80], std::time_t when);
// DeviceDateTime as the device writes it: "YYYY-MM-DD HH:MM:SS", local time.
std::string DeviceTimeText(std::time_t when);
// Reads that text back; false for anything else.
bool ParseDeviceTime(const std::string& text, std::time_t& when);

}  // namespace sim

#endif
