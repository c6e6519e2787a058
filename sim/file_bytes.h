// Reading a file whole into memory, with a reason a person can act on when
// it cannot be read. Portable: the daemon's state, its fax folder and the
// control command's `receive` read files through it on every platform.
#ifndef TESSALINE_SIM_FILE_BYTES_H
#define TESSALINE_SIM_FILE_BYTES_H

#include <string>

#include "sim/firmware_types.h"

namespace sim {

bool ReadFileBytes(const std::string& path, Bytes& out, std::string& error);

}  // namespace sim

#endif
