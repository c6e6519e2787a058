// The raw channel on Windows: the driver's channel handle, opened for
// overlapped I/O, each request issued and awaited as the platform layer does
// it, with one event kept for the channel's life.
#include <windows.h>

#include "bench/raw_channel.h"

namespace bench {
namespace {

struct Win32Channel {
    HANDLE device;
    HANDLE event;
};

// The handle and its event live in one block that channel_ points to.
Win32Channel* Of(std::intptr_t channel) { return reinterpret_cast<Win32Channel*>(channel); }

// One overlapped write or read, awaited; true when it completed, with the
// count in `*moved`.
bool Issue(Win32Channel& c, bool write, void* data, std::uint32_t len, DWORD* moved) {
    OVERLAPPED ov{};
    ov.hEvent = c.event;
    ResetEvent(c.event);
    *moved = 0;
    BOOL ok = write ? WriteFile(c.device, data, len, nullptr, &ov) : ReadFile(c.device, data, len, nullptr, &ov);
    if (!ok && GetLastError() != ERROR_IO_PENDING) return false;
    return GetOverlappedResult(c.device, &ov, moved, TRUE) != 0;
}

// The same, true when it moved all `len` bytes.
bool Transfer(Win32Channel& c, bool write, void* data, std::uint32_t len) {
    DWORD moved = 0;
    return Issue(c, write, data, len, &moved) && moved == len;
}

}  // namespace

bool RawChannel::Connect(const std::string& path) {
    Close();
    HANDLE device = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) return false;
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!event) {
        CloseHandle(device);
        return false;
    }
    channel_ = reinterpret_cast<std::intptr_t>(new Win32Channel{device, event});
    return true;
}

void RawChannel::Close() {
    if (channel_ == -1) return;
    Win32Channel* c = Of(channel_);
    CloseHandle(c->event);
    CloseHandle(c->device);
    delete c;
    channel_ = -1;
}

bool RawChannel::Write(const void* data, std::uint32_t len) {
    return channel_ != -1 && Transfer(*Of(channel_), true, const_cast<void*>(data), len);
}

bool RawChannel::Read(void* data, std::uint32_t len) { return channel_ != -1 && Transfer(*Of(channel_), false, data, len); }

bool RawChannel::ReadSome(void* data, std::uint32_t len, std::uint32_t* moved) {
    DWORD count = 0;
    const bool ok = channel_ != -1 && Issue(*Of(channel_), false, data, len, &count);
    *moved = count;
    return ok;
}

}  // namespace bench
