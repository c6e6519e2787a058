#include "sim/file_bytes.h"

#include "platform/file_buffer.h"
#include "platform/local_file.h"

namespace sim {

bool ReadFileBytes(const std::string& path, Bytes& out, std::string& error) {
    plat::FileBuffer data;
    switch (plat::LoadFile(path.c_str(), data)) {
        case plat::FileLoad::Ok:
            out.assign(data.data(), data.data() + data.size());
            return true;
        case plat::FileLoad::OpenFailed: error = "cannot open " + path; break;
        case plat::FileLoad::TooLarge: error = path + " is 4 GiB or more"; break;
        case plat::FileLoad::NoMemory: error = "no memory to read " + path; break;
        default: error = "cannot read " + path; break;
    }
    return false;
}

}  // namespace sim
