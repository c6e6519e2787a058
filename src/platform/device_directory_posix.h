// What discovery on POSIX shares with the device directory's listing: the
// entries of a class subdirectory as the kernel lists them, and connecting
// to a device's socket. Internal to the platform layer on POSIX.
#ifndef TESSALINE_PLATFORM_DEVICE_DIRECTORY_POSIX_H
#define TESSALINE_PLATFORM_DEVICE_DIRECTORY_POSIX_H

#include <dirent.h>

#include <string>
#include <vector>

#include "platform/device_directory.h"

namespace plat {

// One entry of a class subdirectory: its name, and its type as the listing
// gives it (DT_UNKNOWN where the file system does not tell).
struct ClassEntry {
    std::string name;
    unsigned char type = DT_UNKNOWN;
    bool operator<(const ClassEntry& other) const { return name < other.name; }
};

// The entries of the class subdirectory of `cls`, sorted by name (bytes
// compared as unsigned, which is what char_traits<char> does). The device
// directory and the class subdirectory are each checked before they are
// searched; when one is refused, `refusal` names it and says why.
DirectoryTrust ReadClassDirectory(const InterfaceClass& cls, std::vector<ClassEntry>& entries, std::string& refusal);

// Connects to a Unix socket path; -1 with errno set on failure. The
// descriptor is above the standard streams.
int ConnectPath(const char* path);

}  // namespace plat

#endif
