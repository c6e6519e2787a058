// Child processes of the command: the receive job's hook, run through this
// system's shell. One POSIX and one Win32 file (child_process_posix.cpp,
// child_process_win32.cpp).
#ifndef TESSALINE_TOOLS_OS_CHILD_PROCESS_H
#define TESSALINE_TOOLS_OS_CHILD_PROCESS_H

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace cli {

// Runs `command` through the shell with `path` as its first argument and
// `env` added to the environment, its standard output sent to standard
// error (the job's own output stays one line per fax). Returns its exit
// status, 128 + the signal that ended it, or -1 when it could not be run.
// A hook still running after `timeout_seconds` (when above 0), or once
// `stop` says so, is ended (with its children, where the system can), and
// `ended` is set.
int RunHook(const std::string& command, const std::string& path,
            const std::vector<std::pair<std::string, std::string>>& env, double timeout_seconds,
            const std::function<bool()>& stop, bool& ended);
// How RunHook runs a hook, for the help: "with sh for each fax stored, the
// file's path as $1".
const char* HookRunText();

}  // namespace cli

#endif
