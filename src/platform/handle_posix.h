// The handles of the POSIX platform: a channel is a connected socket
// descriptor (never 0: channels are kept above the standard streams, and 0
// names no channel); a named mutex is this process's mapping of the shared
// lock object.
#ifndef TESSALINE_PLATFORM_HANDLE_POSIX_H
#define TESSALINE_PLATFORM_HANDLE_POSIX_H

namespace plat {

struct ChannelTraits {
    using Native = int;
    static constexpr Native kNone = -1;
    static bool IsOpen(Native fd) { return fd != kNone && fd != 0; }
    static void Close(Native fd);  // device_channel_posix.cpp
};

struct MutexObject;  // named_mutex_posix.cpp
struct MutexTraits {
    using Native = MutexObject*;
    static constexpr Native kNone = nullptr;
    static bool IsOpen(Native m) { return m != nullptr; }
    static void Close(Native m);  // named_mutex_posix.cpp
};

using ChannelHandle = UniqueHandle<ChannelTraits>;
using MutexHandle = UniqueHandle<MutexTraits>;

}  // namespace plat

#endif
