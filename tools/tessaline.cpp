// tessaline: the fax device from the command line; this file holds its
// command table, the help text and main.
//
// A host like any other: it creates the automation objects through
// DllGetClassObject and calls their methods. Output is for people by
// default; --json prints one JSON object per command instead. The exit
// statuses are listed in kExitStatus.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/command_support.h"

namespace cli {
namespace {

const Command kCommands[] = {
    {"send", "send [--prefix=P] FILE NUMBER...",
     "Sends FILE (a TIFF image, sent as it is) as a fax to each NUMBER. --prefix sets the dialling prefix of\n"
     "every recipient. FILE must be a readable regular file and no NUMBER may be empty: both are checked\n"
     "before the device is asked.",
     {{"--prefix", 0, true}}, RunSend},
    {"count", "count", "Prints how many received faxes the device holds.", {}, RunCount},
    {"list", "list",
     "Prints the names of the device's received faxes, one a line (nothing when there are none). Under\n"
     "--json, a name that is not valid UTF-8 is given in its hex: form, which get, rm and log take back.",
     {}, RunList},
    {"get", "get NAME [-o PATH|--output=PATH]",
     "Downloads the received fax NAME into PATH (default: NAME in the current directory). A regular file\n"
     "(also one reached through symbolic links, which stay) is replaced only once the whole fax has arrived\n"
     "and been written; a FIFO or a device is written as it is. PATH's directory is checked first.",
     {{"--output", 'o', true}}, RunGet},
    {"rm", "rm NAME", "Removes the received fax NAME from the device.", {}, RunRemove},
    {"log", "log NAME", "Prints the device's fax-log entry for NAME.", {}, RunLog},
    {"settings", "settings [--show-password] | settings set FIELD=VALUE...",
     "Shows the device's fax settings, or reads them, changes the named fields and saves them. Fields (any\n"
     "case): Password Prefix OutsideLineAccess FaxName FaxNumber RingPattern PulseDialing bThumbFirst\n"
     "bPrintConfigReport AutoAnswer DeviceDateTime. RingPattern also takes, in any case, e_FaxRingAll,\n"
     "FaxRingAll, All or all (and so on for Single, Double, Triple, DoubleAndTriple / double-and-triple);\n"
     "AutoAnswer e_Manual, Manual, manual (Auto, FaxTel / fax-tel, TAM); the three flags false or true.\n"
     "A number outside the declared values is sent unchanged, with a warning. A text value may be given\n"
     "in its hex: form. Password=- reads the new password from standard input (prompted for, without\n"
     "echo, on a terminal). The stored password is shown only with --show-password.",
     {{"--show-password", 0, false}}, RunSettings},
    {"password", "password is-set | password check",
     "is-set: whether a fax password is set. check: whether the password read from standard input\n"
     "(prompted for, without echo, on a terminal) is the device's fax password; a wrong one exits with 12.",
     {}, RunPassword},
    {"receive-settings", "receive-settings", "Prints the device's receive-settings value.", {}, RunReceiveSettings},
    {"wait", "wait", "Waits, without a time limit, until the device reports a fax event, and prints it.", {},
     RunWait},
    {"cancel", "cancel", "Cancels the I/O pending on the fax channel, releasing a waiting 'tessaline wait'.", {},
     RunCancel},
    {"ews", "ews [--write=FILE|-] [--read=N]",
     "Opens the EWS channel, writes FILE (or standard input), reads N bytes to standard output, closes.\n"
     "A read waits until N bytes have arrived.",
     {{"--write", 0, true}, {"--read", 0, true}}, RunEws},
    {"devices", "devices",
     "Shows where discovery looks, the devices present in each channel class, and which one an\n"
     "operation would use. A directory that others can write, or that belongs to another user, is not\n"
     "searched; it is shown with the reason.",
     {}, RunDevices},
};

const char kExitStatus[] =
    "Exit status:\n"
    "  0      success\n"
    "  1-11   the FAXSTATUS value of the call that failed (7 FAXSTATUS_NO_DEVICE: no device found, or its\n"
    "         access lock held by another program; the message says which)\n"
    "  12     password check: the password is wrong\n"
    "  64     a usage error\n"
    "  66     a local file or directory cannot be used (the message names it and the system's reason)\n";

void PrintHelp() {
    std::printf(
        "Usage: tessaline [--json] COMMAND [ARGS...]\n\n"
        "Drives the fax function of a USB multifunction printer.\n\nCommands:\n");
    for (const Command& c : kCommands) std::printf("  %s\n", c.synopsis);
    std::printf(
        "\nOptions:\n"
        "  --json     print one JSON object per command, with \"status\" and \"status_name\" for a call\n"
        "             made and \"exit_status\" always; members a failed call did not obtain are left out.\n"
        "             Text that is not valid UTF-8, or starts with hex:, is written as hex: and two\n"
        "             hexadecimal digits a byte; commands take that form back wherever they take a name\n"
        "  --help     this help; 'tessaline COMMAND --help' for a command's\n"
        "  --version  the version\n"
        "Every option may also be written --option=VALUE; -- ends a command's options.\n\n"
        "%s\n"
        "Environment:\n"
        "  TESSALINE_DEVICE_DIR   device directory (default $XDG_RUNTIME_DIR/tessaline, else /run/tessaline)\n"
        "  TESSALINE_FAX_DEVICE   device path of the fax channel, skipping discovery\n"
        "  TESSALINE_EWS_DEVICE   device path of the EWS channel, skipping discovery\n"
        "  TESSALINE_DIAGNOSTICS  where discovery messages go: stderr (this tool's default) or none\n",
        kExitStatus);
}

}  // namespace
}  // namespace cli

int main(int argc, char** argv) {
    using namespace cli;
    // The library's discovery messages must never mix with this tool's output.
    const char* diagnostics = std::getenv("TESSALINE_DIAGNOSTICS");
    if (!diagnostics || std::strcmp(diagnostics, "none") != 0) setenv("TESSALINE_DIAGNOSTICS", "stderr", 1);

    // Options before the command are the tool's own; the command's parser
    // takes the rest, --json and --help included.
    Output out;
    bool help = false;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        const std::string a = argv[i];
        if (a == "--json") {
            out.json = true;
        } else if (a == "--help" || a == "-h") {
            help = true;
        } else if (a == "--version") {
            std::printf("tessaline %s\n", TESSALINE_VERSION);
            return 0;
        } else {
            return Usage("unknown option " + a.substr(0, a.find('=')), out.json);
        }
    }
    if (i >= argc) {
        if (help) {
            PrintHelp();
            return 0;
        }
        return Usage("no command given", out.json);
    }
    const std::string name = argv[i];
    for (const Command& c : kCommands) {
        if (name != c.name) continue;
        out.command = c.name;
        Parsed parsed;
        std::string error;
        const bool ok = ParseOptions(Args(argv + i + 1, argv + argc), c.options, parsed, error);
        out.json |= parsed.json;
        // A command line refused before its --json was reached still asks for JSON.
        for (int k = i + 1; !ok && k < argc && std::strcmp(argv[k], "--") != 0; ++k)
            out.json |= std::strcmp(argv[k], "--json") == 0;
        if (help || parsed.help) {
            std::printf("Usage: tessaline [--json] %s\n\n%s\n\n%s", c.synopsis, c.help, kExitStatus);
            return 0;
        }
        if (!ok) return out.Usage(error);
        return c.run(out, parsed);
    }
    for (int k = i + 1; k < argc && std::strcmp(argv[k], "--") != 0; ++k) out.json |= std::strcmp(argv[k], "--json") == 0;
    return Usage("unknown command '" + name + "'", out.json);
}
