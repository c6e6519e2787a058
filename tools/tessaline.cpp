// tessaline: the fax device from the command line; this file holds its
// command table, the help text and main.
//
// A host like any other: it creates the automation objects as a host of
// its platform does (tools/os/process.h) and calls their methods. Output is for
// people by default; --json prints one JSON object per command instead. The
// exit statuses are listed in kExitStatus.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "tools/command_support.h"
#include "tools/deadline.h"
#include "tools/documents/documents.h"
#include "tools/documents/temp_file.h"
#include "tools/help_text.h"
#include "tools/os/child_process.h"
#include "tools/os/process.h"

namespace cli {

HelpFacts ThisBuild() {
    const doc::Abilities abilities = doc::BuildAbilities();
    HelpFacts facts;
    facts.converts = abilities.converts;
    facts.writes_pdf = abilities.writes_pdf;
    facts.tiff_reader = abilities.tiff_reader;
    facts.stop_request = StopRequestText();
    facts.hook_runs = HookRunText();
    return facts;
}

namespace {

const std::string kSendHelp = SendHelp(ThisBuild());
const std::string kGetHelp = GetHelp(ThisBuild());
// receive's help: what this build does, then what every build shares.
const std::string kReceiveHelp = ReceiveHelp(ThisBuild()) +
    "  --exec-timeout=S  end a hook still running after S seconds (it counts as failed); --timeout and\n"
    "                 a stop end a running hook too\n"
    "  --once         store what is on the device and exit, without waiting\n"
    "  --retry-max=S  while the device cannot be reached, try again after 1, 2, 4... seconds, at most S\n"
    "                 (default 60)\n"
    "The device lists at most 40 faxes: with --remove the job lists again after each round until the list\n"
    "is shorter; without it, a full list is said to hide more.\n"
    "With --remove, a fax whose name is already in DIR is compared with the file: the same fax is\n"
    "removed, a different one is stored as NAME-2 (and so on). Under --json, --once prints one object whose\n"
    "faxes lists each fax handled (empty when nothing was new); without --once, one object per fax and a\n"
    "last one with exit_status. Exit status: 0 on a stop as above or,\n"
    "with --once, when every fax was handled; 75 when --once left some fax not stored (or not removed);\n"
    "76 when --once stored every fax but a hook failed (the fax stays stored, and is not fetched again);\n"
    "the FAXSTATUS when --once cannot reach the device; 124 after --timeout; 130 or 143 when SIGINT or\n"
    "SIGTERM stopped --once.";

const Command kCommands[] = {
    {"send", "send [--prefix=P] [--resolution=fine|normal] [--paper=a4|letter] [--raw] FILE|- NUMBER...",
     kSendHelp.c_str(),
     {{"--prefix", 0, true}, {"--resolution", 0, true}, {"--paper", 0, true}, {"--raw", 0, false}}, RunSend},
    {"count", "count",
     "Prints how many received faxes the device holds. The device counts and lists at most 40: at 40 it\n"
     "may hold more, which standard error says (--json: \"more_may_exist\": true); 'receive --remove'\n"
     "stores them all.",
     {}, RunCount},
    {"list", "list [-l|--long]",
     "Prints the names of the device's received faxes, one a line (nothing when there are none). With -l,\n"
     "a table of each fax with its log entry: the device's time of it, its pages, its duration and the\n"
     "sender's identification; --json gives each as an object with the log entry's fields. Under --json, a\n"
     "name that is not valid UTF-8 is given in its hex: form, which get, rm and log take back. The device\n"
     "lists at most 40 faxes: a list of 40 may hide more, which standard error says (--json:\n"
     "\"more_may_exist\": true).",
     {{"--long", 'l', false}}, RunList},
    {"get", "get NAME [-o PATH|-] [--pdf] [--no-clobber] | get NAME... | --all [-d DIR] [--pdf] [--no-clobber]",
     kGetHelp.c_str(),
     {{"--output", 'o', true}, {"--pdf", 0, false}, {"--all", 'a', false}, {"--directory", 'd', true},
      {"--no-clobber", 'n', false}},
     RunGet},
    {"rm", "rm NAME...",
     "Removes the received faxes NAME... from the device, one line each (--json: one object for several);\n"
     "the exit status is that of the first that failed.",
     {}, RunRemove},
    {"log", "log NAME",
     "Prints the device's fax-log entry for NAME. The entry counts pages in one byte: 255 is shown as\n"
     "\"255 or more\" (also in list -l); --json gives it as log_pages, with log_pages_capped true at 255.",
     {}, RunLog},
    {"settings", "settings [--show-password] | settings set FIELD=VALUE...",
     "Shows the device's fax settings, or reads them, changes the named fields and saves them. Fields (any\n"
     "case): Password Prefix OutsideLineAccess FaxName FaxNumber RingPattern PulseDialing bThumbFirst\n"
     "bPrintConfigReport AutoAnswer DeviceDateTime. RingPattern also takes, in any case, e_FaxRingAll,\n"
     "FaxRingAll, All or all (and so on for Single, Double, Triple, DoubleAndTriple / double-and-triple);\n"
     "AutoAnswer e_Manual, Manual, manual (Auto, FaxTel / fax-tel, TAM); the three flags false or true.\n"
     "A number outside the declared values is sent unchanged, with a warning. A text value may be given\n"
     "in its hex: form. Password=- reads the new password from standard input (prompted for, without\n"
     "echo, on a terminal). DeviceDateTime takes the form the device shows, YYYY-MM-DD HH:MM:SS. The\n"
     "stored password is shown only with --show-password.",
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
    {"receive", "receive [--pdf] [--remove] [--exec=CMD [--exec-timeout=S]] [--once] [--retry-max=S] DIR",
     kReceiveHelp.c_str(),
     {{"--pdf", 0, false}, {"--remove", 0, false}, {"--exec", 0, true}, {"--exec-timeout", 0, true},
      {"--once", 0, false}, {"--retry-max", 0, true}},
     RunReceive},
    {"cancel", "cancel", "Cancels the I/O pending on the fax channel, releasing a waiting 'tessaline wait'.", {},
     RunCancel},
    {"ews", "ews [--write=FILE|-] [--read=N]",
     "Opens the EWS channel, writes FILE (or standard input), reads N bytes to standard output, closes.\n"
     "A read waits until N bytes have arrived (the channel tells no end of a reply); what arrived is kept\n"
     "when a failure, the time limit or a signal ends it: written out as it comes, and under --json\n"
     "given with the outcome (read, data_base64).",
     {{"--write", 0, true}, {"--read", 0, true}}, RunEws},
    {"web", "web [--port=N] [--listen=ADDR]... [--device-timeout=S]",
     "Serves the device's own web pages (its EWS channel) to the browsers of this machine at\n"
     "http://localhost:PORT/ (default 8080; --port 0 takes a free port, and the line printed names it)\n"
     "until SIGINT or SIGTERM (Ctrl+C), then exits 0. It listens on 127.0.0.1 and ::1; --listen, given\n"
     "once per address, listens on numeric addresses of your choice instead (a warning when one is not\n"
     "loopback). Requests reach the device one at a time; a response that does not come within\n"
     "--device-timeout S (default 30) gets 504 and the channel is opened anew. A Host other than\n"
     "localhost, 127.0.0.1 or [::1] gets 421; CONNECT, Upgrade and absolute-form targets are refused.\n"
     "One line per request on standard error: method, target, status, bytes, milliseconds.",
     {{"--port", 0, true}, {"--listen", 0, true}, {"--device-timeout", 0, true}}, RunWeb},
    {"devices", "devices", DevicesHelp(), {}, RunDevices},
    {"history", "history [--last N]",
     "Shows the journal: each fax sent (file, numbers, pages, status) and each fax stored by receive or\n"
     "get (name, path, pages), oldest first, the last N with --last; --json gives each entry as the\n"
     "journal holds it. The journal is $XDG_STATE_HOME/tessaline/journal.jsonl (on Windows\n"
     "%LOCALAPPDATA%\\Tessaline\\journal.jsonl), one JSON object a line, each appended in one write;\n"
     "TESSALINE_JOURNAL names another file, and none turns it off. Writing it never fails a command.",
     {{"--last", 0, true}}, RunHistory},
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
    "  69     a converter is missing (Ghostscript, or one this build lacks); web: an address or port\n"
    "         that cannot be listened on\n"
    "  73     a file of the command's own cannot be written (a download, a PDF, a temporary file), or\n"
    "         get --no-clobber found a file at the path\n"
    "  75     receive --once: some fax was not stored, or not removed\n"
    "  76     receive --once: every fax was stored, but an --exec hook failed or ran out of time\n"
    "  124    the time limit of --timeout ran out\n"
    "  130    SIGINT stopped the command (143: SIGTERM); the unattended receive stops with 0\n";

void PrintHelp() {
    std::printf(
        "Usage: tessaline [--json] [--timeout=S] [--retry=S] [--verbose] COMMAND [ARGS...]\n\n"
        "Drives the fax function of a USB multifunction printer.\n\nCommands:\n");
    for (const Command& c : kCommands) std::printf("  %s\n", c.synopsis);
    std::printf(
        "\nOptions:\n"
        "  --json       print one JSON object per command, with \"status\" and \"status_name\" for a call\n"
        "               made and \"exit_status\" always (also after a time limit or a signal); members a\n"
        "               failed call did not obtain are left out.\n"
        "               Text that is not valid UTF-8, or starts with hex:, is written as hex: and two\n"
        "               hexadecimal digits a byte; commands take that form back wherever they take a name\n"
        "  --timeout=S  give up after S seconds: a call still blocked is released with CancelIO, and the\n"
        "               command exits with status 124 (receive stops between faxes); every command takes\n"
        "               it, before or after its name\n"
        "  --retry=S    while the device answers busy or another program holds its access lock (or left it\n"
        "               abandoned), try again for up to S seconds, after 1, 2, 4, 8, 8... s, one line on\n"
        "               standard error each time; the status is the last try's. Every command takes it\n"
        "  --verbose    (-v) also show the library's own discovery messages, on standard error\n"
        "  --help       this help; 'tessaline COMMAND --help' for a command's\n"
        "  --version    the version\n"
        "Every option may also be written --option=VALUE; -- ends a command's options.\n\n"
        "%s\n"
        "Environment:\n",
        kExitStatus);
    std::fputs(EnvironmentHelp(), stdout);
    std::fputs(ConversionEnvironmentHelp(ThisBuild()).c_str(), stdout);
}

// The library's discovery messages speak of the platform's services
// ("SetupDiEnumDeviceInterfaces failed") and would stand beside the
// command's own message, which names the cause: they are dropped unless
// asked for with --verbose (or TESSALINE_DIAGNOSTICS=stderr), and then go to
// standard error, never into the output. Set before any object exists.
void RouteDiagnostics(bool verbose) {
    const char* asked = std::getenv("TESSALINE_DIAGNOSTICS");
    const bool show = verbose || (asked && std::strcmp(asked, "stderr") == 0);
    SetEnvironmentValue("TESSALINE_DIAGNOSTICS", show ? "stderr" : "none");
}

int Run(const Args& given) {
    // Options before the command are the tool's own; the command's parser
    // takes the rest, --json and --help included.
    Output out;
    bool help = false;
    bool verbose = false;
    std::size_t i = 0;
    for (; i < given.size() && given[i][0] == '-'; ++i) {
        const std::string& a = given[i];
        if (a == "--json") {
            out.json = true;
        } else if (a == "--verbose" || a == "-v") {
            verbose = true;
        } else if (a == "--timeout" || a.rfind("--timeout=", 0) == 0) {
            if (a == "--timeout" && i + 1 >= given.size()) return Usage("--timeout needs a value", out.json);
            const std::string value = a == "--timeout" ? given[++i] : a.substr(10);
            if (!ParseSeconds(value, out.timeout_seconds))
                return Usage("--timeout takes a number of seconds above 0 (at most 1000000)", out.json);
        } else if (a == "--retry" || a.rfind("--retry=", 0) == 0) {
            if (a == "--retry" && i + 1 >= given.size()) return Usage("--retry needs a value", out.json);
            const std::string value = a == "--retry" ? given[++i] : a.substr(8);
            if (!ParseSeconds(value, out.retry_seconds))
                return Usage("--retry takes a number of seconds above 0 (at most 1000000)", out.json);
        } else if (a == "--help" || a == "-h") {
            help = true;
        } else if (a == "--version") {
            std::printf("tessaline %s\n", TESSALINE_VERSION);
            return 0;
        } else {
            return Usage("unknown option " + a.substr(0, a.find('=')), out.json);
        }
    }
    if (i >= given.size()) {
        if (help) {
            PrintHelp();
            return 0;
        }
        return Usage("no command given", out.json);
    }
    const std::string name = given[i];
    for (const Command& c : kCommands) {
        if (name != c.name) continue;
        out.command = c.name;
        Parsed parsed;
        std::string error;
        // Every command takes --timeout, after its name as well as before it.
        std::vector<OptionSpec> options = c.options;
        options.push_back({"--timeout", 0, true});
        options.push_back({"--verbose", 'v', false});
        options.push_back({"--retry", 0, true});
        const bool ok = ParseOptions(Args(given.begin() + i + 1, given.end()), options, parsed, error);
        out.json |= parsed.json;
        // A command line refused before its --json was reached still asks for JSON.
        for (std::size_t k = i + 1; !ok && k < given.size() && given[k] != "--"; ++k) out.json |= given[k] == "--json";
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
        if (parsed.Has("--retry") && !ParseSeconds(parsed.Value("--retry"), out.retry_seconds))
            return out.Usage("--retry takes a number of seconds above 0 (at most 1000000)");
        RouteDiagnostics(verbose || parsed.Has("--verbose"));
        // A time limit, SIGINT and SIGTERM release the command's blocked
        // call with CancelIO, and the command still reports (one JSON object
        // under --json). receive keeps its own time limit and stop, to stop
        // between faxes; web its own stop, between requests.
        const bool own_stop = out.command == "receive" || out.command == "web";
        std::unique_ptr<Deadline> deadline;
        if (out.command != "receive" && (!own_stop || out.timeout_seconds > 0)) {
            deadline = std::make_unique<Deadline>(out.timeout_seconds, CancelFaxIo);
            out.deadline = deadline.get();
            deadline->SetLastWords([&out](int) { out.Overtaken(out.partial ? out.partial() : JsonObject(), false); });
            if (!own_stop)
                OnStopSignals([stop = deadline.get()](int signal) {
                    doc::StopConverter();
                    stop->Interrupt(signal);
                });
        }
        MarkCallStart();
        const int status = c.run(out, parsed);
        if (deadline) {
            deadline->Stop();
            if (!own_stop) RestoreStopSignals();
        }
        return status;
    }
    for (std::size_t k = i + 1; k < given.size() && given[k] != "--"; ++k) out.json |= given[k] == "--json";
    return Usage("unknown command '" + name + "'", out.json);
}

}  // namespace
}  // namespace cli

int main(int argc, char** argv) {
    using namespace cli;
    Args given;
    std::string error;
    if (!StartHost(argc, argv, given, error)) return Usage(error);
    const int status = Run(given);
    StopHost();
    return status;
}
