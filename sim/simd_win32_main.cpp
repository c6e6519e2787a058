// tessaline-simd for Windows: the simulated device served through its
// driver (--driver), found by the library's discovery, or behind two named
// pipes, reached through explicit device paths; served until Ctrl+C,
// Ctrl+Break or the console closes. --remove-driver removes the driver's
// devices again. Run with --help for the options.
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <tessaline/fax_types.h>

#include "sim/driver_device_win32.h"
#include "sim/driver_install_win32.h"
#include "sim/pipe_device_win32.h"
#include "sim/simd_options.h"
#include "transport/fax_device.h"

namespace {

const char kUsage[] =
    "Usage: tessaline-simd --driver [OPTION]...\n"
    "       tessaline-simd --remove-driver\n"
    "       tessaline-simd [--name NAME] [OPTION]...\n"
    "Serves a simulated fax device until Ctrl+C, Ctrl+Break or --stop.\n"
    "\n"
    "With --driver it is served through its driver, tessaline_sim.sys, which\n"
    "presents it as an attached device: the library finds its fax and EWS\n"
    "channels by discovery, with no device path set. The driver and its three\n"
    "devices are installed first when they are not (tessaline_sim.inf and\n"
    "tessaline_sim.sys beside this program; administrator rights, and on\n"
    "Windows test signing, are needed). When the program stops, the device is\n"
    "no longer present. --remove-driver removes the driver's devices.\n"
    "\n"
    "Without --driver it is served on two named pipes,\n"
    "  \\\\.\\pipe\\tessaline-NAME-fax and \\\\.\\pipe\\tessaline-NAME-ews;\n"
    "point the library at them with TESSALINE_FAX_DEVICE and\n"
    "TESSALINE_EWS_DEVICE. A pipe carries no device-control requests, so the\n"
    "received-fax wait and CancelIO fail there.\n"
    "\n"
    "Options:\n"
    "  --name NAME             the device's name in the pipe names (default: sim0)\n"
    "  --faxes DIR             present the regular files of DIR as received faxes\n"
    "                          (file name = fax name, at most 63 bytes)\n"
    "  --password P            set the fax password (\"\" clears it; at most 31 bytes)\n"
    "  --fax-number N          set the device's own fax number (at most 31 bytes)\n"
    "  --receive-settings V    the value the device reports as its receive settings\n"
    "  --block-size N          bytes per block of a received-fax download (default: 4096)\n"
    "  --loopback              a fax sent to the device's own number is received by it\n"
    "  --stop                  stop the tessaline-simd serving the driver (with\n"
    "                          --driver) or the pipes of --name, and exit\n"
    "  --any-job               take a job that is no TIFF image (by default it is refused)\n"
    "  -h, --help              show this help and exit\n"
    "  --version               show the version and exit\n"
    "An option may also be written --option=VALUE. The device keeps the newest\n"
    "16 sent jobs and at most 32 MiB of their data.\n"
    "\n"
    "Once serving, one line goes to standard output:\n"
    "  ready fax=PATH ews=PATH\n"
    "with the pipes' paths, or with --driver the device paths of the\n"
    "channel interfaces.\n"
    "Exit status: 0 when stopped; 1 when the device cannot start; 2 for a bad\n"
    "command line.\n";

HANDLE g_stop = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD) {
    SetEvent(g_stop);
    return TRUE;
}

int BadCommandLine(const std::string& why) {
    std::fprintf(stderr, "tessaline-simd: %s\nRun 'tessaline-simd --help' for usage.\n", why.c_str());
    return 2;
}

int Complain(const std::string& why) {
    std::fprintf(stderr, "tessaline-simd: %s\n", why.c_str());
    return 1;
}

// The regular files of `dir` as received faxes, in name order.
bool LoadFaxFolder(const std::string& dir, std::vector<sim::ReceivedFax>& faxes, std::string& error) {
    std::error_code ec;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        if (entry.is_regular_file(ec)) files.push_back(entry.path());
    }
    if (ec) {
        error = "cannot read the folder " + dir;
        return false;
    }
    std::sort(files.begin(), files.end());
    for (const auto& path : files) {
        const std::string name = path.filename().string();
        if (name.size() > 63) {
            std::fprintf(stderr, "tessaline-simd: skipping %s: the name is longer than 63 bytes\n", name.c_str());
            continue;
        }
        std::ifstream in(path, std::ios::binary);
        sim::ReceivedFax fax;
        fax.name = name;
        fax.data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) {
            error = "cannot read " + path.string();
            return false;
        }
        sim::MakeLogEntry(fax.log, name, 1, 30);
        faxes.push_back(std::move(fax));
    }
    return true;
}

// The event that stops a running tessaline-simd: one for the driver's
// device, one per pipe name.
std::string StopEventName(bool driver, const std::string& name) {
    return driver ? "Local\\tessaline-simd-stop-driver" : "Local\\tessaline-simd-stop-pipe-" + name;
}


}  // namespace

int main(int argc, char** argv) {
    sim::SimdOptions options;
    std::string error;
    if (!sim::ParseSimdOptions(sim::SimdProgram::kWindows, argc, argv, options, error)) return BadCommandLine(error);
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (options.version) {
        std::printf("tessaline-simd %s\n", TESSALINE_VERSION);
        return 0;
    }
    const bool driver = options.driver;
    const std::string& name = options.name;
    if (options.stop) {
        // Stops the device of that name served by another tessaline-simd.
        HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, StopEventName(driver, name).c_str());
        if (!event) return Complain("no tessaline-simd serves " + (driver ? std::string("the driver") : name));
        SetEvent(event);
        CloseHandle(event);
        return 0;
    }
    if (options.remove_driver) {
        if (argc != 2) return BadCommandLine("--remove-driver takes no other option");
        int removed = 0;
        if (!sim::RemoveDriverDevices(removed, error)) return Complain(error);
        std::printf("removed %d device%s\n", removed, removed == 1 ? "" : "s");
        return 0;
    }

    // One of the two fronts, each with the firmware behind it.
    std::unique_ptr<sim::PipeDevice> pipes;
    std::unique_ptr<sim::DriverDevice> through_driver;
    if (driver) {
        through_driver = std::make_unique<sim::DriverDevice>();
    } else {
        pipes = std::make_unique<sim::PipeDevice>(name);
    }
    sim::Firmware& fw = driver ? through_driver->firmware() : pipes->firmware();
    std::uint8_t settings[308];
    fw.GetSettingsWire(settings);
    sim::PresetSettings(options, settings);
    fw.SetSettingsWire(settings);
    if (!options.faxes.empty()) {
        std::vector<sim::ReceivedFax> loaded;
        if (!LoadFaxFolder(options.faxes, loaded, error)) return Complain(error);
        for (sim::ReceivedFax& fax : loaded) fw.AddReceivedFax(std::move(fax));
    }
    sim::ApplyBehaviour(options, fw);

    // Named, so that `tessaline-simd --stop` can end this one cleanly.
    g_stop = CreateEventA(nullptr, TRUE, FALSE, StopEventName(driver, name).c_str());
    if (!g_stop) return Complain("CreateEvent failed");
    std::string fax_path, ews_path;
    if (driver) {
        if (!sim::DriverDevicesInstalled()) {
            bool installed = false;
            if (!sim::InstallDriverDevices(sim::InfBesideProgram(), installed, error))
                return Complain("cannot install the simulated device's driver: " + error);
        }
        if (!through_driver->Start()) return Complain(through_driver->error());
        fax_path = sim::FirstPresentInterface(GUID_DEVINTERFACE_FAX_CHANNEL);
        ews_path = sim::FirstPresentInterface(GUID_DEVINTERFACE_EWS_CHANNEL);
        if (fax_path.empty() || ews_path.empty())
            return Complain("the driver's channel interfaces did not appear");
    } else {
        if (!pipes->Start()) return Complain(pipes->error());
        fax_path = pipes->fax_path();
        ews_path = pipes->ews_path();
    }
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    std::printf("ready fax=%s ews=%s\n", fax_path.c_str(), ews_path.c_str());
    std::fflush(stdout);
    WaitForSingleObject(g_stop, INFINITE);
    if (through_driver) through_driver->Stop();
    if (pipes) pipes->Stop();
    return 0;
}
