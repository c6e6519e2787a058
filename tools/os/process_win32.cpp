// The tool on Windows: a host of Tessaline.dll as any Windows program is,
// through COM and the classes as registered; its arguments in the system's
// ANSI code page, which the interface's strings use; and a console that
// shows that code page's text as it is.
#include "tools/host.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include <tessaline/guid_text.h>

#include "tools/json_output.h"

namespace cli {
namespace {

bool g_com = false;
UINT g_console_cp = 0;  // the console's output code page before, or 0

}  // namespace

bool StartHost(int, char**, std::vector<std::string>& args, std::string& error) {
    // The arguments from the command line itself: the runtime's argv has
    // already replaced what the ANSI code page cannot spell, and a file name
    // so changed would name another file.
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) {
        error = "cannot read the command line";
        return false;
    }
    args.clear();
    bool ok = true;
    for (int i = 1; i < count && ok; ++i) {
        BOOL lossy = FALSE;
        const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide[i], -1, nullptr, 0, nullptr, &lossy);
        std::string arg(size > 0 ? size - 1 : 0, '\0');
        if (size > 1) WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide[i], -1, arg.data(), size, nullptr, &lossy);
        if (size <= 0 || lossy) {
            error = "argument " + std::to_string(i) + " has characters that the system's code page (" +
                    std::to_string(GetACP()) + ") cannot hold, and file names and texts reach the device in it";
            ok = false;
        }
        args.push_back(arg);
    }
    LocalFree(wide);
    if (!ok) return false;

    g_com = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    // The device's texts and the file names are in the ANSI code page; a
    // console shows the OEM one unless told otherwise.
    DWORD mode = 0;
    if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) || GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode)) {
        g_console_cp = GetConsoleOutputCP();
        if (g_console_cp == GetACP() || !SetConsoleOutputCP(GetACP())) g_console_cp = 0;
    }
    return true;
}

void StopHost() {
    std::fflush(stdout);
    std::fflush(stderr);
    if (g_console_cp) SetConsoleOutputCP(g_console_cp);
    if (g_com) CoUninitialize();
    g_com = false;
}

HRESULT CreateHostObject(REFCLSID clsid, REFIID iid, void** out) {
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, out);
}

void SetEnvironmentValue(const char* name, const char* value) {
    _putenv_s(name, value);  // the runtime's copy, which the DLL reads
    SetEnvironmentVariableA(name, value);
}

void UseBinary(std::FILE* stream) { _setmode(_fileno(stream), _O_BINARY); }

bool TextToUtf8(const std::string& text, std::string& utf8) {
    utf8.clear();
    if (text.empty()) return true;
    if (text.size() > 0x3FFFFFFF) return false;
    const int n = static_cast<int>(text.size());
    // Only a text that the code page maps to characters and back to the same
    // bytes has a UTF-8 form: anything else keeps its bytes in the hex form.
    const int size = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), n, nullptr, 0);
    if (size <= 0) return false;
    std::wstring wide(size, L'\0');
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), n, wide.data(), size);
    BOOL lossy = FALSE;
    const int back = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), size, nullptr, 0, nullptr, &lossy);
    std::string again(back > 0 ? back : 0, '\0');
    if (back > 0) WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), size, again.data(), back, nullptr, &lossy);
    if (lossy || again != text) return false;
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return false;
    utf8.assign(length, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, utf8.data(), length, nullptr, nullptr);
    return IsUtf8(utf8);
}

bool ReadHidden(const char* prompt, std::string& line) {
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD saved = 0;
    const bool console = GetConsoleMode(in, &saved) != 0;
    if (console) {
        SetConsoleMode(in, saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
        std::fputs(prompt, stderr);
        std::fflush(stderr);
    }
    const bool got = static_cast<bool>(std::getline(std::cin, line)) || !line.empty();
    if (console) {
        SetConsoleMode(in, saved);
        std::fputs("\n", stderr);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return got;
}

std::string CheckInputFile(const std::string& file) {
    struct _stat64 st {};
    if (_stat64(file.c_str(), &st) != 0) return "cannot read " + file + ": " + std::strerror(errno);
    if ((st.st_mode & _S_IFMT) == _S_IFDIR) return "cannot read " + file + ": it is a directory";
    if ((st.st_mode & _S_IFMT) != _S_IFREG) return "cannot read " + file + ": not a regular file";
    std::FILE* f = std::fopen(file.c_str(), "rb");
    if (!f) return "cannot read " + file + ": " + std::strerror(errno);
    std::fclose(f);
    return {};
}

std::string CheckOutputPath(const std::string& path) {
    struct _stat64 st {};
    if (_stat64(path.c_str(), &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFDIR) return path + " is a directory";
    const std::string dir = DirectoryOf(path);
    if (_stat64(dir.c_str(), &st) != 0) return "cannot write " + path + ": " + dir + ": " + std::strerror(errno);
    if ((st.st_mode & _S_IFMT) != _S_IFDIR) return "cannot write " + path + ": " + dir + " is not a directory";
    return {};
}

void GiveDefaultMode(const std::string&) {}

std::string DefaultJournalPath() {
    const char* local = std::getenv("LOCALAPPDATA");
    return local && *local ? std::string(local) + "\\Tessaline\\journal.jsonl" : std::string();
}

std::string AppendLine(const std::string& path, const std::string& line) {
    for (std::size_t sep = path.find_first_of("/\\", 3); sep != std::string::npos; sep = path.find_first_of("/\\", sep + 1))
        CreateDirectoryA(path.substr(0, sep).c_str(), nullptr);
    // Appending access alone: every write goes to the end, in one piece.
    const HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "error " + std::to_string(GetLastError());
    DWORD written = 0;
    const BOOL ok = WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    const DWORD why = GetLastError();
    CloseHandle(file);
    if (!ok || written != line.size()) return "error " + std::to_string(why);
    return {};
}

bool StandardErrorIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

bool IsStandardOutput(const std::string& path) {
    BY_HANDLE_FILE_INFORMATION out {}, target {};
    if (!GetFileInformationByHandle(GetStdHandle(STD_OUTPUT_HANDLE), &out)) return false;
    const HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool got = GetFileInformationByHandle(file, &target) != 0;
    CloseHandle(file);
    return got && out.dwVolumeSerialNumber == target.dwVolumeSerialNumber &&
           out.nFileIndexHigh == target.nFileIndexHigh && out.nFileIndexLow == target.nFileIndexLow;
}

bool LocalTime(std::time_t t, std::tm& out) { return localtime_s(&out, &t) == 0; }

HostThread::HostThread() : joined_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
HostThread::~HostThread() {
    if (joined_) CoUninitialize();
}

PathKind StatPath(const std::string& path, long long* size) {
    struct _stat64 st {};
    if (_stat64(path.c_str(), &st) != 0) return PathKind::Missing;
    if ((st.st_mode & _S_IFMT) == _S_IFDIR) return PathKind::Directory;
    if ((st.st_mode & _S_IFMT) != _S_IFREG) return PathKind::Other;
    if (size) *size = static_cast<long long>(st.st_size);
    return PathKind::Regular;
}

std::string ResolvedPath(const std::string& path) {
    char full[MAX_PATH];
    const DWORD n = GetFullPathNameA(path.c_str(), sizeof(full), full, nullptr);
    return n == 0 || n >= sizeof(full) ? std::string() : std::string(full, n);
}

std::string JoinPath(const std::string& dir, const std::string& name) {
    // "C:" names the drive's current directory: its files follow it directly.
    const bool ends = !dir.empty() && (dir.back() == '\\' || dir.back() == '/' || (dir.size() == 2 && dir[1] == ':'));
    return ends ? dir + name : dir + "\\" + name;
}

std::string DirectoryOf(const std::string& path) {
    // Both separators name directories; "C:" alone is the drive's current
    // directory, "C:\" its root.
    const std::size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) return path.size() >= 2 && path[1] == ':' ? path.substr(0, 2) : ".";
    return path.substr(0, slash == 0 || path[slash - 1] == ':' ? slash + 1 : slash);
}

std::string CheckStoreDirectory(const std::string& dir) {
    const DWORD attributes = GetFileAttributesA(dir.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return std::strerror(ENOENT);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return "not a directory";
    return {};
}

std::string ChannelWhere(const TSL_DEVICE_CLASS& cls, const char* variable) {
    if (const char* named = std::getenv(variable); named && *named)
        return std::string("the device named by ") + variable + " (" + named + ")";
    return "a present device interface of class " + tessaline::GuidText(cls);
}

const char* EnvironmentHelp() {
    return "  TESSALINE_FAX_DEVICE   device path of the fax channel, skipping discovery\n"
           "  TESSALINE_EWS_DEVICE   device path of the EWS channel, skipping discovery\n"
           "  TESSALINE_DIAGNOSTICS  the library's discovery messages: shown on standard error when stderr or with\n"
           "                         --verbose, dropped otherwise\n"
           "  TESSALINE_JOURNAL      the journal's file (default %LOCALAPPDATA%\\Tessaline\\journal.jsonl); none\n"
           "                         turns it off\n"
           "Tessaline.dll is used as registered (regsvr32, or the installer package).\n";
}

const char* StopRequestText() { return "Ctrl+C, Ctrl+Break or the console's closing"; }

const char* HookRunText() { return "with cmd.exe for each fax stored, the file's path as its last argument"; }

const char* DevicesHelp() {
    return "Shows the present device interfaces of each channel's class, as the device-installation services\n"
           "report them, and which one an operation would use.";
}

}  // namespace cli
