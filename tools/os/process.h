// The command's process and console, as it needs them of the system: how it
// obtains the automation objects, its arguments as the interface takes
// them, its standard streams, and the stop requests it is sent. One POSIX
// and one Win32 file (process_posix.cpp, process_win32.cpp).
#ifndef TESSALINE_TOOLS_OS_PROCESS_H
#define TESSALINE_TOOLS_OS_PROCESS_H

#include <tessaline/tessaline.h>

#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace cli {

// Prepares the process to host the objects and gives the arguments after
// the program name. False, with `error` set, for an argument the interface
// cannot take (on Windows: one that the system's ANSI code page cannot
// spell).
bool StartHost(int argc, char** argv, std::vector<std::string>& args, std::string& error);
// Undoes StartHost; called once the command's output is complete.
void StopHost();

// Creates an object of `clsid` as this platform's hosts do: through the
// library's class object on POSIX systems, through the registered class
// (CoCreateInstance) on Windows.
HRESULT CreateHostObject(REFCLSID clsid, REFIID iid, void** out);

// Lets a thread of the command's own (a timer, a stop request) create and
// call objects while the guard lives: on Windows the thread joins a COM
// apartment of its own, as an apartment-threaded class needs.
class HostThread {
public:
    HostThread();
    ~HostThread();
    HostThread(const HostThread&) = delete;
    HostThread& operator=(const HostThread&) = delete;

private:
    bool joined_ = false;
};

// The local time of `t`; false when the system cannot tell it.
bool LocalTime(std::time_t t, std::tm& out);

void SetEnvironmentValue(const char* name, const char* value);
// Makes `stream` carry bytes unchanged (Windows translates line ends).
void UseBinary(std::FILE* stream);
// Whether standard error is a terminal (a console on Windows), where
// progress may be shown.
bool StandardErrorIsTerminal();

// A text from the device or the command line, which is in the system's
// 8-bit code page, as UTF-8; false when it has no lossless UTF-8 form. On
// POSIX systems the text is taken as UTF-8 already; on Windows it is in the
// ANSI code page and converted.
bool TextToUtf8(const std::string& text, std::string& utf8);

// Reads the first line of standard input, without its line ending. On a
// terminal the prompt goes to standard error and the typed characters are
// not echoed.
bool ReadHidden(const char* prompt, std::string& line);

// SIGINT and SIGTERM call `on_stop` with the signal's number from a thread
// of their own (never from the signal handler itself), once per signal. On
// Windows, Ctrl+C and Ctrl+Break come as SIGINT, the console's closing as
// SIGTERM.
void OnStopSignals(std::function<void(int signal)> on_stop);
void RestoreStopSignals();
// What stops a job on this system, for the help: "SIGINT or SIGTERM".
const char* StopRequestText();

// The help text's lines on this system's environment variables.
const char* EnvironmentHelp();

}  // namespace cli

#endif
