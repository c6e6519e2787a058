// Finding, opening and driving one channel of the device.
//
// A channel is identified by the class of its device interface. Discovery
// looks for the first present device of the class every time a channel is
// opened; nothing is cached. Requests on an open handle are issued
// asynchronously and awaited without a time limit, so to the caller each one
// is a blocking call that yields a success flag and a byte count. Only a
// cancel request on another handle of the same channel releases a request
// that the driver never completes.
#ifndef TESSALINE_PLATFORM_DEVICE_CHANNEL_H
#define TESSALINE_PLATFORM_DEVICE_CHANNEL_H

#include <cstdint>

#include <tessaline/fax_device.h>

#include "base/channel_frame.h"
#include "platform/handle.h"

namespace plat {

// A device interface class identity, laid out as the platform's GUID; the
// device's two classes are GUID_DEVINTERFACE_FAX_CHANNEL and
// GUID_DEVINTERFACE_EWS_CHANNEL of the public header.
using InterfaceClass = TSL_DEVICE_CLASS;

// Longest device path usable, with its terminating zero.
inline constexpr int kDevicePathCapacity = FAX_DEVICE_PATH_MAX + 1;

// Writes the device path of the first present interface of `cls` into
// `path`, which holds `capacity` bytes. False, with the discovery diagnostics
// emitted, when none is found or the path with its zero does not fit.
bool GetDeviceInterfacePath(const InterfaceClass& cls, char* path, std::int32_t capacity);

// Opens a device path found by GetDeviceInterfacePath (or named explicitly)
// for reading and writing, shared with other handles on the same channel, for
// overlapped requests. A handle that is not open on failure; no diagnostic
// is emitted. The channel closes when the handle goes.
ChannelHandle OpenDevicePath(const char* path);

enum class RequestKind : std::uint32_t {
    Read = wire::kChannelRead,
    Write = wire::kChannelWrite,
    Control = wire::kChannelControl,
};

// Issues one request and waits for it to complete. `in`/`in_len` carry a
// write's data or a control request's input; `out`/`out_len` receive a read's
// data or a control request's output. `*count` receives the bytes moved (for
// a write, the bytes the driver took), which never exceeds what was asked.
// False when the request failed.
bool SubmitRequest(const ChannelHandle& h, RequestKind kind, std::uint32_t code, const void* in, std::uint32_t in_len,
                   void* out, std::uint32_t out_len, std::uint32_t* count);

}  // namespace plat

#endif
