// tessaline-simd for Windows: the simulated device behind two named pipes,
// served until Ctrl+C, Ctrl+Break or the console closes. Run with --help for
// the options.
#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <tessaline/fax_types.h>

#include "sim/pipe_device_win32.h"

namespace {

const char kUsage[] =
    "Usage: tessaline-simd [OPTION]...\n"
    "Serves a simulated fax device on two named pipes,\n"
    "  \\\\.\\pipe\\tessaline-NAME-fax and \\\\.\\pipe\\tessaline-NAME-ews,\n"
    "until Ctrl+C or Ctrl+Break. Point the library at them with\n"
    "TESSALINE_FAX_DEVICE and TESSALINE_EWS_DEVICE.\n"
    "\n"
    "Options:\n"
    "  --name NAME             the device's name in the pipe names (default: sim0)\n"
    "  --password P            set the fax password (\"\" clears it; at most 31 bytes)\n"
    "  --fax-number N          set the device's own fax number (at most 31 bytes)\n"
    "  --receive-settings V    the value the device reports as its receive settings\n"
    "  --block-size N          bytes per block of a received-fax download (default: 4096)\n"
    "  --loopback              a fax sent to the device's own number is received by it\n"
    "  --any-job               take a job that is no TIFF image (by default it is refused)\n"
    "  -h, --help              show this help and exit\n"
    "  --version               show the version and exit\n"
    "An option may also be written --option=VALUE. The device keeps the newest\n"
    "16 sent jobs and at most 32 MiB of their data.\n"
    "\n"
    "Once serving, one line goes to standard output:\n"
    "  ready fax=PATH ews=PATH\n"
    "Exit status: 0 when stopped; 1 when the device cannot start; 2 for a bad\n"
    "command line.\n";

HANDLE g_stop = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD) {
    SetEvent(g_stop);
    return TRUE;
}

bool ParseNumber(const char* text, std::uint32_t& out) {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 0);
    if (!*text || *end || v > 0xFFFFFFFFull) return false;
    out = static_cast<std::uint32_t>(v);
    return true;
}

int BadCommandLine(const std::string& why) {
    std::fprintf(stderr, "tessaline-simd: %s\nRun 'tessaline-simd --help' for usage.\n", why.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string name = "sim0";
    const char* password = nullptr;
    const char* fax_number = nullptr;
    std::uint32_t receive_settings = 0, block_size = 0;
    bool set_receive_settings = false, loopback = false, any_job = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("tessaline-simd %s\n", TESSALINE_VERSION);
            return 0;
        }
        // --option=VALUE is --option VALUE.
        std::string inline_value;
        bool has_inline = false;
        if (const std::size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            inline_value = arg.substr(eq + 1);
            has_inline = true;
            arg.resize(eq);
        }
        if (arg == "--loopback") {
            if (has_inline) return BadCommandLine("--loopback takes no value");
            loopback = true;
            continue;
        }
        if (arg == "--any-job") {
            any_job = true;
            continue;
        }
        static const char* const kWithValue[] = {"--name", "--password", "--fax-number", "--receive-settings",
                                                 "--block-size"};
        bool known = false;
        for (const char* option : kWithValue) known = known || arg == option;
        if (!known) return BadCommandLine("unknown option " + arg);
        if (!has_inline && i + 1 >= argc) return BadCommandLine(arg + " needs a value");
        const std::string value_text = has_inline ? inline_value : argv[++i];
        const char* value = value_text.c_str();
        if (arg == "--name") {
            name = value;
        } else if (arg == "--password") {
            password = value;
        } else if (arg == "--fax-number") {
            fax_number = value;
        } else if (arg == "--receive-settings") {
            if (!ParseNumber(value, receive_settings)) return BadCommandLine("bad number " + std::string(value));
            set_receive_settings = true;
        } else if (arg == "--block-size") {
            if (!ParseNumber(value, block_size) || block_size == 0)
                return BadCommandLine("bad block size " + std::string(value));
        }
    }
    if (name.empty() || name.find_first_of("\\/") != std::string::npos) return BadCommandLine("bad name " + name);
    if (password && std::strlen(password) > 31) return BadCommandLine("the password is longer than 31 bytes");
    if (fax_number && std::strlen(fax_number) > 31) return BadCommandLine("the fax number is longer than 31 bytes");

    sim::PipeDevice device(name);
    sim::Firmware& fw = device.firmware();
    if (password) fw.SetPassword(password);
    if (fax_number) {
        std::uint8_t settings[308];
        fw.GetSettingsWire(settings);
        // The settings record travels in the layout of DEFAULT_FAX_SETTINGS.
        char* field = reinterpret_cast<char*>(settings) + offsetof(DEFAULT_FAX_SETTINGS, FaxNumber);
        std::memset(field, 0, sizeof(DEFAULT_FAX_SETTINGS::FaxNumber));
        std::memcpy(field, fax_number, std::strlen(fax_number));
        fw.SetSettingsWire(settings);
    }
    if (set_receive_settings) fw.SetReceiveSettings(receive_settings);
    if (block_size) fw.SetBlockSize(block_size);
    fw.SetLoopback(loopback);
    fw.SetChecksJobs(!any_job);
    fw.SetClockRuns(true);
    fw.SetRecording(false);  // a long-running device keeps no traffic log
    fw.SetJobBounds(sim::kDefaultKeptJobs, sim::kDefaultKeptJobBytes);

    g_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!g_stop || !device.Start()) {
        std::fprintf(stderr, "tessaline-simd: %s\n", device.error().c_str());
        return 1;
    }
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    std::printf("ready fax=%s ews=%s\n", device.fax_path().c_str(), device.ews_path().c_str());
    std::fflush(stdout);
    WaitForSingleObject(g_stop, INFINITE);
    device.Stop();
    return 0;
}
