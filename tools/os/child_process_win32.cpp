// What the receive job needs of Windows: hard links (a copy where the file
// system has none) that never replace a file, FlushFileBuffers, a hook run
// through cmd.exe, and the console's stop events, which Windows delivers on
// a thread of their own.
#include "tools/receive_platform.h"

#include <windows.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace cli {
namespace {

int ErrnoOf(DWORD error) {
    switch (error) {
        case ERROR_ALREADY_EXISTS:
        case ERROR_FILE_EXISTS:
            return EEXIST;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return EACCES;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        default:
            return EIO;
    }
}

bool Flush(const std::string& path) {
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool ok = FlushFileBuffers(file) != 0;
    CloseHandle(file);
    return ok;
}

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

// An inheritable copy of one of this process's standard handles, or null.
HANDLE Inheritable(DWORD which) {
    const HANDLE h = GetStdHandle(which);
    HANDLE copy = nullptr;
    if (h == nullptr || h == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return nullptr;
    return copy;
}

}  // namespace

bool PutInPlace(const std::string& temp, const std::string& target) {
    if (!Flush(temp)) {
        errno = ErrnoOf(GetLastError());
        return false;
    }
    // Neither a hard link nor a copy that may fail when the name exists ever
    // replaces a file, so a name that appeared meanwhile is kept.
    if (CreateHardLinkA(target.c_str(), temp.c_str(), nullptr)) return true;
    DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS && CopyFileA(temp.c_str(), target.c_str(), TRUE)) {
        Flush(target);
        return true;
    }
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) error = GetLastError();
    errno = ErrnoOf(error);
    return false;
}

bool FileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool IsDirectory(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

int RunHook(const std::string& command, const std::string& path,
            const std::vector<std::pair<std::string, std::string>>& env, double timeout_seconds,
            const std::function<bool()>& stop, bool& ended) {
    ended = false;
    // The child's environment block: this process's, the job's values
    // replacing any of the same name (names compare without case on
    // Windows), then the job's.
    std::string block;
    if (char* strings = GetEnvironmentStringsA()) {
        for (const char* e = strings; *e; e += std::strlen(e) + 1) {
            bool replaced = false;
            for (const auto& [key, value] : env)
                if (_strnicmp(e, key.c_str(), key.size()) == 0 && e[key.size()] == '=') replaced = true;
            if (!replaced) block.append(e).push_back('\0');
        }
        FreeEnvironmentStringsA(strings);
    }
    for (const auto& [key, value] : env) block.append(key + "=" + value).push_back('\0');
    block.push_back('\0');

    // cmd.exe /s /c "COMMAND "PATH"": the outer quotes are removed and the
    // rest runs as typed, the fax's path its last argument.
    std::string line = "cmd.exe /d /s /c \"" + command + " \"" + path + "\"\"";
    const HANDLE in = Inheritable(STD_INPUT_HANDLE), err = Inheritable(STD_ERROR_HANDLE);
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = err;  // the job's own output stays one line per fax
    si.hStdError = err;
    PROCESS_INFORMATION pi{};
    std::fflush(stdout);
    std::fflush(stderr);
    const BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, block.data(), nullptr, &si, &pi);
    if (in) CloseHandle(in);
    if (err) CloseHandle(err);
    if (!started) return -1;
    CloseHandle(pi.hThread);
    // Waits in steps, watching the hook's time and the job's stop.
    const ULONGLONG began = GetTickCount64();
    while (WaitForSingleObject(pi.hProcess, 50) == WAIT_TIMEOUT) {
        const bool over = timeout_seconds > 0 && (GetTickCount64() - began) >= timeout_seconds * 1000;
        if (over || (stop && stop())) {
            ended = true;
            TerminateProcess(pi.hProcess, 1);
            WaitForSingleObject(pi.hProcess, INFINITE);
            break;
        }
    }
    DWORD code = 0;
    const bool got = GetExitCodeProcess(pi.hProcess, &code) != 0;
    CloseHandle(pi.hProcess);
    return got ? static_cast<int>(code & 0x7fffffff) : -1;
}

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
