// Where the device-discovery diagnostics go, and writing them there.
#include "platform/diagnostics.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace plat {

void EmitDiagnostic(const char* text) {
    std::FILE* sink = stdout;
    if (const char* where = std::getenv("TESSALINE_DIAGNOSTICS")) {
        if (std::strcmp(where, "none") == 0) return;
        if (std::strcmp(where, "stderr") == 0) sink = stderr;
    }
    std::fputs(text, sink);
    std::fflush(sink);
}

void EmitWarning(const char* text) {
    if (const char* where = std::getenv("TESSALINE_DIAGNOSTICS"); where && std::strcmp(where, "none") == 0) return;
    std::fputs(text, stderr);
    std::fflush(stderr);
}

}  // namespace plat
