#include <cstdio>

#include "platform/host_services.h"

namespace plat {

bool ProbeWritable(void* p, std::size_t bytes) { return bytes == 0 || p != nullptr; }

// No message box here: the text goes to standard error as one line.
void ShowMessage(const char* text) {
    std::fprintf(stderr, "%s\n", text);
    std::fflush(stderr);
}

}  // namespace plat
