// A folder of files presented as received faxes (tessaline-simd --faxes).
#ifndef TESSALINE_SIM_FAX_FOLDER_H
#define TESSALINE_SIM_FAX_FOLDER_H

#include <string>
#include <vector>

#include "sim/device_state.h"

namespace sim {

// The regular files of `dir` (hidden ones aside), in order of name, as
// received faxes: the file's name is the fax's name, its content the fax,
// and its log entry tells of a fax received when the file was last changed.
// Files that the host could not fetch (a name of more than 63 bytes, 4 GiB
// or more) are passed over, each with a line in `skipped`. False, with the
// reason in `error`, when the folder cannot be read.
bool LoadFaxFolder(const std::string& dir, std::vector<ReceivedFax>& faxes, std::vector<std::string>& skipped,
                   std::string& error);

}  // namespace sim

#endif
