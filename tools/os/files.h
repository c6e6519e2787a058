// Files and paths, as the command needs them of the system: one POSIX and
// one Win32 file (files_posix.cpp, files_win32.cpp).
#ifndef TESSALINE_TOOLS_OS_FILES_H
#define TESSALINE_TOOLS_OS_FILES_H

#include <string>

namespace cli {

// What stands at a path (links followed). A regular file's size goes to
// `size` when given.
enum class PathKind { Missing, Regular, Directory, Other };
PathKind StatPath(const std::string& path, long long* size = nullptr);
// Whether anything stands at the name itself, a link that leads nowhere
// included.
bool FileExists(const std::string& path);
// The path with every link and relative step resolved; empty when it
// cannot be resolved.
std::string ResolvedPath(const std::string& path);
// `name` in the directory `dir`, with this system's separator.
std::string JoinPath(const std::string& dir, const std::string& name);
// The directory that holds `path` ("." for a bare name).
std::string DirectoryOf(const std::string& path);
// Whether `path` is the file that standard output writes to.
bool IsStandardOutput(const std::string& path);

// The local checks made before the device is asked, each empty when the
// path can be used, otherwise what is wrong with it and the system's reason:
// a file to send must be a readable regular file; a download's path must not
// be a directory, and its directory must exist and take a new file.
std::string CheckInputFile(const std::string& file);
std::string CheckOutputPath(const std::string& path);
// Empty when new files can be made in `dir`; otherwise why not.
std::string CheckStoreDirectory(const std::string& dir);

// Gives a file the command created the mode a new file gets from the user
// (0666 less the umask on POSIX systems; nothing to do on Windows): a fax
// stored or fetched by way of a private temporary file reads like any other.
void GiveDefaultMode(const std::string& path);
// Flushes `temp` to disk and gives it the name `target` unless that name is
// taken. False with errno EEXIST when it is; false with another errno when
// the file can't be flushed or named.
bool PutInPlace(const std::string& temp, const std::string& target);

// The journal's place when TESSALINE_JOURNAL names none: on POSIX systems
// $XDG_STATE_HOME/tessaline/journal.jsonl (else ~/.local/state/...), on
// Windows %LOCALAPPDATA%\Tessaline\journal.jsonl; "" when neither is known.
std::string DefaultJournalPath();
// Appends `line` to the file at `path` with one write (creating the file,
// and its directory, for the user alone where the system has modes); "" on
// success, else why not.
std::string AppendLine(const std::string& path, const std::string& line);

// The system's directory for temporary files ($TMPDIR, else /tmp, on POSIX
// systems).
std::string TempDirectory();
// Creates an empty file of a new name in `dir`, ending in `suffix`; its
// name in `path`. False, with the system's reason in `error`, otherwise.
bool CreateUniqueFile(const std::string& dir, const std::string& suffix, std::string& path, std::string& error);
// Removes the file; only system calls that a signal handler may make.
void RemovePath(const char* path);

}  // namespace cli

#endif
