// tessaline-simd: the simulated device as a program. It serves one device's
// fax and EWS channels as listening sockets in the device directory until
// SIGINT, SIGTERM or SIGHUP, then removes them. Run with --help for the
// options.
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <tessaline/fax_types.h>

#include "platform/device_directory.h"
#include "sim/control.h"
#include "sim/control_channel.h"
#include "sim/control_service.h"
#include "sim/fax_folder.h"
#include "sim/persist.h"
#include "sim/sim_device.h"

namespace {

constexpr char kProgram[] = "tessaline-simd";
// A save that failed is tried again after this long, and at every change.
constexpr int kSaveRetryMs = 5000;

const char kUsage[] =
    "Usage: tessaline-simd [OPTION]...\n"
    "Serves a simulated fax device: its fax channel and its EWS channel, as\n"
    "listening sockets in the device directory, where the Tessaline library\n"
    "finds them. Stops on SIGINT, SIGTERM or SIGHUP, removing its sockets.\n"
    "\n"
    "Options:\n"
    "  --dir DIR               device directory to serve in (created when\n"
    "                          missing, mode 0755); default: see ENVIRONMENT.\n"
    "                          It and the channels' directories in it must be\n"
    "                          owned by root or by you and writable by no one\n"
    "                          else, or the library will not search them\n"
    "  --name NAME             the device's socket name in each channel's\n"
    "                          directory (default: sim0)\n"
    "  --state DIR             keep the settings, the received faxes and the\n"
    "                          sent jobs in DIR across restarts (created when\n"
    "                          missing, mode 0700; one daemon per DIR; its\n"
    "                          files are mode 0600). Without it the state\n"
    "                          lives in memory only\n"
    "  --faxes DIR             present the regular files of DIR as received\n"
    "                          faxes: file name = fax name (at most 63 bytes),\n"
    "                          content = fax (at least 2 bytes: the host cannot\n"
    "                          download less); read once at start; a file that\n"
    "                          does not qualify is passed over with a message;\n"
    "                          a fax of that name already kept in --state wins\n"
    "  --loopback              a fax sent to the device's own fax number is\n"
    "                          received by it\n"
    "  --any-job               take a job that is no TIFF image (by default the\n"
    "                          device refuses it, as a fax machine would)\n"
    "  --block-size N          bytes per block of a received-fax download\n"
    "                          (default: 4096)\n"
    "  --password P            set the fax password (\"\" clears it; at most 31\n"
    "                          bytes)\n"
    "  --fax-number N          set the device's own fax number (at most 31\n"
    "                          bytes)\n"
    "  --receive-settings V    the value the device reports as its receive\n"
    "                          settings (default: 0)\n"
    "  --keep-jobs N           keep at most the last N sent jobs (default: 16;\n"
    "                          0 keeps none), in memory and in --state\n"
    "  --keep-job-bytes N      keep at most N bytes of sent jobs' data in all\n"
    "                          (default: 32M; suffixes K, M, G count in 1024s);\n"
    "                          older jobs go first, and a job whose data alone\n"
    "                          is larger keeps its record without its data\n"
    "  --socket-group GROUP    share the sockets with GROUP (a name or a number):\n"
    "                          mode 0660 and that group, as a printer's device\n"
    "                          node is shared; by default they are yours alone\n"
    "                          (mode 0600)\n"
    "  -h, --help              show this help and exit\n"
    "  --version               show the version and exit\n"
    "\n"
    "Numbers are decimal, or hexadecimal after 0x. --password and --fax-number\n"
    "apply over a state loaded from --state, and are then kept in it. An option\n"
    "may also be written --option=VALUE.\n"
    "\n"
    "A fax removed from the device stays removed while the state lives, even\n"
    "when --faxes presents it again, and no received fax is given a name used\n"
    "before. The device keeps at most one pending event of each kind (a new one\n"
    "of a kind already pending is merged into it), and drops a pending\n"
    "e_ReceivedFaxAvailable once it holds no received fax.\n"
    "\n"
    "Once serving, one line goes to standard output, naming both sockets:\n"
    "  ready fax=PATH ews=PATH\n"
    "Changes are saved to --state as they happen and once more on stopping.\n"
    "\n"
    "Exit status: 0 when stopped by a signal; 1 when the device cannot start\n"
    "(a live device of the same name is already serving, a directory that the\n"
    "library would not search, an unreadable state)\n"
    "or its state could not be saved on stopping; 2 for a bad command line.\n"
    "\n"
    "ENVIRONMENT\n"
    "  TESSALINE_DEVICE_DIR    the device directory when --dir is not given\n"
    "  XDG_RUNTIME_DIR         otherwise the device directory is\n"
    "                          $XDG_RUNTIME_DIR/tessaline, and failing both\n"
    "                          /run/tessaline\n"
    "\n"
    "Example:\n"
    "  tessaline-simd --dir /tmp/fax --state ~/.local/state/simfax \\\n"
    "      --loopback --fax-number 5550123 --password 1234 &\n"
    "  TESSALINE_DEVICE_DIR=/tmp/fax your-fax-program\n";

struct Options {
    std::string dir;
    std::string name = "sim0";
    std::string state;
    std::string faxes;
    bool loopback = false;
    bool any_job = false;
    std::optional<std::uint32_t> block_size;
    std::optional<std::string> password;
    std::optional<std::string> fax_number;
    std::optional<std::uint32_t> receive_settings;
    std::optional<gid_t> socket_group;
    std::string faults;
    // `ctl WORDS...`: a command for the device of --dir and --name.
    bool ctl = false;
    std::vector<std::string> ctl_words;
    std::size_t keep_jobs = sim::kDefaultKeptJobs;
    std::uint64_t keep_job_bytes = sim::kDefaultKeptJobBytes;
    bool help = false;
    bool version = false;
};

// A 32-bit number: decimal, or hexadecimal after 0x.
bool ParseU32(const std::string& text, std::uint32_t& out) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 10) return false;
    std::uint64_t v = 0;
    for (char c : digits) {
        int d = -1;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (hex && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        if (d < 0) return false;
        v = v * (hex ? 16 : 10) + static_cast<std::uint64_t>(d);
        if (v > 0xFFFFFFFFu) return false;
    }
    out = static_cast<std::uint32_t>(v);
    return true;
}

bool Reject(std::string& error, std::string text) {
    error = std::move(text);
    return false;
}

// False, with the complaint in `error`, for a command line that cannot run.
bool ParseOptions(int argc, char** argv, Options& o, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            o.help = true;
            continue;
        }
        if (arg == "--version") {
            o.version = true;
            continue;
        }
        if (arg == "ctl") {
            o.ctl = true;
            o.ctl_words.assign(argv + i + 1, argv + argc);
            break;
        }
        std::optional<std::string> inline_value;
        if (const std::size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            inline_value = arg.substr(eq + 1);
            arg.resize(eq);
        }
        if (arg == "--loopback") {
            if (inline_value) return Reject(error, "--loopback takes no value");
            o.loopback = true;
            continue;
        }
        if (arg == "--any-job") {
            if (inline_value) return Reject(error, "--any-job takes no value");
            o.any_job = true;
            continue;
        }
        static const char* const kWithValue[] = {"--dir",      "--name",       "--state",      "--faxes",
                                                 "--block-size", "--password", "--fax-number", "--receive-settings",
                                                 "--socket-group", "--keep-jobs", "--keep-job-bytes",
                                                 "--faults"};
        if (std::find_if(std::begin(kWithValue), std::end(kWithValue), [&](const char* k) { return arg == k; }) ==
            std::end(kWithValue)) {
            return Reject(error, "unknown option " + arg);
        }
        if (!inline_value && i + 1 >= argc) return Reject(error, arg + " needs a value");
        const std::string value = inline_value ? *inline_value : argv[++i];
        std::uint32_t number = 0;
        if (arg == "--dir" || arg == "--state" || arg == "--faxes") {
            if (value.empty()) return Reject(error, arg + " needs a directory");
            (arg == "--dir" ? o.dir : arg == "--state" ? o.state : o.faxes) = value;
        } else if (arg == "--faults") {
            if (value.empty()) return Reject(error, "--faults needs a file");
            o.faults = value;
        } else if (arg == "--name") {
            if (value.empty() || value == "." || value == ".." || value.find('/') != std::string::npos) {
                return Reject(error, "--name must be a plain file name");
            }
            o.name = value;
        } else if (arg == "--block-size") {
            if (!ParseU32(value, number) || number == 0) return Reject(error, "--block-size must be 1 or more");
            o.block_size = number;
        } else if (arg == "--keep-jobs") {
            if (!ParseU32(value, number)) return Reject(error, "--keep-jobs must be a count");
            o.keep_jobs = number;
        } else if (arg == "--keep-job-bytes") {
            std::string digits = value;
            std::uint64_t unit = 1;
            if (!digits.empty()) {
                const char last = static_cast<char>(std::toupper(static_cast<unsigned char>(digits.back())));
                unit = last == 'K' ? 1ull << 10 : last == 'M' ? 1ull << 20 : last == 'G' ? 1ull << 30 : 1;
                if (unit != 1) digits.pop_back();
            }
            if (!ParseU32(digits, number)) return Reject(error, "--keep-job-bytes must be a size (N, NK, NM or NG)");
            o.keep_job_bytes = number * unit;
        } else if (arg == "--socket-group") {
            if (const group* g = value.empty() ? nullptr : getgrnam(value.c_str())) {
                o.socket_group = g->gr_gid;
            } else if (ParseU32(value, number) && value.find_first_not_of("0123456789") == std::string::npos) {
                o.socket_group = static_cast<gid_t>(number);
            } else {
                return Reject(error, "--socket-group: no group named '" + value + "'");
            }
        } else if (arg == "--receive-settings") {
            if (!ParseU32(value, number)) return Reject(error, "--receive-settings must be a 32-bit number");
            o.receive_settings = number;
        } else {
            // Both fields hold 31 characters and a zero; a longer value would be
            // cut silently, and the host would then never match it.
            if (value.size() > 31) return Reject(error, arg + " holds at most 31 bytes");
            (arg == "--password" ? o.password : o.fax_number) = value;
        }
    }
    if (o.ctl) {
        // A command reaches the device of --dir and --name; nothing else
        // about serving applies to it.
        for (int i = 1; i < argc && std::strcmp(argv[i], "ctl") != 0; ++i) {
            const std::string arg = argv[i];
            const std::string key = arg.substr(0, arg.find('='));
            if (key != "--dir" && key != "--name") return Reject(error, "ctl takes only --dir and --name before it");
            if (arg.find('=') == std::string::npos) ++i;
        }
    }
    return true;
}

void Complain(const std::string& text) { std::fprintf(stderr, "%s: %s\n", kProgram, text.c_str()); }

// Creates `dir` and its missing parents with mode 0755 (a umask can only
// narrow it), owned by this process's user: the library searches a device
// directory only when nobody else can add entries to it. Existing
// directories are left as they are; the device checks them when it starts.
void CreateDirectories(const std::string& dir) {
    for (std::size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
        const std::string prefix = dir.substr(0, slash);
        if (!prefix.empty()) mkdir(prefix.c_str(), 0755);
        if (slash == std::string::npos) break;
    }
}

// Applies the command line to the firmware's state: the settings it
// presets and the faxes of the folder.
bool Prepare(const Options& o, sim::Firmware& fw, sim::StateStore* store) {
    sim::PersistentState state = fw.state().Snapshot();
    if (store) {
        bool found = false;
        if (!store->Load(state, found)) {
            Complain("the state in " + o.state + " cannot be used: " + store->error());
            return false;
        }
    }
    if (o.password) {
        std::memset(state.settings + offsetof(DEFAULT_FAX_SETTINGS, Password), 0, 32);
        std::memcpy(state.settings + offsetof(DEFAULT_FAX_SETTINGS, Password), o.password->data(),
                    o.password->size());
    }
    if (o.fax_number) {
        std::memset(state.settings + offsetof(DEFAULT_FAX_SETTINGS, FaxNumber), 0, 32);
        std::memcpy(state.settings + offsetof(DEFAULT_FAX_SETTINGS, FaxNumber), o.fax_number->data(),
                    o.fax_number->size());
    }
    if (!o.faxes.empty()) {
        std::vector<sim::ReceivedFax> faxes;
        std::vector<std::string> skipped;
        std::string error;
        if (!sim::LoadFaxFolder(o.faxes, faxes, skipped, error)) {
            Complain(error);
            return false;
        }
        for (const std::string& s : skipped) Complain("passed over " + s);
        // A removal is remembered only while the folder still holds the file:
        // a file that left the folder and came back is a new fax.
        std::vector<std::string> removed;
        for (const std::string& name : state.removed)
            if (std::any_of(faxes.begin(), faxes.end(), [&](const sim::ReceivedFax& f) { return f.name == name; }))
                removed.push_back(name);
        state.removed = std::move(removed);
        for (sim::ReceivedFax& fax : faxes) {
            const bool kept = std::any_of(state.received.begin(), state.received.end(),
                                          [&](const sim::ReceivedFax& f) { return f.name == fax.name; });
            const bool was_removed = std::find(state.removed.begin(), state.removed.end(), fax.name) != state.removed.end();
            if (!kept && !was_removed) state.received.push_back(std::move(fax));
        }
    }
    fw.state().SetJobBounds(o.keep_jobs, o.keep_job_bytes);
    fw.state().Restore(std::move(state));
    if (o.block_size) fw.state().SetBlockSize(*o.block_size);
    if (o.receive_settings) fw.state().SetReceiveSettings(*o.receive_settings);
    fw.state().SetLoopback(o.loopback);
    fw.state().SetChecksJobs(!o.any_job);
    fw.clock().SetRunning(true);
    return true;
}

int Run(const Options& o) {
    // The signals that stop the daemon are taken from a descriptor by the
    // main thread; blocked before any thread starts, so every thread
    // inherits the mask and none is interrupted by them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const int signal_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC);
    const int changed_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (signal_fd < 0 || changed_fd < 0) {
        Complain(std::string("cannot watch for signals: ") + std::strerror(errno));
        return 1;
    }

    const std::string dir = o.dir.empty() ? plat::DeviceDirectory() : o.dir;
    CreateDirectories(dir);  // a failure shows when the device starts

    sim::SimDevice device(dir, o.name);
    if (o.socket_group) device.ShareWithGroup(*o.socket_group);
    sim::Firmware& fw = device.firmware();
    // Recording keeps every byte for tests to inspect; a daemon would grow
    // without bound.
    fw.traffic().SetRecording(false);

    sim::StateStore store;
    sim::StateStore* persisting = nullptr;
    if (!o.state.empty()) {
        if (!store.Open(o.state)) {
            Complain(store.error());
            return 1;
        }
        persisting = &store;
    }
    if (!Prepare(o, fw, persisting)) return 1;
    std::vector<sim::Rule> start_rules;
    if (!o.faults.empty()) {
        std::string error;
        if (!sim::ctl::LoadRules(o.faults, start_rules, error)) {
            Complain(error);
            return 1;
        }
    }
    // Arms the start-up rules, and takes the state `ctl reset` returns to.
    sim::ControlService control(fw, std::move(start_rules));
    sim::ControlServer control_server(control);
    // The state is saved whole before anyone can connect: the options and
    // the folder's faxes are part of it, and an unwritable directory shows
    // now rather than at the first change.
    if (persisting && !store.Save(fw.state().Snapshot())) {
        Complain("cannot save the state: " + store.error());
        return 1;
    }

    // The hook runs on the serving thread under the firmware's lock: it only
    // marks the state changed and wakes this thread, which saves.
    std::atomic<bool> dirty{false};
    if (persisting) {
        fw.state().SetOnStateChange([&dirty, changed_fd] {
            dirty = true;
            std::uint64_t one = 1;
            ssize_t ignored = write(changed_fd, &one, sizeof(one));
            (void)ignored;
        });
    }

    if (!device.Start()) {
        Complain(device.error());
        fw.state().SetOnStateChange(nullptr);
        return 1;
    }
    // The control channel, as private as the device's sockets.
    if (!control_server.Start(sim::ControlEndpoint(dir, o.name), o.socket_group ? static_cast<long>(*o.socket_group) : -1)) {
        Complain(control_server.error());
        device.Stop();
        fw.state().SetOnStateChange(nullptr);
        return 1;
    }
    std::printf("ready fax=%s ews=%s\n", device.fax_path().c_str(), device.ews_path().c_str());
    std::fflush(stdout);

    bool save_failed = false;
    auto save = [&] {
        if (!dirty.exchange(false)) return;
        if (store.Save(fw.state().Snapshot())) {
            save_failed = false;
            return;
        }
        if (!save_failed) Complain("cannot save the state (trying again): " + store.error());
        save_failed = true;
        dirty = true;
    };

    int status = 0;
    for (;;) {
        pollfd fds[2] = {{signal_fd, POLLIN, 0}, {changed_fd, POLLIN, 0}};
        const int rc = poll(fds, 2, save_failed ? kSaveRetryMs : -1);
        if (rc < 0 && errno != EINTR) {
            Complain(std::string("poll: ") + std::strerror(errno));
            status = 1;
            break;
        }
        if (fds[0].revents & POLLIN) break;
        if (fds[1].revents & POLLIN) {
            std::uint64_t count;
            ssize_t ignored = read(changed_fd, &count, sizeof(count));
            (void)ignored;
        }
        if (persisting) save();
    }

    // Nothing changes once the device has stopped; the last change is saved.
    control_server.Stop();
    device.Stop();
    fw.state().SetOnStateChange(nullptr);
    close(changed_fd);
    close(signal_fd);
    if (persisting) {
        save();
        if (save_failed) {
            Complain("the last changes were not saved: " + store.error());
            return 1;
        }
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error)) {
        Complain(error);
        std::fprintf(stderr, "Run '%s --help' for usage.\n", kProgram);
        return 2;
    }
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (options.version) {
        std::printf("%s %s\n", kProgram, TESSALINE_VERSION);
        return 0;
    }
    if (options.ctl) {
        const std::string dir = options.dir.empty() ? plat::DeviceDirectory() : options.dir;
        const std::string endpoint = sim::ControlEndpoint(dir, options.name);
        return sim::ctl::RunClient(options.ctl_words, options.name + " in " + dir, endpoint,
                                   [&](const sim::Bytes& request, sim::Bytes& reply, std::string& error) {
                                       return sim::ControlExchange(endpoint, request, reply, error);
                                   });
    }
    return Run(options);
}
