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
#include <memory>
#include <string>

#include "tools/command_support.h"
#include "tools/deadline.h"

namespace cli {
namespace {

const Command kCommands[] = {
    {"send", "send [--prefix=P] [--resolution=fine|normal] [--paper=a4|letter] [--raw] FILE NUMBER...",
     "Sends FILE as a fax to each NUMBER. A fax image (a TIFF: bilevel, CCITT G3 or G4, 1728 pixels wide,\n"
     "204 x 196 or 204 x 98 dpi) is sent as it is, byte for byte. PDF, PostScript, plain text, PNG, JPEG\n"
     "and other TIFF images are converted into one first (PDF, PostScript and text by Ghostscript, the\n"
     "program gs): bilevel, CCITT G4, 1728 pixels wide, in a temporary file removed afterwards. Any other\n"
     "file is refused before the device is touched (exit status 65), naming what it is.\n"
     "  --resolution=fine|normal  204 x 196 dpi (fine, the default) or 204 x 98 dpi; a fax image of the\n"
     "                            other resolution is converted when it is given\n"
     "  --paper=a4|letter         the page of a conversion (default: PAPERSIZE, else the locale's\n"
     "                            LC_PAPER, else A4)\n"
     "  --raw                     send FILE unexamined, whatever it holds\n"
     "  --prefix=P                the dialling prefix of every recipient\n"
     "FILE must be a readable regular file and no NUMBER may be empty: both are checked before the device\n"
     "is asked. The summary (and --json: pages, recipients, kind, converted) says how many pages went to\n"
     "how many recipients. TESSALINE_GHOSTSCRIPT names another Ghostscript program.",
     {{"--prefix", 0, true}, {"--resolution", 0, true}, {"--paper", 0, true}, {"--raw", 0, false}}, RunSend},
    {"count", "count", "Prints how many received faxes the device holds.", {}, RunCount},
    {"list", "list [-l|--long]",
     "Prints the names of the device's received faxes, one a line (nothing when there are none). With -l,\n"
     "a table of each fax with its log entry: the device's time of it, its pages, its duration and the\n"
     "sender's identification; --json gives each as an object with the log entry's fields. Under --json, a\n"
     "name that is not valid UTF-8 is given in its hex: form, which get, rm and log take back.",
     {{"--long", 'l', false}}, RunList},
    {"get", "get NAME [-o PATH|-] [--output=PATH|-] [--pdf]",
     "Downloads the received fax NAME into PATH (default: NAME in the current directory). A regular file\n"
     "(also one reached through symbolic links, which stay) is replaced only once the whole fax has arrived\n"
     "and been written; a FIFO or a device is written as it is. PATH's directory is checked first. With\n"
     "--pdf, or a PATH ending in .pdf, the fax is stored as a PDF, one page per page of the fax (default\n"
     "PATH: NAME with .pdf). -o - writes the fax (or, with --pdf, the PDF) to standard output.",
     {{"--output", 'o', true}, {"--pdf", 0, false}}, RunGet},
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
    {"wait", "wait [--timeout=S]",
     "Waits until the device reports a fax event, and prints it. --timeout S gives up after S seconds\n"
     "(exit status 124), releasing the wait with CancelIO; without it the wait has no limit.",
     {}, RunWait},
    {"receive", "receive [--pdf] [--remove] [--exec=CMD] [--once] [--retry-max=S] DIR",
     "Receives unattended: stores each fax on the device that is not yet in DIR, then waits for fax\n"
     "events and does the same for each new one, until SIGINT or SIGTERM (exit status 0). Each fax is\n"
     "downloaded to a hidden file in DIR and put in place whole under its device name (a file of that\n"
     "name is never replaced), and one line is printed for it (with --json, one JSON object). DIR is\n"
     "checked first (exit status 66).\n"
     "  --pdf          store a PDF of each fax beside it (NAME.pdf)\n"
     "  --remove       remove each fax from the device once it is stored and reads as a fax image\n"
     "  --exec=CMD     run CMD with sh for each fax stored, the file's path as $1 and in the environment\n"
     "                 TESSALINE_FAX_NAME, TESSALINE_FAX_PATH, TESSALINE_FAX_PDF, and from its log entry\n"
     "                 TESSALINE_FAX_TIME, TESSALINE_FAX_PAGES, TESSALINE_FAX_SENDER,\n"
     "                 TESSALINE_FAX_DURATION, TESSALINE_FAX_STATUS, TESSALINE_FAX_TYPE; its output goes\n"
     "                 to standard error\n"
     "  --once         store what is on the device and exit, without waiting\n"
     "  --retry-max=S  while the device cannot be reached, try again after 1, 2, 4... seconds, at most S\n"
     "                 (default 60)\n"
     "With --remove, a fax whose name is already in DIR is compared with the file: the same fax is\n"
     "removed, a different one is stored as NAME-2 (and so on). Exit status: 0 on a stop by signal or,\n"
     "with --once, when every fax was handled; 75 when --once left some fax not stored (or not removed);\n"
     "the FAXSTATUS when --once cannot reach the device; 124 after --timeout.",
     {{"--pdf", 0, false}, {"--remove", 0, false}, {"--exec", 0, true}, {"--once", 0, false},
      {"--retry-max", 0, true}},
     RunReceive},
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
    "  65     a file refused: of a kind send does not take, or damaged\n"
    "  66     a local file or directory cannot be used (the message names it and the system's reason)\n"
    "  69     a converter is missing (Ghostscript, or one this build lacks)\n"
    "  73     a file of the command's own cannot be written (a download, a PDF, a temporary file)\n"
    "  75     receive --once: some fax was not stored, or not removed\n"
    "  124    the time limit of --timeout ran out\n";

void PrintHelp() {
    std::printf(
        "Usage: tessaline [--json] [--timeout=S] COMMAND [ARGS...]\n\n"
        "Drives the fax function of a USB multifunction printer.\n\nCommands:\n");
    for (const Command& c : kCommands) std::printf("  %s\n", c.synopsis);
    std::printf(
        "\nOptions:\n"
        "  --json       print one JSON object per command, with \"status\" and \"status_name\" for a call\n"
        "               made and \"exit_status\" always; members a failed call did not obtain are left out.\n"
        "               Text that is not valid UTF-8, or starts with hex:, is written as hex: and two\n"
        "               hexadecimal digits a byte; commands take that form back wherever they take a name\n"
        "  --timeout=S  give up after S seconds: a call still blocked is released with CancelIO, and the\n"
        "               command exits with status 124 (receive stops between faxes); every command takes\n"
        "               it, before or after its name\n"
        "  --help       this help; 'tessaline COMMAND --help' for a command's\n"
        "  --version    the version\n"
        "Every option may also be written --option=VALUE; -- ends a command's options.\n\n"
        "%s\n"
        "Environment:\n"
        "  TESSALINE_DEVICE_DIR   device directory (default $XDG_RUNTIME_DIR/tessaline, else /run/tessaline)\n"
        "  TESSALINE_FAX_DEVICE   device path of the fax channel, skipping discovery\n"
        "  TESSALINE_EWS_DEVICE   device path of the EWS channel, skipping discovery\n"
        "  TESSALINE_DIAGNOSTICS  where discovery messages go: stderr (this tool's default) or none\n"
        "  TESSALINE_GHOSTSCRIPT  the Ghostscript program that renders documents (default gs)\n"
        "  PAPERSIZE              a4 or letter, the page of a conversion (default: the locale's)\n",
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
        } else if (a == "--timeout" || a.rfind("--timeout=", 0) == 0) {
            if (a == "--timeout" && i + 1 >= argc) return Usage("--timeout needs a value", out.json);
            const std::string value = a == "--timeout" ? argv[++i] : a.substr(10);
            if (!ParseSeconds(value, out.timeout_seconds))
                return Usage("--timeout takes a number of seconds above 0 (at most 1000000)", out.json);
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
        // Every command takes --timeout, after its name as well as before it.
        std::vector<OptionSpec> options = c.options;
        options.push_back({"--timeout", 0, true});
        const bool ok = ParseOptions(Args(argv + i + 1, argv + argc), options, parsed, error);
        out.json |= parsed.json;
        // A command line refused before its --json was reached still asks for JSON.
        for (int k = i + 1; !ok && k < argc && std::strcmp(argv[k], "--") != 0; ++k)
            out.json |= std::strcmp(argv[k], "--json") == 0;
        if (help || parsed.help) {
            std::printf("Usage: tessaline [--json] %s\n\n%s\n\n%s", c.synopsis, c.help, kExitStatus);
            return 0;
        }
        if (!ok) return out.Usage(error);
        if (parsed.Has("--timeout")) {
            double seconds = 0;
            if (!ParseSeconds(parsed.Value("--timeout"), seconds))
                return out.Usage("--timeout takes a number of seconds above 0 (at most 1000000)");
            out.timeout_seconds = seconds;
        }
        // A time limit releases the command's blocked call with CancelIO;
        // receive keeps its own, to stop between faxes.
        std::unique_ptr<Deadline> deadline;
        if (out.timeout_seconds > 0 && out.command != "receive") {
            deadline = std::make_unique<Deadline>(out.timeout_seconds, CancelFaxIo,
                                                  "tessaline " + out.command + ": timed out");
            out.deadline = deadline.get();
        }
        const int status = c.run(out, parsed);
        if (deadline) deadline->Stop();
        return status;
    }
    for (int k = i + 1; k < argc && std::strcmp(argv[k], "--") != 0; ++k) out.json |= std::strcmp(argv[k], "--json") == 0;
    return Usage("unknown command '" + name + "'", out.json);
}
