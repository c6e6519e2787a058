// The folder of files presented as received faxes.
#include "sim/fax_folder.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include <tessaline/fax_types.h>

#include "sim/device_clock.h"
#include "sim/file_bytes.h"

namespace sim {
namespace {

// The longest fax name the host can pass back: a FAX_FILENAME holds 63
// characters and a zero.
constexpr std::size_t kMaxFaxName = sizeof(FAX_FILENAME) - 1;

// A log entry for a fax received at `when`: its pages, and the time a
// 14400 bit/s line takes for its bytes.
void FolderLogEntry(std::uint8_t (&log)[80], const std::string& name, const Bytes& data, std::time_t when) {
    const std::uint32_t pages = std::max<std::uint32_t>(TiffPages(data), 1);
    const std::uint64_t seconds = std::max<std::uint64_t>(1, data.size() * 8 / 14400);
    MakeLogEntry(log, name, pages, static_cast<std::uint32_t>(std::min<std::uint64_t>(seconds, 0xFFFFFFFFu)));
    StampLogTime(log, when);
}

}  // namespace

bool LoadFaxFolder(const std::string& dir, std::vector<ReceivedFax>& faxes, std::vector<std::string>& skipped,
                   std::string& error) {
    DIR* d = opendir(dir.c_str());
    if (!d) {
        error = "cannot read the folder " + dir + ": " + std::strerror(errno);
        return false;
    }
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (!name.empty() && name[0] != '.') names.push_back(name);  // hidden ones, "." and ".." aside
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string path = dir + "/" + name;
        struct stat st {};
        if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (name.size() > kMaxFaxName) {
            skipped.push_back(path + ": a fax name holds at most " + std::to_string(kMaxFaxName) + " bytes");
            continue;
        }
        ReceivedFax fax;
        std::string why;
        if (!ReadFileBytes(path, fax.data, why)) {
            skipped.push_back(why);
            continue;
        }
        if (fax.data.size() < 2) {
            // The host stores no fax of fewer than 2 bytes: it could list it
            // but never download it.
            skipped.push_back(path + ": " + std::to_string(fax.data.size()) +
                              " byte(s); a fax the host can download has at least 2");
            continue;
        }
        fax.name = name;
        FolderLogEntry(fax.log, name, fax.data, st.st_mtime);
        faxes.push_back(std::move(fax));
    }
    return true;
}

}  // namespace sim
