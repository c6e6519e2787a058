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
#include "sim/persist.h"
#include "sim/sim_device.h"
#include "sim/simd_options.h"

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
bool Prepare(const sim::SimdOptions& o, sim::Firmware& fw, sim::StateStore* store) {
    sim::PersistentState state = fw.Snapshot();
    if (store) {
        bool found = false;
        if (!store->Load(state, found)) {
            Complain("the state in " + o.state + " cannot be used: " + store->error());
            return false;
        }
    }
    sim::PresetSettings(o, state.settings);
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
    fw.Restore(std::move(state));
    sim::ApplyBehaviour(o, fw);
    return true;
}

int Run(const sim::SimdOptions& o, std::optional<gid_t> socket_group) {
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
    if (socket_group) device.ShareWithGroup(*socket_group);
    sim::Firmware& fw = device.firmware();

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
    // The state is saved whole before anyone can connect: the options and
    // the folder's faxes are part of it, and an unwritable directory shows
    // now rather than at the first change.
    if (persisting && !store.Save(fw.Snapshot())) {
        Complain("cannot save the state: " + store.error());
        return 1;
    }

    // The hook runs on the serving thread under the firmware's lock: it only
    // marks the state changed and wakes this thread, which saves.
    std::atomic<bool> dirty{false};
    if (persisting) {
        fw.SetOnStateChange([&dirty, changed_fd] {
            dirty = true;
            std::uint64_t one = 1;
            ssize_t ignored = write(changed_fd, &one, sizeof(one));
            (void)ignored;
        });
    }

    if (!device.Start()) {
        Complain(device.error());
        fw.SetOnStateChange(nullptr);
        return 1;
    }
    std::printf("ready fax=%s ews=%s\n", device.fax_path().c_str(), device.ews_path().c_str());
    std::fflush(stdout);

    bool save_failed = false;
    auto save = [&] {
        if (!dirty.exchange(false)) return;
        if (store.Save(fw.Snapshot())) {
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
    device.Stop();
    fw.SetOnStateChange(nullptr);
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

// The group of --socket-group: a group's name, or a number.
bool FindGroup(const std::string& value, gid_t& gid) {
    if (const group* g = getgrnam(value.c_str())) {
        gid = g->gr_gid;
        return true;
    }
    std::uint32_t number = 0;
    if (value.find_first_not_of("0123456789") != std::string::npos || !sim::ParseSimdNumber(value, number))
        return false;
    gid = static_cast<gid_t>(number);
    return true;
}

int BadCommandLine(const std::string& text) {
    Complain(text);
    std::fprintf(stderr, "Run '%s --help' for usage.\n", kProgram);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    sim::SimdOptions options;
    std::string error;
    if (!sim::ParseSimdOptions(sim::SimdProgram::kPosix, argc, argv, options, error)) return BadCommandLine(error);
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (options.version) {
        std::printf("%s %s\n", kProgram, TESSALINE_VERSION);
        return 0;
    }
    std::optional<gid_t> socket_group;
    if (options.socket_group) {
        gid_t gid = 0;
        if (!FindGroup(*options.socket_group, gid))
            return BadCommandLine("--socket-group: no group named '" + *options.socket_group + "'");
        socket_group = gid;
    }
    return Run(options, socket_group);
}
