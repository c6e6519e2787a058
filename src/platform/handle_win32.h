// The handles of the Windows platform: a channel is a file handle opened for
// overlapped I/O, a named mutex a kernel mutex handle. Neither null nor
// INVALID_HANDLE_VALUE names an open object. Kept as void* (what HANDLE is),
// so that this header needs no system header.
#ifndef TESSALINE_PLATFORM_HANDLE_WIN32_H
#define TESSALINE_PLATFORM_HANDLE_WIN32_H

#include <cstdint>

namespace plat {

struct Win32HandleTraits {
    using Native = void*;
    static constexpr Native kNone = nullptr;
    static bool IsOpen(Native h) { return h != nullptr && reinterpret_cast<std::intptr_t>(h) != -1; }
};

// Two distinct types, so that a mutex is never passed where a channel goes.
struct ChannelTraits : Win32HandleTraits {
    static void Close(Native h);  // device_channel_win32.cpp
};
struct MutexTraits : Win32HandleTraits {
    static void Close(Native h);  // named_mutex_win32.cpp
};

using ChannelHandle = UniqueHandle<ChannelTraits>;
using MutexHandle = UniqueHandle<MutexTraits>;

}  // namespace plat

#endif
