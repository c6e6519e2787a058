// What the automation objects ask of the host on Windows: the system's
// pointer probe and a modal message box.
#include <windows.h>

#include "platform/host_services.h"

namespace plat {

bool ProbeWritable(void* p, std::size_t bytes) {
    if (bytes == 0) return true;
    return p != nullptr && !IsBadWritePtr(p, bytes);
}

// No owner window, the system's default caption, an OK button only; returns
// once the user has closed the box.
void ShowMessage(const char* text) { MessageBoxA(nullptr, text, nullptr, MB_OK); }

}  // namespace plat
