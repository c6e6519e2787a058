// Temporary files on Windows: names made unique by CREATE_NEW; the
// console's stop events remove them before the process ends.
#include <windows.h>

#include <atomic>

#include "tools/documents/temp_file.h"
#include "tools/documents/temp_file_platform.h"

namespace doc {
namespace {

std::atomic<unsigned> g_counter{0};

// Removes the files and lets the next handler (the system's, which ends the
// process) take the event.
BOOL WINAPI OnConsoleEvent(DWORD) {
    RemoveAllTempFiles();
    return FALSE;
}

std::string SystemMessage(DWORD error) {
    char text[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                                   sizeof(text), nullptr);
    std::string message(text, n);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(error) : message;
}

}  // namespace

std::string TempDirectory() {
    char dir[MAX_PATH + 1] = {};
    const DWORD n = GetTempPathA(sizeof(dir), dir);
    std::string path = n == 0 || n > MAX_PATH ? std::string(".") : std::string(dir, n);
    while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
    return path;
}

bool CreateUniqueFile(const std::string& dir, const std::string& suffix, std::string& path, std::string& error) {
    std::string base = dir;
    if (!base.empty() && base.back() != '\\' && base.back() != '/') base += '\\';
    DWORD why = ERROR_FILE_EXISTS;
    for (int attempt = 0; attempt < 100 && why == ERROR_FILE_EXISTS; ++attempt) {
        const std::string name = base + ".tessaline-" + std::to_string(GetCurrentProcessId()) + "-" +
                                 std::to_string(g_counter.fetch_add(1)) + "-" + std::to_string(GetTickCount()) + suffix;
        const HANDLE file = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            path = name;
            return true;
        }
        why = GetLastError();
    }
    error = "cannot create a temporary file in " + dir + ": " + SystemMessage(why);
    return false;
}

void RemovePath(const char* path) { DeleteFileA(path); }

// No converter runs on Windows: this build converts nothing.
void SetConverterProcess(int) {}

void StopConverter() {}

void RemoveTempFilesOnSignals() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

}  // namespace doc
