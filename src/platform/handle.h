// System handles as the rest of the system sees them: an integer wide enough
// for a pointer, with -1 meaning "not open" on every platform.
#ifndef TESSALINE_PLATFORM_HANDLE_H
#define TESSALINE_PLATFORM_HANDLE_H

#include <cstdint>

namespace plat {

using Handle = std::intptr_t;
inline constexpr Handle kInvalidHandle = -1;

// A null handle never names an open object either; the transfer operations
// treat both values as "no channel".
inline bool IsOpen(Handle h) { return h != kInvalidHandle && h != 0; }

}  // namespace plat

#endif
