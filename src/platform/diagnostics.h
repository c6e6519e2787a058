// Where the device-discovery diagnostics go.
//
// By default they go to standard output, as they always have. A host whose
// standard output carries data of its own (a JSON printer, a pipe) sets the
// environment variable TESSALINE_DIAGNOSTICS to "stderr" to send them to
// standard error instead, or to "none" to drop them.
#ifndef TESSALINE_PLATFORM_DIAGNOSTICS_H
#define TESSALINE_PLATFORM_DIAGNOSTICS_H

namespace plat {

void EmitDiagnostic(const char* text);

// A warning for the user that no result code carries (a device directory
// that discovery refuses to search): always to standard error, dropped only
// when TESSALINE_DIAGNOSTICS is "none".
void EmitWarning(const char* text);

}  // namespace plat

#endif
