// The folder of the running test program, where the build puts Tessaline.dll
// and the helper programs beside it.
#pragma once

#include <windows.h>

#include <string>

inline std::string ProgramDirectory() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path, n);
    return dir.substr(0, dir.find_last_of('\\') + 1);
}
