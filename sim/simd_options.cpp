#include "sim/simd_options.h"

#include <cctype>
#include <cstddef>
#include <cstring>
#include <iterator>

#include <tessaline/fax_types.h>

namespace sim {
namespace {

constexpr unsigned kPosix = static_cast<unsigned>(SimdProgram::kPosix);
constexpr unsigned kWindows = static_cast<unsigned>(SimdProgram::kWindows);
constexpr unsigned kBoth = kPosix | kWindows;

// Both settings fields hold 31 characters and a zero.
constexpr std::size_t kMaxSettingText = 31;

bool Refuse(std::string& error, std::string text) {
    error = std::move(text);
    return false;
}

bool StoreDirectory(const char* option, std::string& field, const std::string& value, std::string& error) {
    if (value.empty()) return Refuse(error, std::string(option) + " needs a directory");
    field = value;
    return true;
}

// A password or fax number longer than its field would be cut silently, and
// the host would then never match it.
bool StoreSettingText(const char* option, std::optional<std::string>& field, const std::string& value,
                      std::string& error) {
    if (value.size() > kMaxSettingText) return Refuse(error, std::string(option) + " holds at most 31 bytes");
    field = value;
    return true;
}

// One option: its name, the programs that take it, whether it takes a value,
// and how that value (empty for an option without one) is checked and stored.
struct OptionRow {
    const char* name;
    unsigned programs;
    bool takes_value;
    bool (*store)(SimdOptions& o, const std::string& value, std::string& error);
};

const OptionRow kOptions[] = {
    {"--help", kBoth, false, [](SimdOptions& o, const std::string&, std::string&) { return o.help = true; }},
    {"--version", kBoth, false, [](SimdOptions& o, const std::string&, std::string&) { return o.version = true; }},
    {"--name", kBoth, true,
     [](SimdOptions& o, const std::string& v, std::string& error) {
         // The name is a file name in the channels' directories, or part of
         // the pipes' names.
         const char* separators = o.program == SimdProgram::kWindows ? "/\\" : "/";
         if (v.empty() || v == "." || v == ".." || v.find_first_of(separators) != std::string::npos)
             return Refuse(error, "--name must be a plain file name");
         o.name = v;
         return true;
     }},
    {"--faxes", kBoth, true,
     [](SimdOptions& o, const std::string& v, std::string& error) { return StoreDirectory("--faxes", o.faxes, v, error); }},
    {"--loopback", kBoth, false, [](SimdOptions& o, const std::string&, std::string&) { return o.loopback = true; }},
    {"--any-job", kBoth, false, [](SimdOptions& o, const std::string&, std::string&) { return o.any_job = true; }},
    {"--block-size", kBoth, true,
     [](SimdOptions& o, const std::string& v, std::string& error) {
         std::uint32_t n = 0;
         if (!ParseSimdNumber(v, n) || n == 0) return Refuse(error, "--block-size must be 1 or more");
         o.block_size = n;
         return true;
     }},
    {"--password", kBoth, true,
     [](SimdOptions& o, const std::string& v, std::string& error) {
         return StoreSettingText("--password", o.password, v, error);
     }},
    {"--fax-number", kBoth, true,
     [](SimdOptions& o, const std::string& v, std::string& error) {
         return StoreSettingText("--fax-number", o.fax_number, v, error);
     }},
    {"--receive-settings", kBoth, true,
     [](SimdOptions& o, const std::string& v, std::string& error) {
         std::uint32_t n = 0;
         if (!ParseSimdNumber(v, n)) return Refuse(error, "--receive-settings must be a 32-bit number");
         o.receive_settings = n;
         return true;
     }},
    {"--dir", kPosix, true,
     [](SimdOptions& o, const std::string& v, std::string& error) { return StoreDirectory("--dir", o.dir, v, error); }},
    {"--state", kPosix, true,
     [](SimdOptions& o, const std::string& v, std::string& error) { return StoreDirectory("--state", o.state, v, error); }},
    {"--socket-group", kPosix, true,
     [](SimdOptions& o, const std::string& v, std::string& error) {
         if (v.empty()) return Refuse(error, "--socket-group: no group named ''");
         o.socket_group = v;
         return true;
     }},
    {"--keep-jobs", kPosix, true,
     [](SimdOptions& o, const std::string& v, std::string& error) {
         std::uint32_t n = 0;
         if (!ParseSimdNumber(v, n)) return Refuse(error, "--keep-jobs must be a count");
         o.keep_jobs = n;
         return true;
     }},
    {"--keep-job-bytes", kPosix, true,
     [](SimdOptions& o, const std::string& v, std::string& error) {
         // N, or N with a suffix K, M or G counting in 1024s.
         std::string digits = v;
         std::uint64_t unit = 1;
         if (!digits.empty()) {
             const char last = static_cast<char>(std::toupper(static_cast<unsigned char>(digits.back())));
             unit = last == 'K' ? 1ull << 10 : last == 'M' ? 1ull << 20 : last == 'G' ? 1ull << 30 : 1;
             if (unit != 1) digits.pop_back();
         }
         std::uint32_t n = 0;
         if (!ParseSimdNumber(digits, n)) return Refuse(error, "--keep-job-bytes must be a size (N, NK, NM or NG)");
         o.keep_job_bytes = n * unit;
         return true;
     }},
    {"--driver", kWindows, false, [](SimdOptions& o, const std::string&, std::string&) { return o.driver = true; }},
    {"--remove-driver", kWindows, false,
     [](SimdOptions& o, const std::string&, std::string&) { return o.remove_driver = true; }},
    {"--stop", kWindows, false, [](SimdOptions& o, const std::string&, std::string&) { return o.stop = true; }},
};

const OptionRow* FindOption(const std::string& name, unsigned program) {
    for (const OptionRow& row : kOptions)
        if ((row.programs & program) && name == row.name) return &row;
    return nullptr;
}

}  // namespace

bool ParseSimdNumber(const std::string& text, std::uint32_t& out) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 10) return false;
    std::uint64_t v = 0;
    for (char c : digits) {
        int d = -1;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (hex && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        if (d < 0) return false;
        v = v * (hex ? 16 : 10) + static_cast<std::uint64_t>(d);
        if (v > 0xFFFFFFFFu) return false;
    }
    out = static_cast<std::uint32_t>(v);
    return true;
}

bool ParseSimdOptions(SimdProgram program, int argc, const char* const* argv, SimdOptions& options,
                      std::string& error) {
    options.program = program;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "-h") name = "--help";
        // --option=VALUE is --option VALUE.
        std::optional<std::string> inline_value;
        if (const std::size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            inline_value = name.substr(eq + 1);
            name.resize(eq);
        }
        const OptionRow* row = FindOption(name, static_cast<unsigned>(program));
        if (!row) return Refuse(error, "unknown option " + name);
        std::string value;
        if (row->takes_value) {
            if (inline_value) {
                value = std::move(*inline_value);
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                return Refuse(error, name + " needs a value");
            }
        } else if (inline_value) {
            return Refuse(error, name + " takes no value");
        }
        if (!row->store(options, value, error)) return false;
    }
    return true;
}

void PresetSettings(const SimdOptions& options, std::uint8_t (&settings)[308]) {
    static_assert(sizeof(DEFAULT_FAX_SETTINGS::Password) == kMaxSettingText + 1);
    static_assert(sizeof(DEFAULT_FAX_SETTINGS::FaxNumber) == kMaxSettingText + 1);
    const auto preset = [&settings](std::size_t offset, const std::optional<std::string>& text) {
        if (!text) return;
        const std::size_t length = text->size() < kMaxSettingText ? text->size() : kMaxSettingText;
        std::memset(settings + offset, 0, kMaxSettingText + 1);
        std::memcpy(settings + offset, text->data(), length);
    };
    preset(offsetof(DEFAULT_FAX_SETTINGS, Password), options.password);
    preset(offsetof(DEFAULT_FAX_SETTINGS, FaxNumber), options.fax_number);
}

void ApplyBehaviour(const SimdOptions& options, Firmware& firmware) {
    if (options.block_size) firmware.SetBlockSize(*options.block_size);
    if (options.receive_settings) firmware.SetReceiveSettings(*options.receive_settings);
    firmware.SetLoopback(options.loopback);
    firmware.SetChecksJobs(!options.any_job);
    firmware.SetClockRuns(true);
    // Recording keeps every byte for tests to inspect; a device that runs
    // until stopped would grow without bound.
    firmware.SetRecording(false);
    firmware.SetJobBounds(options.keep_jobs, options.keep_job_bytes);
}

}  // namespace sim
