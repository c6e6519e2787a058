// What the tool needs of the system it runs on, one file per platform
// (host_posix.cpp, host_win32.cpp): how it obtains the automation objects,
// its arguments as the interface takes them, and the few services of the
// process around it.
#ifndef TESSALINE_TOOLS_HOST_H
#define TESSALINE_TOOLS_HOST_H

#include <tessaline/fax_device.h>
#include <tessaline/tessaline.h>

#include <cstdio>
#include <ctime>
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

// A text from the device or the command line, which is in the system's
// 8-bit code page, as UTF-8; false when it has no lossless UTF-8 form. On
// POSIX systems the text is taken as UTF-8 already; on Windows it is in the
// ANSI code page and converted.
bool TextToUtf8(const std::string& text, std::string& utf8);

// Reads the first line of standard input, without its line ending. On a
// terminal the prompt goes to standard error and the typed characters are
// not echoed.
bool ReadHidden(const char* prompt, std::string& line);

// The local checks made before the device is asked, each empty when the
// path can be used, otherwise what is wrong with it and the system's reason:
// a file to send must be a readable regular file; a download's path must not
// be a directory, and its directory must exist and take a new file.
std::string CheckInputFile(const std::string& file);
std::string CheckOutputPath(const std::string& path);
// Gives a file the command created the mode a new file gets from the user
// (0666 less the umask on POSIX systems; nothing to do on Windows): a fax
// stored or fetched by way of a private temporary file reads like any other.
void GiveDefaultMode(const std::string& path);
// The journal's place when TESSALINE_JOURNAL names none: on POSIX systems
// $XDG_STATE_HOME/tessaline/journal.jsonl (else ~/.local/state/...), on
// Windows %LOCALAPPDATA%\Tessaline\journal.jsonl; "" when neither is known.
std::string DefaultJournalPath();
// Appends `line` to the file at `path` with one write (creating the file,
// and its directory, for the user alone where the system has modes); "" on
// success, else why not.
std::string AppendLine(const std::string& path, const std::string& line);
// Whether standard error is a terminal (a console on Windows), where
// progress may be shown.
bool StandardErrorIsTerminal();
// Whether `path` is the file that standard output writes to.
bool IsStandardOutput(const std::string& path);

// What stands at a path (links followed). A regular file's size goes to
// `size` when given.
enum class PathKind { Missing, Regular, Directory, Other };
PathKind StatPath(const std::string& path, long long* size = nullptr);
// The path with every link and relative step resolved; empty when it
// cannot be resolved.
std::string ResolvedPath(const std::string& path);
// `name` in the directory `dir`, with this system's separator.
std::string JoinPath(const std::string& dir, const std::string& name);
// The directory that holds `path` ("." for a bare name).
std::string DirectoryOf(const std::string& path);
// Empty when new files can be made in `dir`; otherwise why not.
std::string CheckStoreDirectory(const std::string& dir);

// What an operation would find for the fax channel, told apart for a
// failed call's message: nothing; a device it may use; a device this user
// may not open (on POSIX systems, a socket without read and write
// permission for the user); a device that cannot be opened for another
// reason; or, on POSIX systems, a directory discovery does not search.
struct FaxDeviceLook {
    enum class Kind { Absent, Present, NotPermitted, NotOpened, NotSearched };
    Kind kind = Kind::Absent;
    std::string path;    // the device (Present, NotPermitted, NotOpened)
    std::string detail;  // NotPermitted: the socket's mode and owners; NotSearched: the directory and why
};
FaxDeviceLook LookForFaxDevice();
// The device's access lock as a try without waiting finds it: free; held
// by another program; left abandoned by one that ended (taking it makes it
// free again); or not to be opened.
enum class LockProbe { Free, Held, Abandoned, Unavailable };
LockProbe ProbeAccessLock();
// Whether this user lacks the permission to open the device at `path`;
// `detail` then says what the system has (on POSIX systems the socket's
// mode, owner and group).
bool NotPermitted(const std::string& path, std::string& detail);

// Where an operation looks for the channel of `cls`, for advice texts.
std::string ChannelWhere(const TSL_DEVICE_CLASS& cls, const char* variable);
// The help text's lines on this system's environment variables, and the
// help of the device listing.
const char* EnvironmentHelp();
const char* DevicesHelp();
// This system's words for the help (help_text.h): what stops a job
// ("SIGINT or SIGTERM"), and how a hook is run ("with sh for each fax
// stored, the file's path as $1").
const char* StopRequestText();
const char* HookRunText();

}  // namespace cli

#endif
