// What the receive job needs of the system: files put in place without
// replacing another, a hook run with its own environment, and a stop
// request from a signal.
#ifndef TESSALINE_TOOLS_RECEIVE_PLATFORM_H
#define TESSALINE_TOOLS_RECEIVE_PLATFORM_H

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace cli {

// Flushes `temp` to disk and gives it the name `target` unless that name is
// taken. False with errno EEXIST when it is; false with another errno when
// the file can't be flushed or named.
bool PutInPlace(const std::string& temp, const std::string& target);
bool FileExists(const std::string& path);
bool IsDirectory(const std::string& path);

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

// SIGINT and SIGTERM call `on_stop` with the signal's number from a thread
// of their own (never from the signal handler itself), once per signal. On
// Windows, Ctrl+C and Ctrl+Break come as SIGINT, the console's closing as
// SIGTERM.
void OnStopSignals(std::function<void(int signal)> on_stop);
void RestoreStopSignals();

}  // namespace cli

#endif
