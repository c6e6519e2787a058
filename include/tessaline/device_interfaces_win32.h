// The present device interfaces of a class on Windows, as the
// device-installation services enumerate them: the one walk that discovery
// (which opens the first interface) and a host's device listing (which shows
// them all) both make, so that both name the same device.
//
// Header-only C++ for Windows builds, as Tessaline.dll exports nothing but
// its four entry points: the library and the tessaline command each compile
// this same source.
#ifndef TESSALINE_DEVICE_INTERFACES_WIN32_H
#define TESSALINE_DEVICE_INTERFACES_WIN32_H

#include <windows.h>
#include <setupapi.h>

#include <cstddef>
#include <cstring>

#include <tessaline/fax_device.h>

namespace tessaline {

// The step of the walk that failed.
enum class InterfaceStep {
    ClassDevices,  // SetupDiGetClassDevsA: no device-information set
    Enumerate,     // SetupDiEnumDeviceInterfaces: no interface at this index (ERROR_NO_MORE_ITEMS past the last)
    DetailSize,    // SetupDiGetDeviceInterfaceDetailA gave no usable size for the detail record
    Allocate,      // LocalAlloc could not provide the detail record
    Detail,        // SetupDiGetDeviceInterfaceDetailA failed to fill it
};

// Walks the present interfaces of `cls` in enumeration order. For each,
// `found(index, path, available)` receives the device path, of which at most
// `available` bytes may be read (a zero within them ends it), and returns
// true to go on to the next. A step that fails calls `failed(index, step,
// error)` with the system's error code and ends the walk; every resource is
// released on every path.
template <class Found, class Failed>
void WalkDeviceInterfaces(const TSL_DEVICE_CLASS& cls, Found&& found, Failed&& failed) {
    static_assert(sizeof(GUID) == sizeof(TSL_DEVICE_CLASS), "a device interface class is a GUID");
    GUID guid;
    std::memcpy(&guid, &cls, sizeof(guid));
    // Only devices now present, enumerated by interface class.
    const HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        failed(DWORD{0}, InterfaceStep::ClassDevices, GetLastError());
        return;
    }
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA interface_data;
        std::memset(&interface_data, 0, sizeof(interface_data));
        interface_data.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &interface_data)) {
            failed(index, InterfaceStep::Enumerate, GetLastError());
            break;
        }
        // The first call only learns the size of the detail record.
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &interface_data, nullptr, 0, &required, nullptr);
        const DWORD size_error = GetLastError();
        if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
            // No usable size: the record could not even hold its fixed part.
            failed(index, InterfaceStep::DetailSize, size_error);
            break;
        }
        const HLOCAL memory = LocalAlloc(LMEM_FIXED, required);
        if (!memory) {
            failed(index, InterfaceStep::Allocate, GetLastError());
            break;
        }
        auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(memory);
        // The size of the record's fixed part (5 bytes in the packed 32-bit layout).
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (!SetupDiGetDeviceInterfaceDetailA(set, &interface_data, detail, required, nullptr, nullptr)) {
            const DWORD error = GetLastError();
            LocalFree(memory);
            failed(index, InterfaceStep::Detail, error);
            break;
        }
        // Never read past the record, whatever the path in it looks like.
        const std::size_t available = required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
        const bool more = found(index, static_cast<const char*>(detail->DevicePath), available);
        LocalFree(memory);
        if (!more) break;
    }
    SetupDiDestroyDeviceInfoList(set);
}

}  // namespace tessaline

#endif
