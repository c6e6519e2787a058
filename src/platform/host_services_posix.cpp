// The host's environment on POSIX: the caller's memory, and messages to the
// user.
#include <cstdio>

#include "platform/host_services.h"

namespace plat {

std::uint32_t FirstUnwritableEntry(void* base, std::size_t /*entry_size*/, std::uint32_t count) {
    return base == nullptr && count > 0 ? 0 : count;
}

// No message box here: the text goes to standard error as one line.
void ShowMessage(const char* text) {
    std::fprintf(stderr, "%s\n", text);
    std::fflush(stderr);
}

}  // namespace plat
