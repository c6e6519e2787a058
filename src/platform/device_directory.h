// Where POSIX device channels live, and the one listing of a channel class
// that discovery (device_channel_posix.cpp) and the device listing that
// hosts show both run, so that both always name the same device.
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
    Stale,        // a socket that refuses connections (left by a device that died), or gone meanwhile
    Unreachable,  // a socket that could not be probed (no permission, path too long)
    NotASocket,   // anything else (also a link that leads nowhere); passed over
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

// A class subdirectory as discovery sees it.
struct ClassListing {
    DirectoryTrust trust = DirectoryTrust::Missing;
    // Untrusted: the directory refused and why ("PATH: writable by other
    // users"); the class subdirectory is then not searched.
    std::string refusal;
    // Its entries in discovery order (by name, bytes compared unsigned),
    // each judged.
    std::vector<DeviceEntry> entries;
    // The entry an open uses: the first that is Live or Unreachable, when
    // its path with its zero fits kDevicePathCapacity; -1 when none.
    int first_usable = -1;
    // The first Live or Unreachable entry has a path too long to use: no
    // other entry is considered.
    bool first_too_long = false;
};

enum class ListingScope {
    Whole,           // every entry, each probed and the probe closed: what a listing shows
    UpToFirstUsable  // entries up to the first usable one: what an open needs
};

// Lists and judges the class subdirectory of `cls`. With `kept` given, the
// connection that probed the first usable entry is handed over through it
// (-1 when there is none) instead of being closed, for the open that follows.
ClassListing ListDeviceInterfaces(const InterfaceClass& cls, ListingScope scope = ListingScope::Whole,
                                  int* kept = nullptr);

}  // namespace plat

#endif
