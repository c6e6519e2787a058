// The tool on Windows: a host of Tessaline.dll as any Windows program is,
// through COM and the classes as registered; its arguments in the system's
// ANSI code page, which the interface's strings use; and a console that
// shows that code page's text as it is.
#include "tools/host.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdlib>

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

std::u32string TextCharacters(const std::string& text) {
    std::u32string out;
    if (text.empty() || text.size() > 0x7FFFFFFF) return out;
    const int size = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(size > 0 ? size : 0, L'\0');
    if (size > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    for (std::size_t i = 0; i < wide.size(); ++i) {
        const char32_t unit = static_cast<char16_t>(wide[i]);
        if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] < 0xE000) {
            out += 0x10000 + ((unit - 0xD800) << 10) + (static_cast<char16_t>(wide[++i]) - 0xDC00);
        } else {
            out += unit;
        }
    }
    return out;
}

std::string ChannelWhere(const plat::InterfaceClass& cls, const char* variable) {
    if (const char* named = std::getenv(variable); named && *named)
        return std::string("the device named by ") + variable + " (" + named + ")";
    char guid[39];
    std::snprintf(guid, sizeof(guid), "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(cls.Data1), cls.Data2, cls.Data3, cls.Data4[0], cls.Data4[1],
                  cls.Data4[2], cls.Data4[3], cls.Data4[4], cls.Data4[5], cls.Data4[6], cls.Data4[7]);
    return std::string("a present device interface of class ") + guid;
}

const char* EnvironmentHelp() {
    return "  TESSALINE_FAX_DEVICE   device path of the fax channel, skipping discovery\n"
           "  TESSALINE_EWS_DEVICE   device path of the EWS channel, skipping discovery\n"
           "  TESSALINE_DIAGNOSTICS  where discovery messages go: stderr (this tool's default) or none\n"
           "Tessaline.dll is used as registered (regsvr32, or the installer package).\n";
}

const char* DevicesHelp() {
    return "Shows the present device interfaces of each channel's class, as the device-installation services\n"
           "report them, and which one an operation would use.";
}

}  // namespace cli
