// The tool's device listing on Windows: the present device interfaces of
// each channel's class, as the device-installation services report them, and
// which one an operation would use.
#include "tools/command_support.h"

#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/host.h"
#include "platform/device_channel.h"

namespace cli {
namespace {

// The device paths of the present interfaces of `cls`, in discovery order.
std::vector<std::string> PresentInterfaces(const plat::InterfaceClass& cls) {
    std::vector<std::string> paths;
    GUID guid;
    static_assert(sizeof(guid) == sizeof(cls), "an interface class is a GUID");
    std::memcpy(&guid, &cls, sizeof(guid));
    HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return paths;
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof(data);
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data); ++i) {
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
        if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) continue;
        std::vector<char> buffer(required);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr))
            paths.emplace_back(detail->DevicePath, strnlen(detail->DevicePath, required - sizeof(DWORD)));
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

}  // namespace

bool NotPermitted(const std::string&, std::string&) { return false; }

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
        const std::vector<std::string> paths = PresentInterfaces(GUID_DEVINTERFACE_FAX_CHANNEL);
        present = !paths.empty();
        if (present) look.path = paths.front();
    }
    if (present) look.kind = FaxDeviceLook::Kind::Present;
    return look;
}

int RunDevices(const Output& out, const Parsed& args) {
    if (!args.positional.empty()) return out.Usage("devices takes no arguments");
    std::vector<std::string> json_channels;
    std::string human;
    bool any = false;
    for (const ChannelView& c : kChannels) {
        const std::vector<std::string> paths = PresentInterfaces(*c.cls);
        const char* named = std::getenv(c.variable);
        const std::string use = named && *named ? named : paths.empty() ? "" : paths.front();
        any |= !use.empty();
        human += std::string(c.label) + " channel: " + ChannelWhere(*c.cls, "TESSALINE_NO_VARIABLE") + "\n";
        std::vector<std::string> json_paths;
        for (const auto& p : paths) {
            human += "  " + p + "\n";
            json_paths.push_back(JsonObject().Str("path", p).Str("state", "present").Text());
        }
        if (named && *named) human += "  " + std::string(c.variable) + " names " + named + "\n";
        human += "  an operation would use: " + (use.empty() ? std::string("none") : use) + "\n";
        JsonObject jc;
        jc.Str("channel", c.label)
            .Raw("devices", JsonArray(json_paths))
            .Raw("explicit", named && *named ? JsonString(named) : "null")
            .Raw("would_use", use.empty() ? "null" : JsonString(use));
        json_channels.push_back(jc.Text());
    }
    return FinishDevices(out, any, JsonObject().Raw("channels", JsonArray(json_channels)), human);
}

}  // namespace cli
