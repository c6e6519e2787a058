// The tool's command of the EWS channel: ews (write, read, base64 in JSON).
#include "tools/command_support.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

namespace cli {
namespace {

std::string Base64(const std::vector<unsigned char>& in) {
    static const char* const table = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const unsigned v = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
        out += {table[v >> 18], table[(v >> 12) & 63], table[(v >> 6) & 63], table[v & 63]};
    }
    if (i + 1 == in.size()) {
        const unsigned v = in[i] << 16;
        out += {table[v >> 18], table[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == in.size()) {
        const unsigned v = (in[i] << 16) | (in[i + 1] << 8);
        out += {table[v >> 18], table[(v >> 12) & 63], table[(v >> 6) & 63], '='};
    }
    return out;
}

}  // namespace

int RunEws(const Output& out, const Parsed& args) {
    if (!args.positional.empty()) return out.Usage("ews takes no arguments besides --write and --read");
    std::optional<std::string> write_from;
    if (args.Has("--write")) write_from = args.Value("--write");
    std::uint32_t read_count = 0;
    if (args.Has("--read") && (!ParseNumber(args.Value("--read"), read_count) || read_count > 0x7FFFFFFF))
        return out.Usage("--read takes a count of 0 to 2147483647");
    std::vector<unsigned char> data;
    if (write_from) {
        if (*write_from == "-") UseBinary(stdin);
        std::FILE* f = *write_from == "-" ? stdin : std::fopen(write_from->c_str(), "rb");
        if (write_from->empty()) return out.Usage("--write needs a file, or - for standard input");
        if (!f) return out.LocalFailure("cannot read " + *write_from + ": " + std::strerror(errno), *write_from);
        unsigned char buf[65536];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof(buf), f)) > 0;) data.insert(data.end(), buf, buf + n);
        if (f != stdin) std::fclose(f);
        if (data.size() > 0x7FFFFFFF) return out.Usage("too much to write at once");
    }
    Ref<IIUSBEWS> ews;
    if (!Create(CLSID_IUSBEWS, IID_IIUSBEWS, ews)) return NoObject("IUSBEWS");
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    int written = 0;
    // The channel gives no end of a reply: a read of more than the reply
    // waits for bytes that never come, until the time limit or a signal
    // ends the command, and a request cut short loses what it had received.
    // So the bytes are read one request each, and what arrived is kept: for
    // people written out as it comes, in JSON given with the outcome
    // whatever it is (also when the process must end without the call).
    std::vector<unsigned char> got;
    got.reserve(read_count);
    std::mutex got_mu;
    auto result = [&] {
        std::lock_guard<std::mutex> lock(got_mu);
        return JsonObject().Num("written", written).Num("read", static_cast<long long>(got.size()))
            .Str("data_base64", Base64(got));
    };
    if (out.json) out.partial = result;
    if (!out.json) UseBinary(stdout);
    out.Attempt([&] {
        ews->OpenEWS(&s);
        return s;
    });
    if (s == FAXSTATUS_OK && !data.empty()) ews->WriteEWS(data.data(), static_cast<int>(data.size()), &written, &s);
    while (s == FAXSTATUS_OK && got.size() < read_count) {
        unsigned char byte = 0;
        int one = 0;
        out.Attempt([&] {
            ews->ReadEWS(&byte, 1, &one, &s);
            return s;
        });
        if (s != FAXSTATUS_OK || one != 1) break;
        std::lock_guard<std::mutex> lock(got_mu);
        got.push_back(byte);
        if (!out.json) std::fputc(byte, stdout);
    }
    FAXSTATUS closed = FAXSTATUS_CMD_FAIL;
    ews->CloseEWS(&closed);
    out.partial = nullptr;
    std::fflush(stdout);
    // A failure keeps what arrived before it: the counts and the bytes go
    // with the error in JSON.
    return out.Finish(s, JsonObject(), [] {}, Diagnose(s, "ews"), result());
}

}  // namespace cli
