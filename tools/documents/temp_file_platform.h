// What the temporary files need of the system: a file of a new name, its
// removal (safe in a signal handler), and the handlers that remove them all
// when the command is stopped.
#ifndef TESSALINE_TOOLS_DOCUMENTS_TEMP_FILE_PLATFORM_H
#define TESSALINE_TOOLS_DOCUMENTS_TEMP_FILE_PLATFORM_H

#include <string>

namespace doc {

// Creates an empty file of a new name in `dir`, ending in `suffix`; its
// name in `path`. False, with the system's reason in `error`, otherwise.
bool CreateUniqueFile(const std::string& dir, const std::string& suffix, std::string& path, std::string& error);
// Removes the file; only system calls that a signal handler may make.
void RemovePath(const char* path);

}  // namespace doc

#endif
