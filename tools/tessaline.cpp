// tessaline: the fax device from the command line; this file holds its
// command table, the help text and main.
//
// A host like any other: it creates the automation objects through
// DllGetClassObject and calls their methods. Output is for people by
// default; --json prints one JSON object per command instead. The exit status
// is 0 for FAXSTATUS_OK, the FAXSTATUS value (1 to 11) otherwise, and 64 for a
// usage error.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/command_support.h"

namespace cli {
namespace {

const Command kCommands[] = {
    {"send", "send [--prefix P] FILE NUMBER...",
     "Sends FILE (a TIFF image, sent as it is) as a fax to each NUMBER. --prefix sets the dialling prefix of\n"
     "every recipient. An empty NUMBER is passed on as a recipient without a number, which is skipped.",
     RunSend},
    {"count", "count", "Prints how many received faxes the device holds.", RunCount},
    {"list", "list", "Prints the names of the device's received faxes, one a line (nothing when there are none).",
     RunList},
    {"get", "get NAME [-o PATH]",
     "Downloads the received fax NAME into PATH (default: NAME in the current directory). An existing file\n"
     "is replaced only once the whole fax has arrived and been written.",
     RunGet},
    {"rm", "rm NAME", "Removes the received fax NAME from the device.", RunRemove},
    {"log", "log NAME", "Prints the device's fax-log entry for NAME.", RunLog},
    {"settings", "settings [--show-password] | settings set FIELD=VALUE...",
     "Shows the device's fax settings, or reads them, changes the named fields and saves them. Fields:\n"
     "Password Prefix OutsideLineAccess FaxName FaxNumber RingPattern PulseDialing bThumbFirst\n"
     "bPrintConfigReport AutoAnswer DeviceDateTime. RingPattern also takes all, single, double, triple,\n"
     "double-and-triple; AutoAnswer manual, auto, fax-tel, tam. Password=- reads the new password from\n"
     "the first line of standard input. The stored password is shown only with --show-password.",
     RunSettings},
    {"password", "password is-set | password check",
     "is-set: whether a fax password is set. check: whether the password on the first line of standard\n"
     "input is the device's fax password (a wrong one is a successful call that says so).",
     RunPassword},
    {"receive-settings", "receive-settings", "Prints the device's receive-settings value.", RunReceiveSettings},
    {"wait", "wait", "Waits, without a time limit, until the device reports a fax event, and prints it.", RunWait},
    {"cancel", "cancel", "Cancels the I/O pending on the fax channel, releasing a waiting 'tessaline wait'.",
     RunCancel},
    {"ews", "ews [--write FILE|-] [--read N]",
     "Opens the EWS channel, writes FILE (or standard input), reads N bytes to standard output, closes.\n"
     "A read waits until N bytes have arrived.",
     RunEws},
    {"devices", "devices",
     "Shows where discovery looks, the devices present in each channel class, and which one an\n"
     "operation would use. A directory that others can write, or that belongs to another user, is not\n"
     "searched; it is shown with the reason.",
     RunDevices},
};

void PrintHelp() {
    std::printf(
        "Usage: tessaline [--json] COMMAND [ARGS...]\n\n"
        "Drives the fax function of a USB multifunction printer.\n\nCommands:\n");
    for (const Command& c : kCommands) std::printf("  %s\n", c.synopsis);
    std::printf(
        "\nOptions:\n"
        "  --json     print one JSON object per command, with \"status\" and \"status_name\"\n"
        "  --help     this help; 'tessaline COMMAND --help' for a command's\n\n"
        "Exit status: 0 on FAXSTATUS_OK, else the FAXSTATUS value (1 to 11); 64 for a usage error.\n\n"
        "Environment:\n"
        "  TESSALINE_DEVICE_DIR   device directory (default $XDG_RUNTIME_DIR/tessaline, else /run/tessaline)\n"
        "  TESSALINE_FAX_DEVICE   device path of the fax channel, skipping discovery\n"
        "  TESSALINE_EWS_DEVICE   device path of the EWS channel, skipping discovery\n"
        "  TESSALINE_DIAGNOSTICS  where discovery messages go: stderr (this tool's default) or none\n");
}

}  // namespace
}  // namespace cli

int main(int argc, char** argv) {
    using namespace cli;
    Output out;
    Args args;
    bool help = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--json") {
            out.json = true;
        } else if (a == "--help" || a == "-h") {
            help = true;
        } else {
            args.push_back(a);
        }
    }
    // The library's discovery messages must never mix with this tool's output.
    const char* diagnostics = std::getenv("TESSALINE_DIAGNOSTICS");
    if (!diagnostics || std::strcmp(diagnostics, "none") != 0) setenv("TESSALINE_DIAGNOSTICS", "stderr", 1);

    if (args.empty()) {
        if (help) {
            PrintHelp();
            return 0;
        }
        return Usage("no command given");
    }
    for (const Command& c : kCommands) {
        if (args[0] != c.name) continue;
        if (help) {
            std::printf("Usage: tessaline [--json] %s\n\n%s\n", c.synopsis, c.help);
            return 0;
        }
        out.command = c.name;
        return c.run(out, Args(args.begin() + 1, args.end()));
    }
    return Usage("unknown command '" + args[0] + "'");
}
