// Temporary files on Windows (created by tools/os/files.h): the console's
// stop events remove them before the process ends.
#include <windows.h>

#include "tools/documents/temp_file.h"

namespace doc {
namespace {

// Removes the files and lets the next handler (the system's, which ends the
// process) take the event.
BOOL WINAPI OnConsoleEvent(DWORD) {
    RemoveAllTempFiles();
    return FALSE;
}

}  // namespace

// No converter runs on Windows: this build converts nothing.
void SetConverterProcess(int) {}

void StopConverter() {}

void RemoveTempFilesOnSignals() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

}  // namespace doc
