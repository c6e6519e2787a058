// The simulated device as a POSIX driver would present it: one listening Unix
// socket per channel class in the device directory, serving the channel
// contract of the POSIX platform layer on a thread of its own, with the
// simulated firmware behind it.
//
// Tests start one in a temporary device directory; tessaline-simd runs one as
// a daemon.
#ifndef TESSALINE_SIM_SIM_DEVICE_H
#define TESSALINE_SIM_SIM_DEVICE_H

#include <sys/types.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>

#include "sim/firmware.h"

namespace sim {

class SimDevice {
public:
    // `device_dir` is the device directory; `name` the socket's name in each
    // class subdirectory.
    explicit SimDevice(std::string device_dir, std::string name = "sim0");
    ~SimDevice();
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;

    // Creates the class subdirectories and the listening sockets and starts
    // serving. False, with the reason in error(), when it cannot; a live
    // device of the same name already there is one such reason. A stale
    // socket of that name (nobody listening) is replaced.
    bool Start();
    // Before Start: the sockets are shared with this group (mode 0660)
    // instead of being the owner's alone (mode 0600, the default).
    void ShareWithGroup(gid_t group) { share_group_ = group; }
    // Stops serving, closes every connection and removes the sockets.
    void Stop();

    Firmware& firmware() { return firmware_; }
    const std::string& fax_path() const { return fax_path_; }
    const std::string& ews_path() const { return ews_path_; }
    const std::string& error() const { return error_; }

private:
    void Serve();
    bool Listen(const std::string& class_dir, const std::string& path, int& fd);

    std::string dir_;
    std::string name_;
    std::string fax_path_;
    std::string ews_path_;
    std::string error_;
    Firmware firmware_;
    std::optional<gid_t> share_group_;
    int fax_listener_ = -1;
    int ews_listener_ = -1;
    int wake_fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A listening Unix socket at `path`, as private as a device's: the owner's
// alone (mode 0600), or shared with `group` (mode 0660), never open to
// anyone else even for a moment; non-blocking. A stale socket there (nobody
// listening) is replaced; a live one is refused. False, with the reason in
// `error`, when it cannot be made.
bool ListenPrivately(const std::string& path, std::optional<gid_t> group, int& fd, std::string& error);

}  // namespace sim

#endif
