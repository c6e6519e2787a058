// Where POSIX device channels live (see device_channel_posix.cpp).
#ifndef TESSALINE_PLATFORM_DEVICE_DIRECTORY_H
#define TESSALINE_PLATFORM_DEVICE_DIRECTORY_H

#include <string>

#include "platform/device_channel.h"

namespace plat {

// $TESSALINE_DEVICE_DIR if set; otherwise $XDG_RUNTIME_DIR/tessaline if
// XDG_RUNTIME_DIR is set; otherwise /run/tessaline.
std::string DeviceDirectory();

// The class GUID in upper case and braces, the name of its subdirectory.
std::string FormatInterfaceClass(const InterfaceClass& cls);

}  // namespace plat

#endif
