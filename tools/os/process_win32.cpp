// The tool on Windows: a host of Tessaline.dll as any Windows program is,
// through COM and the classes as registered; its arguments in the system's
// ANSI code page, which the interface's strings use; and a console that
// shows that code page's text as it is; the console's stop events, which
// Windows delivers on a thread of their own.
#include "tools/os/process.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>

#include "tools/json_output.h"

namespace cli {
namespace {

bool g_com = false;
UINT g_console_cp = 0;  // the console's output code page before, or 0


std::mutex g_stop_mu;
std::function<void(int)> g_on_stop;

BOOL WINAPI OnConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT: {
            // Called with the lock held: the call reaches objects of the
            // job, and RestoreStopSignals, which the job's end calls before
            // they go, waits for it to return.
            std::lock_guard<std::mutex> lock(g_stop_mu);
            if (!g_on_stop) return FALSE;
            g_on_stop(event == CTRL_CLOSE_EVENT ? SIGTERM : SIGINT);
            return TRUE;
        }
        default:
            return FALSE;
    }
}

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

bool StandardErrorIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

bool LocalTime(std::time_t t, std::tm& out) { return localtime_s(&out, &t) == 0; }

HostThread::HostThread() : joined_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
HostThread::~HostThread() {
    if (joined_) CoUninitialize();
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

void OnStopSignals(std::function<void(int)> on_stop) {
    {
        std::lock_guard<std::mutex> lock(g_stop_mu);
        g_on_stop = std::move(on_stop);
    }
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void RestoreStopSignals() {
    SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    std::lock_guard<std::mutex> lock(g_stop_mu);
    g_on_stop = nullptr;
}

}  // namespace cli
