// The simulated device's state on disk: loading and saving the state
// directory.
#include "sim/persist.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>

#include <tessaline/fax_types.h>

#include "base/byte_order.h"
#include "sim/file_bytes.h"

namespace sim {
namespace {

constexpr char kFormatLine[] = "tessaline-simd-state 1";
constexpr char kManifest[] = "manifest";
constexpr char kTempPrefix[] = ".tmp-";
constexpr std::size_t kSettingsSize = sizeof(DEFAULT_FAX_SETTINGS);
constexpr std::size_t kLogSize = sizeof(FAX_LOG_ENTRY);

std::string Errno() { return std::strerror(errno); }

// ---------------------------------------------------------------------------
// Files

// Writes `size` bytes as `dir`/`name`: into a partial file beside it, synced,
// then renamed over it. With `sync_dir`, the directory is synced too, so the
// new name survives a power loss.
bool WriteDurably(const std::string& dir, const std::string& name, const void* data, std::size_t size,
                  bool sync_dir, std::string& error) {
    const std::string path = dir + "/" + name;
    const std::string temp = dir + "/" + kTempPrefix + name;
    // The state holds the received faxes and the password: its files are
    // the owner's alone, whatever the umask.
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot create " + temp + ": " + Errno();
        return false;
    }
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    bool ok = true;
    while (done < size) {
        ssize_t n = write(fd, p + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (fchmod(fd, 0600) != 0) ok = false;
    if (!ok || fsync(fd) != 0) {
        error = "cannot write " + temp + ": " + Errno();
        close(fd);
        unlink(temp.c_str());
        return false;
    }
    if (close(fd) != 0 || rename(temp.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + Errno();
        unlink(temp.c_str());
        return false;
    }
    if (sync_dir) {
        int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd < 0 || fsync(dfd) != 0) {
            error = "cannot sync " + dir + ": " + Errno();
            if (dfd >= 0) close(dfd);
            return false;
        }
        close(dfd);
    }
    return true;
}

// Data files are named by a decimal number and ".bin"; nothing else in the
// data directory is ever read or removed (partial files aside).
bool IsDataFileName(const std::string& name, std::uint64_t* number = nullptr) {
    if (name.size() < 5 || name.size() > 4 + 19 || name.compare(name.size() - 4, 4, ".bin") != 0) return false;
    std::uint64_t n = 0;
    for (std::size_t i = 0; i + 4 < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return false;
        n = n * 10 + static_cast<std::uint64_t>(name[i] - '0');
    }
    if (number) *number = n;
    return true;
}

std::vector<std::string> DirectoryEntries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(d);
    }
    return names;
}

// ---------------------------------------------------------------------------
// Text of the manifest

std::string Hex(const std::uint8_t* p, std::size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        out += kDigits[p[i] >> 4];
        out += kDigits[p[i] & 15];
    }
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool Unhex(const std::string& text, std::uint8_t* out, std::size_t n) {
    if (text.size() != 2 * n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        const int hi = HexDigit(text[2 * i]), lo = HexDigit(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return true;
}

std::string Encode(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c <= 0x20 || c > 0x7E || c == '%') {
            const std::uint8_t b = c;
            out += '%';
            out += Hex(&b, 1);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool Decode(const std::string& text, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        std::uint8_t b;
        if (i + 2 >= text.size() || !Unhex(text.substr(i + 1, 2), &b, 1)) return false;
        out += static_cast<char>(b);
        i += 2;
    }
    return true;
}

bool ParseNumber(const std::string& text, std::uint64_t max, std::uint64_t& value) {
    if (text.empty() || text.size() > 20) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (max - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

// One manifest record: its kind and its key=value fields.
struct Record {
    std::string kind;
    std::map<std::string, std::string> fields;
    std::vector<std::string> words;  // the fields as they stand, for records without keys
};

Record SplitRecord(const std::string& line) {
    Record r;
    std::size_t pos = 0;
    bool first = true;
    while (pos <= line.size()) {
        std::size_t end = line.find(' ', pos);
        if (end == std::string::npos) end = line.size();
        const std::string word = line.substr(pos, end - pos);
        if (first) {
            r.kind = word;
            first = false;
        } else {
            r.words.push_back(word);
            const std::size_t eq = word.find('=');
            if (eq != std::string::npos) r.fields[word.substr(0, eq)] = word.substr(eq + 1);
        }
        pos = end + 1;
    }
    return r;
}

// Reads the manifest's records into `state`, taking each named data file
// through `load`.
class ManifestReader {
public:
    ManifestReader(const std::string& data_dir, std::map<std::string, std::shared_ptr<const Bytes>>& files)
        : data_dir_(data_dir), files_(files) {}

    bool Read(const std::string& text, PersistentState& state, std::string& error) {
        std::size_t pos = 0;
        int line_number = 0;
        bool settings = false, ended = false;
        SentJob* job = nullptr;
        while (pos < text.size()) {
            std::size_t end = text.find('\n', pos);
            if (end == std::string::npos) {
                error = "manifest ends inside a line";
                return false;
            }
            const std::string line = text.substr(pos, end - pos);
            pos = end + 1;
            ++line_number;
            auto bad = [&](const std::string& what) {
                error = "manifest line " + std::to_string(line_number) + ": " + what;
                return false;
            };
            if (ended) return bad("text after the end");
            if (line_number == 1) {
                if (line != kFormatLine) return bad("not a state this program writes");
                continue;
            }
            const Record r = SplitRecord(line);
            if (r.kind == "settings") {
                if (settings || r.words.size() != 1 || !Unhex(r.words[0], state.settings, kSettingsSize)) {
                    return bad("bad settings record");
                }
                settings = true;
            } else if (r.kind == "fax") {
                ReceivedFax fax;
                if (!Text(r, "name", fax.name) || !Data(r, fax.data, error) ||
                    !Field(r, "log", [&](const std::string& v) { return Unhex(v, fax.log, kLogSize); })) {
                    return bad(error.empty() ? "bad fax record" : error);
                }
                state.received.push_back(std::move(fax));
                job = nullptr;
            } else if (r.kind == "job") {
                SentJob j;
                std::uint32_t data_ended = 0, failed_block = 0, ended_flag = 0;
                if (!Number(r, "size", j.announced_size) || !Number(r, "count", j.recipient_count) ||
                    !Number(r, "blocks", j.blocks) || !Flag(r, "data-ended", data_ended) ||
                    !Flag(r, "failed-block", failed_block) || !Flag(r, "ended", ended_flag) ||
                    !Number(r, "outcome", j.outcome) || !Data(r, j.data, error)) {
                    return bad(error.empty() ? "bad job record" : error);
                }
                j.data_ended = data_ended != 0;
                j.failed_block = failed_block != 0;
                j.ended = ended_flag != 0;
                state.jobs.push_back(std::move(j));
                job = &state.jobs.back();
            } else if (r.kind == "removed") {
                std::string name;
                if (!Text(r, "name", name)) return bad("bad removed record");
                state.removed.push_back(std::move(name));
                job = nullptr;
            } else if (r.kind == "next-fax") {
                if (!Number(r, "number", state.next_fax_number)) return bad("bad next-fax record");
                job = nullptr;
            } else if (r.kind == "to") {
                Recipient to;
                if (!job) return bad("recipient outside a job");
                if (!Text(r, "prefix", to.prefix) || !Text(r, "number", to.number)) return bad("bad recipient");
                job->recipients.push_back(std::move(to));
            } else if (r.kind == "end" && r.words.empty()) {
                ended = true;
            } else {
                return bad("unknown record \"" + r.kind + "\"");
            }
        }
        if (line_number == 0) {
            error = "manifest is empty";
            return false;
        }
        if (!settings || !ended) {
            error = !settings ? "manifest has no settings record" : "manifest has no end";
            return false;
        }
        return true;
    }

private:
    template <typename Parse>
    static bool Field(const Record& r, const char* key, Parse parse) {
        auto it = r.fields.find(key);
        return it != r.fields.end() && parse(it->second);
    }
    static bool Text(const Record& r, const char* key, std::string& out) {
        return Field(r, key, [&](const std::string& v) { return Decode(v, out); });
    }
    static bool Number(const Record& r, const char* key, std::uint32_t& out) {
        return Field(r, key, [&](const std::string& v) {
            std::uint64_t n;
            if (!ParseNumber(v, 0xFFFFFFFFu, n)) return false;
            out = static_cast<std::uint32_t>(n);
            return true;
        });
    }
    static bool Flag(const Record& r, const char* key, std::uint32_t& out) {
        return Number(r, key, out) && out <= 1;
    }

    // data=<file> length=<bytes>: the file's whole content, which must be
    // exactly that long.
    bool Data(const Record& r, Bytes& out, std::string& error) {
        std::uint64_t length = 0;
        auto file = r.fields.find("data");
        auto len = r.fields.find("length");
        if (file == r.fields.end() || len == r.fields.end() || !ParseNumber(len->second, ~0ull, length)) {
            return false;
        }
        if (file->second == "-") {
            if (length != 0) return false;
            out.clear();
            return true;
        }
        if (!IsDataFileName(file->second)) {
            error = "bad data file name \"" + file->second + "\"";
            return false;
        }
        auto it = files_.find(file->second);
        if (it == files_.end()) {
            Bytes bytes;
            if (!ReadFileBytes(data_dir_ + "/" + file->second, bytes, error)) return false;
            it = files_.emplace(file->second, std::make_shared<const Bytes>(std::move(bytes))).first;
        }
        if (it->second->size() != length) {
            error = "data file " + file->second + " holds " + std::to_string(it->second->size()) +
                    " bytes, not " + std::to_string(length);
            return false;
        }
        out = *it->second;
        return true;
    }

    const std::string& data_dir_;
    std::map<std::string, std::shared_ptr<const Bytes>>& files_;
};

}  // namespace

// ---------------------------------------------------------------------------
// StateStore

StateStore::~StateStore() {
    if (lock_fd_ >= 0) close(lock_fd_);
}

bool StateStore::Fail(const std::string& what) {
    error_ = what;
    return false;
}

bool StateStore::Open(const std::string& dir) {
    if (lock_fd_ >= 0) return true;
    if (dir.empty()) return Fail("no state directory given");
    dir_ = dir;
    data_dir_ = dir + "/data";
    std::error_code ec;
    const bool existed = std::filesystem::exists(dir, ec);
    std::filesystem::create_directories(data_dir_, ec);
    if (ec) return Fail("cannot create " + data_dir_ + ": " + ec.message());
    // A directory made here, and its data directory, are the owner's alone;
    // a directory the user gave that already existed keeps its mode.
    if (!existed) chmod(dir.c_str(), 0700);
    chmod(data_dir_.c_str(), 0700);
    const std::string lock = dir + "/lock";
    lock_fd_ = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock_fd_ < 0) return Fail("cannot open " + lock + ": " + Errno());
    if (flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
        const bool busy = errno == EWOULDBLOCK;
        const std::string reason = busy ? "another tessaline-simd uses " + dir : "cannot lock " + lock + ": " + Errno();
        close(lock_fd_);
        lock_fd_ = -1;
        return Fail(reason);
    }
    return true;
}

bool StateStore::Load(PersistentState& state, bool& found) {
    found = false;
    if (lock_fd_ < 0) return Fail("the state directory is not open");
    const std::string manifest = dir_ + "/" + kManifest;
    struct stat st {};
    if (lstat(manifest.c_str(), &st) != 0) {
        if (errno != ENOENT) return Fail("cannot read " + manifest + ": " + Errno());
        RemoveUnreferenced();  // leftovers of a first save that never finished
        return true;
    }
    Bytes text;
    std::string error;
    if (!ReadFileBytes(manifest, text, error)) return Fail(error);

    std::map<std::string, std::shared_ptr<const Bytes>> files;
    PersistentState loaded;
    ManifestReader reader(data_dir_, files);
    if (!reader.Read(std::string(text.begin(), text.end()), loaded, error)) return Fail(manifest + ": " + error);

    stored_.clear();
    for (auto& [file, data] : files) stored_.push_back({file, data});
    RemoveUnreferenced();
    for (const std::string& name : DirectoryEntries(data_dir_)) {
        std::uint64_t n = 0;
        if (IsDataFileName(name, &n) && n >= next_data_) next_data_ = n + 1;
    }
    state = std::move(loaded);
    found = true;
    return true;
}

bool StateStore::DataFileFor(const Bytes& data, std::vector<Stored>& next, std::string& file, bool& wrote) {
    if (data.empty()) {
        file = "-";
        return true;
    }
    auto same = [&](const Stored& s) { return *s.data == data; };
    if (auto it = std::find_if(next.begin(), next.end(), same); it != next.end()) {
        file = it->file;
        return true;
    }
    if (auto it = std::find_if(stored_.begin(), stored_.end(), same); it != stored_.end()) {
        file = it->file;
        next.push_back(*it);
        return true;
    }
    // New content: a new file, never one the saved manifest may still name.
    struct stat st {};
    do {
        file = std::to_string(next_data_++) + ".bin";
    } while (lstat((data_dir_ + "/" + file).c_str(), &st) == 0);
    std::string error;
    if (!WriteDurably(data_dir_, file, data.data(), data.size(), false, error)) return Fail(error);
    next.push_back({file, std::make_shared<const Bytes>(data)});
    wrote = true;
    return true;
}

bool StateStore::Save(const PersistentState& state) {
    if (lock_fd_ < 0) return Fail("the state directory is not open");
    std::vector<Stored> next;
    bool wrote = false;
    std::string text = std::string(kFormatLine) + "\nsettings " + Hex(state.settings, kSettingsSize) + "\n";
    std::string file;
    for (const ReceivedFax& fax : state.received) {
        if (!DataFileFor(fax.data, next, file, wrote)) return false;
        text += "fax name=" + Encode(fax.name) + " data=" + file + " length=" + std::to_string(fax.data.size()) +
                " log=" + Hex(fax.log, kLogSize) + "\n";
    }
    for (const std::string& name : state.removed) text += "removed name=" + Encode(name) + "\n";
    text += "next-fax number=" + std::to_string(state.next_fax_number) + "\n";
    for (const SentJob& job : state.jobs) {
        if (!DataFileFor(job.data, next, file, wrote)) return false;
        text += "job size=" + std::to_string(job.announced_size) + " count=" + std::to_string(job.recipient_count) +
                " blocks=" + std::to_string(job.blocks) + " data-ended=" + (job.data_ended ? "1" : "0") +
                " failed-block=" + (job.failed_block ? "1" : "0") + " ended=" + (job.ended ? "1" : "0") +
                " outcome=" + std::to_string(job.outcome) + " data=" + file +
                " length=" + std::to_string(job.data.size()) + "\n";
        for (const Recipient& to : job.recipients) {
            text += "to prefix=" + Encode(to.prefix) + " number=" + Encode(to.number) + "\n";
        }
    }
    text += "end\n";

    // The data files reach the disk, names included, before the manifest
    // that names them.
    std::string error;
    if (wrote) {
        int dfd = open(data_dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const bool synced = dfd >= 0 && fsync(dfd) == 0;
        if (dfd >= 0) close(dfd);
        if (!synced) return Fail("cannot sync " + data_dir_ + ": " + Errno());
    }
    if (!WriteDurably(dir_, kManifest, text.data(), text.size(), true, error)) return Fail(error);
    stored_ = std::move(next);
    RemoveUnreferenced();
    return true;
}

// Removes partial files, and the data files that the saved manifest does not
// name (written for a save that failed, or no longer needed).
void StateStore::RemoveUnreferenced() {
    std::set<std::string> keep;
    for (const Stored& s : stored_) keep.insert(s.file);
    for (const std::string& name : DirectoryEntries(data_dir_)) {
        if (name.rfind(kTempPrefix, 0) == 0 || (IsDataFileName(name) && !keep.count(name))) {
            unlink((data_dir_ + "/" + name).c_str());
        }
    }
    unlink((dir_ + "/" + kTempPrefix + kManifest).c_str());
}

}  // namespace sim
