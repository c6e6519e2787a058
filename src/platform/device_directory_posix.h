// What discovery on POSIX shares with the device directory's listing beyond
// device_directory.h: connecting to a device's socket. Internal to the
// platform layer on POSIX.
#ifndef TESSALINE_PLATFORM_DEVICE_DIRECTORY_POSIX_H
#define TESSALINE_PLATFORM_DEVICE_DIRECTORY_POSIX_H

#include "platform/device_directory.h"

namespace plat {

// Connects to a Unix socket path; -1 with errno set on failure. The
// descriptor is above the standard streams.
int ConnectPath(const char* path);

}  // namespace plat

#endif
