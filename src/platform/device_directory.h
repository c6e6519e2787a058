// Where POSIX device channels live (see device_channel_posix.cpp).
#ifndef TESSALINE_PLATFORM_DEVICE_DIRECTORY_H
#define TESSALINE_PLATFORM_DEVICE_DIRECTORY_H

#include <string>
#include <vector>

#include "platform/device_channel.h"

namespace plat {

// $TESSALINE_DEVICE_DIR if set; otherwise $XDG_RUNTIME_DIR/tessaline if
// XDG_RUNTIME_DIR is set; otherwise /run/tessaline.
std::string DeviceDirectory();

// The class GUID in upper case and braces, the name of its subdirectory.
std::string FormatInterfaceClass(const InterfaceClass& cls);

// The subdirectory that holds the devices of `cls`.
std::string ClassDirectory(const InterfaceClass& cls);

// What discovery makes of one entry of a class subdirectory.
enum class DeviceState {
    Live,         // a socket with a listener: a present device
    Stale,        // a socket that refuses connections, left by a device that died
    Unreachable,  // a socket that could not be probed (no permission, path too long)
    NotASocket,   // anything else; passed over
};

struct DeviceEntry {
    std::string path;
    DeviceState state;
};

// Whether discovery may search a directory. Another local user who can put
// a socket where discovery looks receives the faxes, and the fax password, of
// whoever opens it; so the device directory and each class subdirectory must
// be real directories (not symbolic links), owned by root or by the caller
// (effective user), with no write permission for group or others (the sticky
// bit does not help: others could still create entries). `why` says what is
// wrong ("writable by other users", "owned by another user (uid 1000)", ...).
enum class DirectoryTrust { Trusted, Missing, Untrusted, Unreadable };
DirectoryTrust CheckDeviceDirectory(const std::string& path, std::string& why);

enum class ClassListing { Ok, Missing, Unreadable, Untrusted };

// Every entry of the class subdirectory in discovery order, each probed. The
// first Live or Unreachable entry is the one an open would use. Untrusted:
// the device directory or the class subdirectory is not searched, and
// `refusal` (when given) names it and says why ("PATH: writable by other
// users").
ClassListing ListDeviceInterfaces(const InterfaceClass& cls, std::vector<DeviceEntry>& entries,
                                  std::string* refusal = nullptr);

}  // namespace plat

#endif
