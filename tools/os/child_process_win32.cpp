// The receive job's hook on Windows: run through cmd.exe with the
// command's standard handles.
#include "tools/os/child_process.h"

#include <windows.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace cli {
namespace {

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

const char* HookRunText() { return "with cmd.exe for each fax stored, the file's path as its last argument"; }

}  // namespace cli
