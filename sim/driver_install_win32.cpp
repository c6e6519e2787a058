// Installing and removing the simulated device's driver on Windows through
// SetupAPI: creates the three root-enumerated devices the .inf describes when
// they are missing, binds each to the driver, and removes them again; finds
// them by their hardware identities (driver/sim_protocol.h).
#include "sim/driver_install_win32.h"

#include <windows.h>
#include <setupapi.h>
#include <newdev.h>

#include <cstring>
#include <vector>

extern "C" {
#include "driver/sim_protocol.h"
}

namespace sim {
namespace {

// The System setup class.
const GUID kSystemClass = {0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const char* const kHardwareIds[] = {SIM_HWID_FAX, SIM_HWID_EWS, SIM_HWID_CONTROL};

std::string Error(const char* step) { return std::string(step) + " failed (error " + std::to_string(GetLastError()) + ")"; }

// The first hardware identity of a device, or "".
std::string HardwareId(HDEVINFO set, SP_DEVINFO_DATA& device) {
    char ids[512] = {};
    if (!SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, nullptr, reinterpret_cast<BYTE*>(ids),
                                           sizeof(ids) - 2, nullptr))
        return "";
    return ids;
}

// Which of the three identities `id` is, or -1.
int Role(const std::string& id) {
    for (int i = 0; i < 3; ++i) {
        if (_stricmp(id.c_str(), kHardwareIds[i]) == 0) return i;
    }
    return -1;
}

// Calls `each` with every device of the System class that has one of the
// simulated device's identities, until it returns false.
template <class Each>
bool ForEachSimDevice(Each each) {
    HDEVINFO set = SetupDiGetClassDevsA(&kSystemClass, nullptr, nullptr, 0);
    if (set == INVALID_HANDLE_VALUE) return false;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        const int role = Role(HardwareId(set, device));
        if (role >= 0 && !each(set, device, role)) break;
    }
    SetupDiDestroyDeviceInfoList(set);
    return true;
}

bool InstallOne(const std::string& inf_path, const char* hardware_id, std::string& error) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&kSystemClass, nullptr);
    if (set == INVALID_HANDLE_VALUE) {
        error = Error("SetupDiCreateDeviceInfoList");
        return false;
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    // The identity as a list: the text and two zeros.
    std::vector<char> ids(hardware_id, hardware_id + std::strlen(hardware_id) + 1);
    ids.push_back('\0');
    bool ok = false;
    if (!SetupDiCreateDeviceInfoA(set, "TessalineSim", &kSystemClass, nullptr, nullptr, DICD_GENERATE_ID, &device)) {
        error = Error("SetupDiCreateDeviceInfo");
    } else if (!SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID,
                                                  reinterpret_cast<const BYTE*>(ids.data()),
                                                  static_cast<DWORD>(ids.size()))) {
        error = Error("SetupDiSetDeviceRegistryProperty");
    } else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
        error = Error("SetupDiCallClassInstaller(DIF_REGISTERDEVICE)");
    } else {
        BOOL reboot = FALSE;
        if (UpdateDriverForPlugAndPlayDevicesA(nullptr, hardware_id, inf_path.c_str(), INSTALLFLAG_FORCE, &reboot)) {
            ok = true;
        } else {
            error = Error("UpdateDriverForPlugAndPlayDevices") + " with " + inf_path;
            SetupDiCallClassInstaller(DIF_REMOVE, set, &device);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}

}  // namespace

bool DriverDevicesInstalled() {
    bool present[3] = {false, false, false};
    ForEachSimDevice([&](HDEVINFO, SP_DEVINFO_DATA&, int role) {
        present[role] = true;
        return true;
    });
    return present[0] && present[1] && present[2];
}

bool InstallDriverDevices(const std::string& inf_path, bool& installed, std::string& error) {
    installed = false;
    bool present[3] = {false, false, false};
    ForEachSimDevice([&](HDEVINFO, SP_DEVINFO_DATA&, int role) {
        present[role] = true;
        return true;
    });
    // Full path: the installer records where the driver came from.
    char full[MAX_PATH];
    const DWORD n = GetFullPathNameA(inf_path.c_str(), sizeof(full), full, nullptr);
    if (n == 0 || n >= sizeof(full) || GetFileAttributesA(full) == INVALID_FILE_ATTRIBUTES) {
        error = "no driver package at " + inf_path;
        return false;
    }
    for (int role = 0; role < 3; ++role) {
        if (present[role]) continue;
        if (!InstallOne(full, kHardwareIds[role], error)) return false;
        installed = true;
    }
    return true;
}

bool RemoveDriverDevices(int& removed, std::string& error) {
    removed = 0;
    bool ok = true;
    const bool listed = ForEachSimDevice([&](HDEVINFO set, SP_DEVINFO_DATA& device, int) {
        if (SetupDiCallClassInstaller(DIF_REMOVE, set, &device)) {
            ++removed;
        } else {
            error = Error("SetupDiCallClassInstaller(DIF_REMOVE)");
            ok = false;
        }
        return true;
    });
    if (!listed) {
        error = Error("SetupDiGetClassDevs");
        return false;
    }
    return ok;
}

std::string InfBesideProgram() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
    if (n == 0 || n >= sizeof(path)) return "tessaline_sim.inf";
    std::string p(path, n);
    const auto slash = p.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : p.substr(0, slash + 1)) + "tessaline_sim.inf";
}

}  // namespace sim
