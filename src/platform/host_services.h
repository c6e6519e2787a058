// What the automation objects ask of the host's environment: whether the
// caller's memory can be written, and a way to show a message to the user.
#ifndef TESSALINE_PLATFORM_HOST_SERVICES_H
#define TESSALINE_PLATFORM_HOST_SERVICES_H

#include <cstddef>
#include <cstdint>

namespace plat {

// The index of the first of `count` entries of `entry_size` bytes from `base`
// that the process cannot write, or `count` when every one can. Where the
// platform has no probe, only a null array is caught (at index 0).
std::uint32_t FirstUnwritableEntry(void* base, std::size_t entry_size, std::uint32_t count);

// Shows `text` to the interactive user and returns once it has been seen
// (a modal message box where there is one).
void ShowMessage(const char* text);

}  // namespace plat

#endif
