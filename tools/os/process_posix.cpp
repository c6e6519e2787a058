// The tool on POSIX systems: a host of libtessaline.so through its
// DllGetClassObject, with devices in the device directory.
#include "tools/host.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include <tessaline/device_listing.h>

#include "tools/com_ref.h"
#include "tools/json_output.h"

namespace cli {

bool StartHost(int argc, char** argv, std::vector<std::string>& args, std::string&) {
    args.assign(argv + 1, argv + argc);
    GiveDefaultMode("");  // reads the umask while the process has one thread
    return true;
}

void StopHost() {}

HRESULT CreateHostObject(REFCLSID clsid, REFIID iid, void** out) {
    *out = nullptr;
    Ref<IClassFactory> factory;
    HRESULT hr = DllGetClassObject(clsid, IID_IClassFactory, factory.out());
    if (FAILED(hr)) return hr;
    return factory->CreateInstance(nullptr, iid, out);
}

void SetEnvironmentValue(const char* name, const char* value) { setenv(name, value, 1); }

void UseBinary(std::FILE*) {}

bool TextToUtf8(const std::string& text, std::string& utf8) {
    utf8 = text;
    return IsUtf8(text);
}

bool ReadHidden(const char* prompt, std::string& line) {
    termios saved {};
    const bool terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
        std::fputs(prompt, stderr);
        std::fflush(stderr);
    }
    const bool got = static_cast<bool>(std::getline(std::cin, line)) || !line.empty();
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        std::fputs("\n", stderr);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return got;
}

std::string CheckInputFile(const std::string& file) {
    struct stat st {};
    if (stat(file.c_str(), &st) != 0) {
        const int why = errno;
        struct stat link {};
        if (why == ENOENT && lstat(file.c_str(), &link) == 0 && S_ISLNK(link.st_mode))
            return "cannot read " + file + ": a symbolic link to a file that does not exist";
        return "cannot read " + file + ": " + std::strerror(why);
    }
    if (S_ISDIR(st.st_mode)) return "cannot read " + file + ": it is a directory";
    if (!S_ISREG(st.st_mode)) return "cannot read " + file + ": not a regular file";
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "cannot read " + file + ": " + std::strerror(errno);
    close(fd);
    return {};
}

std::string CheckOutputPath(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return path + " is a directory";
    const std::string dir = DirectoryOf(path);
    if (stat(dir.c_str(), &st) != 0) return "cannot write " + path + ": " + dir + ": " + std::strerror(errno);
    if (!S_ISDIR(st.st_mode)) return "cannot write " + path + ": " + dir + " is not a directory";
    if (access(dir.c_str(), W_OK | X_OK) != 0) return "cannot write " + path + ": " + dir + ": " + std::strerror(errno);
    return {};
}

std::string DefaultJournalPath() {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state == '/')
        return std::string(state) + "/tessaline/journal.jsonl";
    if (const char* home = std::getenv("HOME"); home && *home) return std::string(home) + "/.local/state/tessaline/journal.jsonl";
    return {};
}

std::string AppendLine(const std::string& path, const std::string& line) {
    // The directories up to the file, for the user alone (it names who was
    // faxed).
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string dir = path.substr(0, slash);
        if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return dir + ": " + std::strerror(errno);
    }
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return std::strerror(errno);
    const ssize_t n = write(fd, line.data(), line.size());
    const int why = errno;
    close(fd);
    if (n != static_cast<ssize_t>(line.size())) return n < 0 ? std::strerror(why) : "written in part";
    return {};
}

void GiveDefaultMode(const std::string& path) {
    // The umask can only be read by setting it: once, before any thread of
    // the command's own runs (the first call comes from StartHost).
    static const mode_t mask = [] {
        const mode_t m = umask(022);
        umask(m);
        return m;
    }();
    if (!path.empty()) chmod(path.c_str(), 0666 & ~mask);
}

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

bool IsStandardOutput(const std::string& path) {
    struct stat target {}, standard_output {};
    return stat(path.c_str(), &target) == 0 && fstat(STDOUT_FILENO, &standard_output) == 0 &&
           target.st_dev == standard_output.st_dev && target.st_ino == standard_output.st_ino;
}

bool LocalTime(std::time_t t, std::tm& out) { return localtime_r(&t, &out) != nullptr; }

HostThread::HostThread() {}
HostThread::~HostThread() {}

PathKind StatPath(const std::string& path, long long* size) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return PathKind::Missing;
    if (S_ISDIR(st.st_mode)) return PathKind::Directory;
    if (!S_ISREG(st.st_mode)) return PathKind::Other;
    if (size) *size = static_cast<long long>(st.st_size);
    return PathKind::Regular;
}

std::string ResolvedPath(const std::string& path) {
    char* real = realpath(path.c_str(), nullptr);
    if (!real) return {};
    std::string resolved = real;
    std::free(real);
    return resolved;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
    return !dir.empty() && dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string CheckStoreDirectory(const std::string& dir) {
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0) return std::strerror(errno);
    if (!S_ISDIR(st.st_mode)) return "not a directory";
    if (access(dir.c_str(), W_OK | X_OK) != 0) return std::strerror(errno);
    return {};
}

bool NotPermitted(const std::string& path, std::string& detail) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || access(path.c_str(), R_OK | W_OK) == 0 || errno != EACCES) return false;
    char mode[8];
    std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(st.st_mode & 07777));
    const passwd* owner = getpwuid(st.st_uid);
    const group* grp = getgrgid(st.st_gid);
    detail = std::string("mode ") + mode + ", owner " + (owner ? owner->pw_name : std::to_string(st.st_uid)) +
             ", group " + (grp ? grp->gr_name : std::to_string(st.st_gid));
    return true;
}

FaxDeviceLook LookForFaxDevice() {
    FaxDeviceLook look;
    if (const char* named = std::getenv("TESSALINE_FAX_DEVICE"); named && *named) {
        struct stat st {};
        if (stat(named, &st) != 0) return look;
        look.path = named;
        look.kind = NotPermitted(named, look.detail) ? FaxDeviceLook::Kind::NotPermitted : FaxDeviceLook::Kind::Present;
        return look;
    }
    // The library's own listing: the device it names is the one the call
    // that failed would have opened.
    const tessaline::DeviceListing listing = tessaline::ListDevices(GUID_DEVINTERFACE_FAX_CHANNEL);
    if (listing.outcome == tessaline::ListingOutcome::Untrusted) {
        look.kind = FaxDeviceLook::Kind::NotSearched;
        look.detail = listing.refusal;
        return look;
    }
    if (listing.would_use < 0) return look;
    const tessaline::ListedDevice& used = listing.devices[static_cast<std::size_t>(listing.would_use)];
    look.path = used.path;
    if (used.state == tessaline::DeviceState::Live)
        look.kind = FaxDeviceLook::Kind::Present;
    else if (NotPermitted(used.path, look.detail))
        look.kind = FaxDeviceLook::Kind::NotPermitted;
    else
        look.kind = FaxDeviceLook::Kind::NotOpened;
    return look;
}

LockProbe ProbeAccessLock() {
    switch (tessaline::ProbeAccessLock()) {
        case tessaline::AccessLockState::Free:
            return LockProbe::Free;
        case tessaline::AccessLockState::Held:
            return LockProbe::Held;
        case tessaline::AccessLockState::Abandoned:
            return LockProbe::Abandoned;
        case tessaline::AccessLockState::Unavailable:
            break;
    }
    return LockProbe::Unavailable;
}

std::string ChannelWhere(const TSL_DEVICE_CLASS& cls, const char* variable) {
    if (const char* named = std::getenv(variable); named && *named)
        return std::string("the device named by ") + variable + " (" + named + ")";
    return "a device socket in " + tessaline::ClassDirectory(cls);
}

const char* EnvironmentHelp() {
    return "  TESSALINE_DEVICE_DIR   device directory (default $XDG_RUNTIME_DIR/tessaline, else /run/tessaline)\n"
           "  TESSALINE_FAX_DEVICE   device path of the fax channel, skipping discovery\n"
           "  TESSALINE_EWS_DEVICE   device path of the EWS channel, skipping discovery\n"
           "  TESSALINE_DIAGNOSTICS  the library's discovery messages: shown on standard error when stderr or with\n"
           "                         --verbose, dropped otherwise\n"
           "  TESSALINE_JOURNAL      the journal's file (default $XDG_STATE_HOME/tessaline/journal.jsonl, else\n"
           "                         ~/.local/state/tessaline/journal.jsonl); none turns it off\n";
}

const char* StopRequestText() { return "SIGINT or SIGTERM"; }

const char* HookRunText() { return "with sh for each fax stored, the file's path as $1"; }

const char* DevicesHelp() {
    return "Shows where discovery looks, the devices present in each channel class, and which one an\n"
           "operation would use. A directory that others can write, or that belongs to another user, is not\n"
           "searched; it is shown with the reason. A device socket this user may not open is shown as not\n"
           "permitted, with its mode and owners (its server shares it with a group: tessaline-simd\n"
           "--socket-group GROUP).";
}

}  // namespace cli
