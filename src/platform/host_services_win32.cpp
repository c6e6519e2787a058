// What the automation objects ask of the host on Windows: the system's
// pointer probe and a modal message box.
#include <windows.h>

#include "platform/host_services.h"

namespace plat {

// Each entry in turn, from the first: the probe stops at the first page the
// process cannot write, so a count far beyond the array ends there.
std::uint32_t FirstUnwritableEntry(void* base, std::size_t entry_size, std::uint32_t count) {
    const auto start = reinterpret_cast<std::uintptr_t>(base);
    for (std::uint32_t i = 0; i < count; ++i) {
        void* entry = reinterpret_cast<void*>(start + static_cast<std::uintptr_t>(i) * entry_size);
        if (!base || IsBadWritePtr(entry, entry_size)) return i;
    }
    return count;
}

// No owner window, the system's default caption, an OK button only; returns
// once the user has closed the box.
void ShowMessage(const char* text) { MessageBoxA(nullptr, text, nullptr, MB_OK); }

}  // namespace plat
