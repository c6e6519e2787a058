// Device channels on Windows: the driver exposes each channel as a device
// interface of its own class. Discovery asks the device-installation services
// for the first present interface of the class, by the walk of
// tessaline/device_interfaces_win32.h that hosts' listings share; the channel
// is then a file opened for overlapped I/O, and every request is issued
// asynchronously and awaited at once.
#include <windows.h>
#include <setupapi.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

#include <tessaline/device_interfaces_win32.h>

#include "platform/device_channel.h"
#include "platform/diagnostics.h"

namespace plat {
namespace {

static_assert(sizeof(InterfaceClass) == sizeof(GUID), "an interface class is a GUID");
// The records of the device-installation services in the 32-bit layout: a
// 28-byte interface record, and a detail record whose fixed part is a 32-bit
// size and the first path byte, packed.
static_assert(sizeof(void*) != 4 || sizeof(SP_DEVICE_INTERFACE_DATA) == 28, "SP_DEVICE_INTERFACE_DATA is 28 bytes");
static_assert(sizeof(void*) != 4 || sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5,
              "the fixed part of SP_DEVICE_INTERFACE_DETAIL_DATA_A is 5 bytes");

// Emits `format` with the system's text for `error` in place of its %s. When
// the system has no text for the error, nothing is emitted.
void EmitSystemError(const char* format, DWORD error) {
    char* text = nullptr;
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
    const DWORD length = FormatMessageA(flags, nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                        reinterpret_cast<LPSTR>(&text), 0, nullptr);
    if (length == 0 || !text) return;
    char line[1024];
    std::snprintf(line, sizeof(line), format, text);
    EmitDiagnostic(line);
    LocalFree(text);
}

// Copies the zero-terminated path of at most `available` bytes into `path`.
// The path with its zero must fit in `capacity`; otherwise the last byte of
// the buffer is set to zero and the copy fails. A path without a zero within
// `available` bytes fails too.
bool CopyDevicePath(char* path, std::int32_t capacity, const char* source, std::size_t available) {
    if (!path || capacity <= 0) return false;
    const auto room = static_cast<std::size_t>(capacity);
    for (std::size_t i = 0; i < room; ++i) {
        if (i >= available) {
            path[i] = '\0';
            return false;
        }
        path[i] = source[i];
        if (source[i] == '\0') return true;
    }
    path[room - 1] = '\0';
    return false;
}

}  // namespace

bool GetDeviceInterfacePath(const InterfaceClass& cls, char* path, std::int32_t capacity) {
    // Only the first interface is looked at; with several devices attached,
    // the first one enumerated is used. A host's listing walks the same way.
    bool copied = false;
    tessaline::WalkDeviceInterfaces(
        cls,
        [&](DWORD, const char* device_path, std::size_t available) {
            copied = CopyDevicePath(path, capacity, device_path, available);
            return false;
        },
        [](DWORD, tessaline::InterfaceStep step, DWORD error) {
            switch (step) {
                case tessaline::InterfaceStep::ClassDevices:
                    EmitDiagnostic("SetupDiGetClassDevs failed!\n");
                    break;
                case tessaline::InterfaceStep::Enumerate:
                    // The system's text ends in a line break of its own.
                    EmitSystemError("SetupDiEnumDeviceInterfaces failed: %s", error);
                    break;
                case tessaline::InterfaceStep::DetailSize:
                case tessaline::InterfaceStep::Detail:
                    EmitSystemError("Error in SetupDiGetDeviceInterfaceDetail: %s\n", error);
                    break;
                case tessaline::InterfaceStep::Allocate:
                    EmitDiagnostic("Failed to allocate memory.\n");
                    break;
            }
        });
    return copied;
}

ChannelHandle OpenDevicePath(const char* path) {
    if (!path) return ChannelHandle();
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    return h == INVALID_HANDLE_VALUE ? ChannelHandle() : ChannelHandle(h);
}

void ChannelTraits::Close(void* h) { CloseHandle(h); }

bool SubmitRequest(const ChannelHandle& h, RequestKind kind, std::uint32_t code, const void* in,
                   std::uint32_t in_len, void* out, std::uint32_t out_len, std::uint32_t* count) {
    if (count) *count = 0;
    if (!h.is_open()) return false;
    const HANDLE device = h.get();

    // One event per request: manual reset, not signalled, no name. A request
    // without its event could not be awaited, so none is issued then.
    OVERLAPPED overlapped;
    std::memset(&overlapped, 0, sizeof(overlapped));
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!overlapped.hEvent) return false;

    DWORD moved = 0;
    BOOL ok = FALSE;
    std::uint32_t asked = out_len;
    switch (kind) {
        case RequestKind::Read:
            ok = ReadFile(device, out, out_len, &moved, &overlapped);
            break;
        case RequestKind::Write:
            asked = in_len;
            ok = WriteFile(device, in, in_len, &moved, &overlapped);
            break;
        case RequestKind::Control:
            ok = DeviceIoControl(device, code, const_cast<void*>(in), in_len, out, out_len, &moved, &overlapped);
            break;
    }
    const DWORD error = GetLastError();
    if (!ok && error == ERROR_IO_PENDING) {
        // Awaited without a time limit; only the driver, or a cancel on
        // another handle, completes it. Its completion replaces the result.
        WaitForSingleObject(overlapped.hEvent, INFINITE);
        ok = GetOverlappedResult(device, &overlapped, &moved, TRUE);
    }
    CloseHandle(overlapped.hEvent);

    // A count beyond the request would point past the caller's buffer.
    if (moved > asked) return false;
    if (count) *count = moved;
    return ok != FALSE;
}

}  // namespace plat
