// What discovery finds, for hosts that show it: the device listing of a
// channel class and the state of the access lock. The tessaline command
// shows them ('tessaline devices', and the cause of a call that found no
// device).
//
// C++, POSIX systems: exported by libtessaline, and the very listing that
// discovery runs before every open, so a host that shows it names the device
// an operation opens. (On Windows, discovery asks the device-installation
// services, which any host can ask itself: device_interfaces_win32.h.)
#ifndef TESSALINE_DEVICE_LISTING_H
#define TESSALINE_DEVICE_LISTING_H

#include <tessaline/fax_device.h>
#include <tessaline/tessaline_com.h>

#include <string>
#include <vector>

namespace tessaline {

// One entry of a class subdirectory of the device directory.
enum class DeviceState {
    Live,         // a socket with a listener: a present device
    Stale,        // a socket that refuses connections, left by a device that died (or gone meanwhile)
    Unreachable,  // a socket that could not be probed (no permission, path too long for a socket)
    NotASocket,   // anything else, a link that leads nowhere included; passed over
};
struct ListedDevice {
    std::string path;
    DeviceState state;
};

enum class ListingOutcome {
    Listed,      // the class subdirectory was searched
    Missing,     // it, or the device directory, does not exist
    Unreadable,  // it could not be listed
    Untrusted,   // not searched: others could add entries to it (see refusal)
};

struct DeviceListing {
    ListingOutcome outcome = ListingOutcome::Missing;
    std::string refusal;               // Untrusted: the directory and why ("PATH: writable by other users")
    std::vector<ListedDevice> devices;  // in discovery order
    int would_use = -1;                 // the index in devices of the one an open uses; -1 when none
};

// Where discovery looks: $TESSALINE_DEVICE_DIR, else
// $XDG_RUNTIME_DIR/tessaline, else /run/tessaline; and the subdirectory of
// the class `cls` in it, named by the class GUID in upper case and braces.
TSL_API_EXPORT std::string DeviceDirectory();
TSL_API_EXPORT std::string ClassDirectory(const TSL_DEVICE_CLASS& cls);

// Lists the class subdirectory of `cls` as discovery does, each entry
// probed. A device path named in the environment (TESSALINE_FAX_DEVICE,
// TESSALINE_EWS_DEVICE), which replaces discovery, is the host's to show.
TSL_API_EXPORT DeviceListing ListDevices(const TSL_DEVICE_CLASS& cls);

// The access lock as a try without waiting finds it (and leaves it): free;
// held by another thread or process; abandoned by an owner that ended
// (which fails the next call at once); or not to be opened at all.
enum class AccessLockState { Free, Held, Abandoned, Unavailable };
TSL_API_EXPORT AccessLockState ProbeAccessLock();

}  // namespace tessaline

#endif
