// The tool on POSIX systems: a host of libtessaline.so through its
// DllGetClassObject, with devices in the device directory.
#include "tools/host.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "platform/device_directory.h"
#include "tools/com_ref.h"
#include "tools/json_output.h"

namespace cli {

bool StartHost(int argc, char** argv, std::vector<std::string>& args, std::string&) {
    args.assign(argv + 1, argv + argc);
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
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (stat(dir.c_str(), &st) != 0) return "cannot write " + path + ": " + dir + ": " + std::strerror(errno);
    if (!S_ISDIR(st.st_mode)) return "cannot write " + path + ": " + dir + " is not a directory";
    if (access(dir.c_str(), W_OK | X_OK) != 0) return "cannot write " + path + ": " + dir + ": " + std::strerror(errno);
    return {};
}

bool IsStandardOutput(const std::string& path) {
    struct stat target {}, standard_output {};
    return stat(path.c_str(), &target) == 0 && fstat(STDOUT_FILENO, &standard_output) == 0 &&
           target.st_dev == standard_output.st_dev && target.st_ino == standard_output.st_ino;
}

bool FaxDevicePresent() {
    if (const char* named = std::getenv("TESSALINE_FAX_DEVICE"); named && *named) {
        struct stat st {};
        return stat(named, &st) == 0;
    }
    std::vector<plat::DeviceEntry> entries;
    plat::ListDeviceInterfaces(GUID_DEVINTERFACE_FAX_CHANNEL, entries);
    for (const auto& e : entries)
        if (e.state == plat::DeviceState::Live) return true;
    return false;
}

std::string ChannelWhere(const plat::InterfaceClass& cls, const char* variable) {
    if (const char* named = std::getenv(variable); named && *named)
        return std::string("the device named by ") + variable + " (" + named + ")";
    return "a device socket in " + plat::ClassDirectory(cls);
}

const char* EnvironmentHelp() {
    return "  TESSALINE_DEVICE_DIR   device directory (default $XDG_RUNTIME_DIR/tessaline, else /run/tessaline)\n"
           "  TESSALINE_FAX_DEVICE   device path of the fax channel, skipping discovery\n"
           "  TESSALINE_EWS_DEVICE   device path of the EWS channel, skipping discovery\n"
           "  TESSALINE_DIAGNOSTICS  where discovery messages go: stderr (this tool's default) or none\n";
}

const char* DevicesHelp() {
    return "Shows where discovery looks, the devices present in each channel class, and which one an\n"
           "operation would use. A directory that others can write, or that belongs to another user, is not\n"
           "searched; it is shown with the reason.";
}

}  // namespace cli
