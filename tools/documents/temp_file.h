// Temporary files of the tessaline command: a converted fax image, a
// download on its way to a PDF or to standard output. Each is removed when
// its owner goes, and every one still present is removed when the command is
// stopped by a signal, so none is left behind on any path.
#ifndef TESSALINE_TOOLS_TEMP_FILE_H
#define TESSALINE_TOOLS_TEMP_FILE_H

#include <string>

namespace doc {

class TempFile {
public:
    TempFile() = default;
    ~TempFile() { Remove(); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    TempFile(TempFile&& other) noexcept;
    TempFile& operator=(TempFile&& other) noexcept;

    // Creates an empty file of a new name in `dir` (the system's temporary
    // directory when empty), its name ending in `suffix`. False, with the
    // reason in `error`, when no file can be created.
    bool Create(const std::string& dir, const std::string& suffix, std::string& error);
    const std::string& Path() const { return path_; }
    bool Empty() const { return path_.empty(); }
    // Removes the file now.
    void Remove();
    // The file is the caller's from now on (it was renamed into place, say):
    // it is neither removed nor tracked any more.
    void Release();

private:
    std::string path_;
    int slot_ = -1;
};

// Removes every temporary file still tracked. Safe to call from a signal
// handler (it only unlinks).
void RemoveAllTempFiles();

// Installs handlers for SIGINT, SIGTERM and SIGHUP that remove the temporary
// files, end the converter running for the command (if any), and then end
// the process as the signal would have. A signal the command already
// handles itself keeps its handler.
void RemoveTempFilesOnSignals();

// The converter process the command is waiting for (0: none), ended with
// the command when a signal stops it.
void SetConverterProcess(int pid);
// Ends the converter running for the command, if any (the command was asked
// to stop).
void StopConverter();

}  // namespace doc

#endif
