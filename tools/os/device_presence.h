// What the command finds of the device without the automation objects, for
// 'tessaline devices' and for the cause of a call that found no device: the
// library's own listing on POSIX systems (tessaline/device_listing.h), the
// walk that discovery makes on Windows (tessaline/device_interfaces_win32.h).
// One POSIX and one Win32 file (device_presence_posix.cpp,
// device_presence_win32.cpp); 'tessaline devices' itself is portable
// (commands_devices.cpp).
#ifndef TESSALINE_TOOLS_OS_DEVICE_PRESENCE_H
#define TESSALINE_TOOLS_OS_DEVICE_PRESENCE_H

#include <tessaline/fax_device.h>

#include <string>
#include <vector>

namespace cli {

// What an operation would find for the fax channel, told apart for a
// failed call's message: nothing; a device it may use; a device this user
// may not open (on POSIX systems, a socket without read and write
// permission for the user); a device that cannot be opened for another
// reason; or, on POSIX systems, a directory discovery does not search.
struct FaxDeviceLook {
    enum class Kind { Absent, Present, NotPermitted, NotOpened, NotSearched };
    Kind kind = Kind::Absent;
    std::string path;    // the device (Present, NotPermitted, NotOpened)
    std::string detail;  // NotPermitted: the socket's mode and owners; NotSearched: the directory and why
};
FaxDeviceLook LookForFaxDevice();

// The device's access lock as a try without waiting finds it: free; held
// by another program; left abandoned by one that ended (taking it makes it
// free again); or not to be opened.
enum class LockProbe { Free, Held, Abandoned, Unavailable };
LockProbe ProbeAccessLock();

// Whether this user lacks the permission to open the device at `path`;
// `detail` then says what the system has (on POSIX systems the socket's
// mode, owner and group).
bool NotPermitted(const std::string& path, std::string& detail);

// One channel class as discovery finds it, for 'tessaline devices'.
struct ChannelFindings {
    std::string where;  // where discovery looks: a class directory, or the class's present interfaces
    // How the search of a device directory went, where the system has one
    // ("ok", "absent", "unreadable", "untrusted"); empty elsewhere.
    std::string listing;
    std::string refusal;  // untrusted: the directory refused, and why
    struct Device {
        std::string path;
        std::string state;   // "live", "stale", "not a socket", "not permitted", "cannot be probed"; "present"
        std::string detail;  // not permitted: the socket's mode and owners
        std::string advice;  // not permitted: what its server can do about it
    };
    std::vector<Device> devices;  // in discovery order
    int would_use = -1;           // the index of the one an open uses; -1 when none
};
ChannelFindings FindChannel(const TSL_DEVICE_CLASS& cls);
// The device directory that discovery searches, where the system has one;
// empty elsewhere.
std::string DeviceDirectoryShown();

// Where discovery looks for the channel of `cls`, for advice texts ("a
// device socket in DIR").
std::string DiscoveryWhere(const TSL_DEVICE_CLASS& cls);
// The help of the device listing.
const char* DevicesHelp();

}  // namespace cli

#endif
