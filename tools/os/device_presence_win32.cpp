// What the command finds of the device on Windows, by the walk of the
// present device interfaces that discovery makes: 'tessaline devices' shows
// each channel's interfaces and which one an operation would use; a failed
// call's cause says what stood in its way.
#include "tools/os/device_presence.h"

#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <tessaline/device_interfaces_win32.h>
#include <tessaline/fax_device.h>
#include <tessaline/guid_text.h>


namespace cli {
namespace {

// The present interfaces of `cls` as discovery walks them: their device
// paths in order, and which one an operation would use (-1: none). The walk
// ends at the first step that fails, as discovery's does; discovery opens
// the first interface when its path fits, and tries no other.
struct PresentInterfaces {
    std::vector<std::string> paths;
    int would_use = -1;
};

PresentInterfaces ListPresent(const TSL_DEVICE_CLASS& cls) {
    PresentInterfaces present;
    tessaline::WalkDeviceInterfaces(
        cls,
        [&](DWORD index, const char* path, std::size_t available) {
            const std::size_t length = strnlen(path, available);
            present.paths.emplace_back(path, length);
            if (index == 0 && length < available && length <= FAX_DEVICE_PATH_MAX) present.would_use = 0;
            return true;
        },
        [](DWORD, tessaline::InterfaceStep, DWORD) {});
    return present;
}

}  // namespace

std::string DeviceDirectoryShown() { return {}; }

ChannelFindings FindChannel(const TSL_DEVICE_CLASS& cls) {
    const PresentInterfaces present = ListPresent(cls);
    ChannelFindings found;
    found.where = DiscoveryWhere(cls);
    for (const std::string& path : present.paths) found.devices.push_back({path, "present", "", ""});
    found.would_use = present.would_use;
    return found;
}

bool NotPermitted(const std::string&, std::string&) { return false; }

LockProbe ProbeAccessLock() {
    // The lock is a named mutex of the session; one that does not exist is
    // held by nobody.
    const HANDLE lock = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, FAX_DEVICE_ACCESS_LOCK_NAME);
    if (!lock) return GetLastError() == ERROR_FILE_NOT_FOUND ? LockProbe::Free : LockProbe::Unavailable;
    LockProbe probe = LockProbe::Unavailable;
    switch (WaitForSingleObject(lock, 0)) {
        case WAIT_OBJECT_0:
            probe = LockProbe::Free;
            ReleaseMutex(lock);
            break;
        case WAIT_ABANDONED:
            probe = LockProbe::Abandoned;
            ReleaseMutex(lock);
            break;
        case WAIT_TIMEOUT:
            probe = LockProbe::Held;
            break;
        default:
            break;
    }
    CloseHandle(lock);
    return probe;
}

FaxDeviceLook LookForFaxDevice() {
    FaxDeviceLook look;
    bool present = false;
    if (const char* named = std::getenv("TESSALINE_FAX_DEVICE"); named && *named) {
        // A pipe is present with an instance free or all of them busy; it is
        // asked without a connection, which would take an instance.
        if (_strnicmp(named, "\\\\.\\pipe\\", 9) != 0)
            present = GetFileAttributesA(named) != INVALID_FILE_ATTRIBUTES;
        else
            present = WaitNamedPipeA(named, 1) || GetLastError() == ERROR_SEM_TIMEOUT;
        if (present) look.path = named;
    } else {
        const PresentInterfaces found = ListPresent(GUID_DEVINTERFACE_FAX_CHANNEL);
        present = found.would_use >= 0;
        if (present) look.path = found.paths[static_cast<std::size_t>(found.would_use)];
    }
    if (present) look.kind = FaxDeviceLook::Kind::Present;
    return look;
}

std::string DiscoveryWhere(const TSL_DEVICE_CLASS& cls) {
    return "a present device interface of class " + tessaline::GuidText(cls);
}

const char* DevicesHelp() {
    return "Shows the present device interfaces of each channel's class, as the device-installation services\n"
           "report them, and which one an operation would use.";
}

}  // namespace cli
