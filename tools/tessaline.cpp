// tessaline: the fax device from the command line; this file holds its
// command table, the help text and main.
//
// A host like any other: it creates the automation objects through
// DllGetClassObject and calls their methods. Output is for people by
// default; --json prints one JSON object per command instead. The exit status
// is 0 for FAXSTATUS_OK, the FAXSTATUS value (1 to 11) otherwise, 64 for a
// usage error, and the command's own statuses of output.h and deadline.h.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "tools/command_support.h"
#include "tools/deadline.h"

namespace cli {
namespace {

const Command kCommands[] = {
    {"send", "send [--prefix P] [--resolution fine|normal] [--paper a4|letter] [--raw] FILE NUMBER...",
     "Sends FILE as a fax to each NUMBER. A fax image (a TIFF: bilevel, CCITT G3 or G4, 1728 pixels wide,\n"
     "204 x 196 or 204 x 98 dpi) is sent as it is, byte for byte. PDF, PostScript, plain text, PNG, JPEG\n"
     "and other TIFF images are converted into one first (PDF, PostScript and text by Ghostscript, the\n"
     "program gs): bilevel, CCITT G4, 1728 pixels wide, in a temporary file removed afterwards. Any other\n"
     "file is refused before the device is touched (exit status 65), naming what it is.\n"
     "  --resolution fine|normal  204 x 196 dpi (fine, the default) or 204 x 98 dpi; a fax image of the\n"
     "                            other resolution is converted when it is given\n"
     "  --paper a4|letter         the page of a conversion (default: PAPERSIZE, else the locale's\n"
     "                            LC_PAPER, else A4)\n"
     "  --raw                     send FILE unexamined, whatever it holds\n"
     "  --prefix P                the dialling prefix of every recipient\n"
     "An empty NUMBER is passed on as a recipient without a number, which the device skips. The summary\n"
     "(and --json: pages, recipients, kind, converted) says how many pages went to how many recipients.\n"
     "TESSALINE_GHOSTSCRIPT names another Ghostscript program.",
     RunSend},
    {"count", "count", "Prints how many received faxes the device holds.", RunCount},
    {"list", "list [-l]",
     "Prints the names of the device's received faxes, one a line (nothing when there are none). With -l,\n"
     "a table of each fax with its log entry: the device's time of it, its pages, its duration and the\n"
     "sender's identification; --json gives each as an object with the log entry's fields.",
     RunList},
    {"get", "get NAME [-o PATH|-] [--pdf]",
     "Downloads the received fax NAME into PATH (default: NAME in the current directory). An existing file\n"
     "is replaced only once the whole fax has arrived and been written. With --pdf, or a PATH ending in\n"
     ".pdf, the fax is stored as a PDF, one page per page of the fax (default PATH: NAME with .pdf). -o -\n"
     "writes the fax (or, with --pdf, the PDF) to standard output.",
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
    {"wait", "wait [--timeout S]",
     "Waits until the device reports a fax event, and prints it. --timeout S gives up after S seconds\n"
     "(exit status 124), releasing the wait with CancelIO; without it the wait has no limit.",
     RunWait},
    {"receive", "receive [--pdf] [--remove] [--exec CMD] [--once] [--retry-max S] DIR",
     "Receives unattended: stores each fax on the device that is not yet in DIR, then waits for fax\n"
     "events and does the same for each new one, until SIGINT or SIGTERM (exit status 0). Each fax is\n"
     "downloaded to a hidden file in DIR and put in place whole under its device name (a file of that\n"
     "name is never replaced), and one line is printed for it (with --json, one JSON object).\n"
     "  --pdf          store a PDF of each fax beside it (NAME.pdf)\n"
     "  --remove       remove each fax from the device once it is stored and reads as a fax image\n"
     "  --exec CMD     run CMD with sh for each fax stored, the file's path as $1 and in the environment\n"
     "                 TESSALINE_FAX_NAME, TESSALINE_FAX_PATH, TESSALINE_FAX_PDF, and from its log entry\n"
     "                 TESSALINE_FAX_TIME, TESSALINE_FAX_PAGES, TESSALINE_FAX_SENDER,\n"
     "                 TESSALINE_FAX_DURATION, TESSALINE_FAX_STATUS, TESSALINE_FAX_TYPE; its output goes\n"
     "                 to standard error\n"
     "  --once         store what is on the device and exit, without waiting\n"
     "  --retry-max S  while the device cannot be reached, try again after 1, 2, 4... seconds, at most S\n"
     "                 (default 60)\n"
     "With --remove, a fax whose name is already in DIR is compared with the file: the same fax is\n"
     "removed, a different one is stored as NAME-2 (and so on). Exit status: 0 on a stop by signal or,\n"
     "with --once, when every fax was handled; 1 when --once left some fax not stored (or not removed);\n"
     "the FAXSTATUS when --once cannot reach the device; 124 after --timeout.",
     RunReceive},
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
        "  --json       print one JSON object per command, with \"status\" and \"status_name\"\n"
        "  --timeout S  give up after S seconds: a call still blocked is released with CancelIO, and the\n"
        "               command exits with status 124 (receive stops between faxes)\n"
        "  --help       this help; 'tessaline COMMAND --help' for a command's\n\n"
        "Exit status: 0 on FAXSTATUS_OK, else the FAXSTATUS value (1 to 11); 64 for a usage error; 65 for a\n"
        "file refused (of a kind not sent, or damaged); 66 for a file that cannot be read; 69 when a\n"
        "converter is missing (Ghostscript, or one this build lacks); 73 when a file of the command's own\n"
        "cannot be written; 124 when the time limit ran out.\n\n"
        "Environment:\n"
        "  TESSALINE_DEVICE_DIR   device directory (default $XDG_RUNTIME_DIR/tessaline, else /run/tessaline)\n"
        "  TESSALINE_FAX_DEVICE   device path of the fax channel, skipping discovery\n"
        "  TESSALINE_EWS_DEVICE   device path of the EWS channel, skipping discovery\n"
        "  TESSALINE_DIAGNOSTICS  where discovery messages go: stderr (this tool's default) or none\n"
        "  TESSALINE_GHOSTSCRIPT  the Ghostscript program that renders documents (default gs)\n"
        "  PAPERSIZE              a4 or letter, the page of a conversion (default: the locale's)\n");
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
        } else if (a == "--timeout" || a.rfind("--timeout=", 0) == 0) {
            std::string value = a.size() > 9 ? a.substr(10) : (i + 1 < argc ? argv[++i] : "");
            if (!ParseSeconds(value, out.timeout_seconds))
                return Usage("--timeout takes a number of seconds above 0 (at most 1000000)");
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
        // A time limit releases the command's blocked call with CancelIO;
        // receive keeps its own, to stop between faxes.
        std::unique_ptr<Deadline> deadline;
        if (out.timeout_seconds > 0 && out.command != "receive") {
            deadline = std::make_unique<Deadline>(out.timeout_seconds, CancelFaxIo,
                                                  "tessaline " + out.command + ": timed out");
            out.deadline = deadline.get();
        }
        const int status = c.run(out, Args(args.begin() + 1, args.end()));
        if (deadline) deadline->Stop();
        return status;
    }
    return Usage("unknown command '" + args[0] + "'");
}
