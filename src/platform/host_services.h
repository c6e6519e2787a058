// What the automation objects ask of the host's environment: whether the
// caller's memory can be written, and a way to show a message to the user.
#ifndef TESSALINE_PLATFORM_HOST_SERVICES_H
#define TESSALINE_PLATFORM_HOST_SERVICES_H

#include <cstddef>

namespace plat {

// False when `bytes` bytes at `p` are known not to be writable by the
// process. Where the platform has no probe, only a null pointer is caught.
bool ProbeWritable(void* p, std::size_t bytes);

// Shows `text` to the interactive user and returns once it has been seen
// (a modal message box where there is one).
void ShowMessage(const char* text);

}  // namespace plat

#endif
