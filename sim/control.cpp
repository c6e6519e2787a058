// The control channel's vocabulary and framing, and its client side.
#include "sim/control.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>

#include "base/byte_order.h"
#include "base/mfp1_commands.h"
#include "sim/file_bytes.h"
#include "sim/json_text.h"
#include "sim/simd_options.h"

namespace sim {
namespace ctl {
namespace {

struct CommandWord {
    const char* name;
    std::uint32_t command;
};

// The fax commands a rule can name, by their protocol numbers, and the two
// device-control requests by their control codes.
constexpr CommandWord kCommands[] = {
    {"send-begin", FAXCMD_SEND_BEGIN},
    {"send-end", FAXCMD_SEND_END},
    {"recipients", FAXCMD_RECIPIENTS},
    {"list", FAXCMD_LIST_RECEIVED},
    {"get", FAXCMD_GET_RECEIVED},
    {"log", FAXCMD_GET_LOG_ENTRY},
    {"remove", FAXCMD_REMOVE_RECEIVED},
    {"password-set", FAXCMD_PASSWORD_SET},
    {"check-password", FAXCMD_CHECK_PASSWORD},
    {"read-settings", FAXCMD_READ_SETTINGS},
    {"save-settings", FAXCMD_SAVE_SETTINGS},
    {"data", FAXCMD_DATA},
    {"receive-settings", FAXCMD_RECEIVE_SETTINGS},
    {"wait", kIoctlWaitForReceivedFax},
    {"cancel", kIoctlCancelIo},
};
constexpr char kEws[] = "ews";

enum class Value { None, Required, Optional };
enum class Family { Transfer, Reply, Download };

struct ActionWord {
    const char* name;
    Fault fault;
    Value value;
    Family family;
};

constexpr ActionWord kActions[] = {
    {"reply-status", Fault::ReplyStatus, Value::Required, Family::Reply},
    {"reply-length", Fault::ReplyDataLength, Value::Required, Family::Reply},
    {"reply-extra", Fault::ReplyExtraData, Value::Required, Family::Reply},
    {"reply-param1", Fault::ReplyParam1, Value::Required, Family::Reply},
    {"reply-bad-magic", Fault::ReplyBadMagic, Value::None, Family::Reply},
    {"stall", Fault::Stall, Value::None, Family::Transfer},
    {"drop", Fault::DropConnection, Value::None, Family::Transfer},
    {"delay", Fault::Delay, Value::Required, Family::Transfer},
    {"fail", Fault::FailTransfer, Value::Optional, Family::Transfer},
    {"short", Fault::ShortTransfer, Value::Required, Family::Transfer},
    {"block-status", Fault::BlockStatus, Value::Required, Family::Download},
    {"block-zero", Fault::BlockZeroLength, Value::None, Family::Download},
    {"block-oversize", Fault::BlockOversize, Value::Required, Family::Download},
    {"closing-status", Fault::ClosingStatus, Value::Required, Family::Download},
    {"closing-length", Fault::ClosingDataLength, Value::Required, Family::Download},
};

// The device statuses a reply can be given by name.
struct StatusWord {
    const char* name;
    std::uint32_t status;
};
constexpr StatusWord kStatuses[] = {
    {"ok", DEVSTATUS_OK}, {"no", DEVSTATUS_NO}, {"busy", DEVSTATUS_BUSY}, {"full", DEVSTATUS_FULL}};


bool ParseNumber(const std::string& text, std::uint32_t& out) { return ParseSimdNumber(text, out); }

bool Fail(std::string& error, std::string text) {
    error = std::move(text);
    return false;
}

// Splits "--option=value" into its parts; `value` is set only for that form.
void SplitOption(std::string& word, std::optional<std::string>& value) {
    value.reset();
    if (word.rfind("--", 0) != 0) return;
    const std::size_t eq = word.find('=');
    if (eq == std::string::npos) return;
    value = word.substr(eq + 1);
    word.resize(eq);
}

// Takes the words of a command line: options (each with its value) apart
// from the positional words. `with_value` lists the options that take one;
// `flags` those that do not.
bool SplitWords(const std::vector<std::string>& words, const std::vector<std::string>& with_value,
                const std::vector<std::string>& flags, std::vector<std::string>& positional,
                std::vector<std::pair<std::string, std::string>>& options, std::string& error) {
    for (std::size_t i = 0; i < words.size(); ++i) {
        std::string w = words[i];
        std::optional<std::string> inline_value;
        SplitOption(w, inline_value);
        const bool is_option = w.size() > 1 && w[0] == '-' && !(w.size() > 1 && w[1] >= '0' && w[1] <= '9');
        if (!is_option) {
            positional.push_back(words[i]);
            continue;
        }
        if (std::find(flags.begin(), flags.end(), w) != flags.end()) {
            if (inline_value) return Fail(error, w + " takes no value");
            options.emplace_back(w, "");
            continue;
        }
        if (std::find(with_value.begin(), with_value.end(), w) == with_value.end())
            return Fail(error, "unknown option " + w);
        if (!inline_value && i + 1 >= words.size()) return Fail(error, w + " needs a value");
        options.emplace_back(w, inline_value ? *inline_value : words[++i]);
    }
    return true;
}

}  // namespace

Bytes EncodeMessage(const std::vector<Bytes>& fields) {
    std::size_t size = 0;
    for (const Bytes& f : fields) size += 4 + f.size();
    Bytes out(4 + size);
    wire::StoreBE32(out.data(), static_cast<std::uint32_t>(size));
    std::size_t at = 4;
    for (const Bytes& f : fields) {
        wire::StoreBE32(out.data() + at, static_cast<std::uint32_t>(f.size()));
        if (!f.empty()) std::memcpy(out.data() + at + 4, f.data(), f.size());
        at += 4 + f.size();
    }
    return out;
}

bool MessageLength(const std::uint8_t* prefix, std::uint32_t& length) {
    length = wire::LoadBE32(prefix);
    return length <= kMaxMessage;
}

bool DecodeFields(const std::uint8_t* body, std::size_t size, std::vector<Bytes>& fields) {
    fields.clear();
    std::size_t at = 0;
    while (at < size) {
        if (size - at < 4 || fields.size() >= kMaxFields) return false;
        const std::uint32_t n = wire::LoadBE32(body + at);
        at += 4;
        if (n > size - at) return false;
        fields.emplace_back(body + at, body + at + n);
        at += n;
    }
    return true;
}

std::string CommandName(std::uint32_t command, Channel channel) {
    if (channel == Channel::Ews) return kEws;
    for (const CommandWord& c : kCommands)
        if (c.command == command) return c.name;
    return std::to_string(command);
}

bool ParseRule(const std::vector<std::string>& words, Rule& rule, std::string& error) {
    std::vector<std::string> pos;
    std::vector<std::pair<std::string, std::string>> opts;
    if (!SplitWords(words, {"--times", "--at", "--block"}, {}, pos, opts, error)) return false;
    if (pos.size() < 2) return Fail(error, "a rule is COMMAND ACTION [VALUE] [--times N]");
    Rule r;
    // The command: a name, a number, or the EWS channel.
    bool control = false;
    if (pos[0] == kEws) {
        r.channel = Channel::Ews;
    } else {
        auto it = std::find_if(std::begin(kCommands), std::end(kCommands),
                               [&](const CommandWord& c) { return pos[0] == c.name; });
        if (it != std::end(kCommands)) {
            r.command = it->command;
        } else if (!ParseNumber(pos[0], r.command)) {
            return Fail(error, "unknown command '" + pos[0] + "' (a name such as list or get, or a number)");
        }
        control = r.command == kIoctlWaitForReceivedFax || r.command == kIoctlCancelIo;
    }
    auto action = std::find_if(std::begin(kActions), std::end(kActions),
                               [&](const ActionWord& a) { return pos[1] == a.name; });
    if (action == std::end(kActions)) return Fail(error, "unknown action '" + pos[1] + "'");
    r.fault = action->fault;
    r.stage = action->family == Family::Transfer ? Stage::Read : Stage::Reply;
    if ((control || r.channel == Channel::Ews) && action->family != Family::Transfer)
        return Fail(error, std::string(action->name) + " changes a fax reply; " + pos[0] + " has none");
    if (control && r.fault == Fault::Delay) return Fail(error, "delay does not apply to " + pos[0]);
    if (action->family == Family::Download && r.command != FAXCMD_GET_RECEIVED)
        return Fail(error, std::string(action->name) + " applies to get only");

    // The value.
    if (pos.size() > 3) return Fail(error, "unexpected '" + pos[3] + "'");
    if (pos.size() == 3) {
        if (action->value == Value::None) return Fail(error, std::string(action->name) + " takes no value");
        bool named = false;
        if (r.fault == Fault::ReplyStatus) {
            for (const StatusWord& s : kStatuses) {
                if (pos[2] == s.name) {
                    r.value = s.status;
                    named = true;
                }
            }
        }
        if (!named && !ParseNumber(pos[2], r.value))
            return Fail(error, std::string(action->name) + ": '" + pos[2] + "' is not a number");
    } else if (action->value == Value::Required) {
        return Fail(error, std::string(action->name) + " needs a value");
    }

    for (const auto& [name, value] : opts) {
        std::uint32_t n = 0;
        if (name == "--times") {
            if (!ParseNumber(value, n) || n == 0 || n > 0x7FFFFFFF) return Fail(error, "--times must be 1 or more");
            r.times = static_cast<int>(n);
        } else if (name == "--block") {
            if (action->family != Family::Download || r.fault == Fault::ClosingStatus ||
                r.fault == Fault::ClosingDataLength)
                return Fail(error, "--block applies to the block-* actions");
            if (!ParseNumber(value, n) || n > 0x7FFFFFFF) return Fail(error, "--block must be a block's index");
            r.block = static_cast<int>(n);
        } else {  // --at
            if (action->family != Family::Transfer) return Fail(error, "--at applies to the transfer actions");
            if (control) return Fail(error, "--at does not apply to " + pos[0]);
            const std::size_t colon = value.find(':');
            const std::string stage = value.substr(0, colon);
            if (colon == std::string::npos || (stage != "read" && stage != "write") ||
                !ParseNumber(value.substr(colon + 1), n) || n > 0x7FFFFFFF)
                return Fail(error, "--at is read:K or write:K (the K-th read or write request of the exchange)");
            r.stage = stage == "read" ? Stage::Read : Stage::Write;
            r.index = static_cast<int>(n);
        }
    }
    rule = r;
    return true;
}

std::string RuleText(const Rule& r) {
    std::string text = CommandName(r.command, r.channel);
    for (const ActionWord& a : kActions) {
        if (a.fault != r.fault) continue;
        text += std::string(" ") + a.name;
        if (a.value == Value::Required || (a.value == Value::Optional && r.value != 0))
            text.append(" ").append(std::to_string(r.value));
        if (a.family == Family::Transfer && (r.stage != Stage::Read || r.index != 0) && r.stage != Stage::Reply)
            text += Cat(" --at ", r.stage == Stage::Read ? "read:" : "write:", std::to_string(r.index));
        if (a.family == Family::Download && r.block != 0) text += Cat(" --block ", std::to_string(r.block));
        break;
    }
    return text;
}

bool LoadRules(const std::string& path, std::vector<Rule>& rules, std::string& error) {
    Bytes text;
    if (!ReadFileBytes(path, text, error)) return false;
    std::size_t line_no = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = at;
        while (end < text.size() && text[end] != '\n') ++end;
        std::string line(text.begin() + static_cast<std::ptrdiff_t>(at), text.begin() + static_cast<std::ptrdiff_t>(end));
        at = end + 1;
        ++line_no;
        if (const std::size_t hash = line.find('#'); hash != std::string::npos) line.resize(hash);
        std::vector<std::string> words;
        std::string word;
        for (char c : line) {
            if (c == ' ' || c == '\t' || c == '\r') {
                if (!word.empty()) words.push_back(std::move(word));
                word.clear();
            } else {
                word += c;
            }
        }
        if (!word.empty()) words.push_back(std::move(word));
        if (words.empty()) continue;
        Rule rule;
        std::string why;
        if (!ParseRule(words, rule, why)) return Fail(error, Cat(path, ":", std::to_string(line_no), ": ", why));
        rules.push_back(rule);
    }
    return true;
}

bool ParseCommand(const std::vector<std::string>& all, Command& c, std::string& error) {
    c = Command{};
    // --json may stand anywhere.
    std::vector<std::string> words;
    for (const std::string& w : all) {
        if (w == "--json") {
            c.json = true;
        } else {
            words.push_back(w);
        }
    }
    if (words.empty()) return Fail(error, "a command is needed (status, receive, fault, jobs, job, traffic, reset)");
    const std::string verb = words[0];
    const std::vector<std::string> rest(words.begin() + 1, words.end());
    std::vector<std::string> pos;
    std::vector<std::pair<std::string, std::string>> opts;
    auto no_more = [&](std::size_t positional) {
        if (pos.size() > positional) return Fail(error, verb + ": unexpected '" + pos[positional] + "'");
        return true;
    };
    if (verb == "status" || verb == "jobs" || verb == "reset") {
        if (!SplitWords(rest, {}, {}, pos, opts, error) || !no_more(0)) return false;
        c.verb = verb == "status" ? Command::Status : verb == "jobs" ? Command::Jobs : Command::Reset;
        return true;
    }
    if (verb == "receive") {
        if (!SplitWords(rest, {"--from", "--cis", "--name"}, {}, pos, opts, error)) return false;
        if (pos.empty()) return Fail(error, "receive: which FILE?");
        if (!no_more(1)) return false;
        c.verb = Command::Receive;
        c.file = pos[0];
        for (const auto& [name, value] : opts) {
            if (name == "--from") {
                c.from = value;
            } else if (name == "--cis") {
                c.cis = value;
                c.has_cis = true;
            } else {
                if (value.empty()) return Fail(error, "receive: --name needs a name");
                c.name = value;
            }
        }
        return true;
    }
    if (verb == "fault") {
        if (rest.empty()) return Fail(error, "fault: add, list or clear?");
        if (rest[0] == "add") {
            c.verb = Command::FaultAdd;
            return ParseRule(std::vector<std::string>(rest.begin() + 1, rest.end()), c.rule, error);
        }
        if (rest[0] == "list" || rest[0] == "clear") {
            if (rest.size() > 1) return Fail(error, "fault " + rest[0] + ": unexpected '" + rest[1] + "'");
            c.verb = rest[0] == "list" ? Command::FaultList : Command::FaultClear;
            return true;
        }
        return Fail(error, "fault: unknown '" + rest[0] + "' (add, list or clear)");
    }
    if (verb == "job") {
        if (!SplitWords(rest, {"-o", "--output"}, {}, pos, opts, error)) return false;
        if (pos.empty() || !ParseNumber(pos[0], c.job) || c.job == 0) return Fail(error, "job: which job ID?");
        if (!no_more(1)) return false;
        c.verb = Command::Job;
        for (const auto& o : opts) c.file = o.second;
        if (c.file.empty()) return Fail(error, "job: -o FILE is needed");
        if (c.file == "-" && c.json) return Fail(error, "job: -o - and --json would both write to standard output");
        return true;
    }
    if (verb == "traffic") {
        if (!SplitWords(rest, {"--last"}, {}, pos, opts, error) || !no_more(0)) return false;
        c.verb = Command::Traffic;
        for (const auto& o : opts) {
            std::uint32_t n = 0;
            if (!ParseNumber(o.second, n) || n == 0) return Fail(error, "traffic: --last must be 1 or more");
            c.last = n;
        }
        return true;
    }
    return Fail(error, "unknown command '" + verb + "'");
}

const char kCtlUsage[] =
    "Commands of a running device (ctl COMMAND [ARGS...]; each takes --json):\n"
    "  status                  its fax number, received faxes, pending events,\n"
    "                          sent jobs, open connections, armed fault rules\n"
    "  receive FILE [--from NUMBER] [--cis TEXT] [--name NAME]\n"
    "                          FILE arrives as a fax from someone else; prints\n"
    "                          its name (CIS defaults to NUMBER)\n"
    "  fault add COMMAND ACTION [VALUE] [--times N] [--at read:K|write:K]\n"
    "            [--block K]   arm a fault on requests of COMMAND; prints its id\n"
    "  fault list, fault clear the rules armed; disarm them all\n"
    "  jobs                    the sent jobs, oldest first\n"
    "  job ID -o FILE          write a sent job's data to FILE (- for standard\n"
    "                          output)\n"
    "  traffic [--last N]      the most recent conversations and their requests\n"
    "  reset                   received faxes, jobs, events, rules and traffic\n"
    "                          back to how the device started\n"
    "COMMAND: send-begin send-end recipients list get log remove password-set\n"
    "  check-password read-settings save-settings data receive-settings, or a\n"
    "  number; wait and cancel (the two device-control requests); ews (the EWS\n"
    "  channel).\n"
    "ACTION: reply-status V (V a number, or ok, no, busy, full), reply-length V,\n"
    "  reply-extra N, reply-param1 V, reply-bad-magic; stall, drop, delay MS,\n"
    "  fail [ERROR], short N (transfer faults: the reply's read, or --at);\n"
    "  block-status V, block-zero, block-oversize N, closing-status V,\n"
    "  closing-length V (get's download).\n"
    "ctl exits 0 on success, 1 when no device serves there or the device\n"
    "refuses the command, 2 for a bad command line.\n";

void PrintUsage(const char* head, const char* tail) {
    std::fputs(head, stdout);
    std::fputs(kCtlUsage, stdout);
    std::fputs(tail, stdout);
}

// ---------------------------------------------------------------------------
// The client side

namespace {

void PrintError(bool json, const std::string& text) {
    std::fprintf(stderr, "tessaline-simd: %s\n", text.c_str());
    if (json) std::printf("{\"error\":%s}\n", JsonString(text).c_str());
}

bool WriteAll(std::FILE* f, const Bytes& data) {
    return data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size();
}

}  // namespace

int RunClient(const std::vector<std::string>& words, const std::string& device, const std::string& endpoint,
              const Exchange& exchange) {
    for (const std::string& w : words) {
        if (w == "-h" || w == "--help") {
            std::fputs(kCtlUsage, stdout);
            return kExitOk;
        }
    }
    Command command;
    std::string error;
    if (!ParseCommand(words, command, error)) {
        const bool json = std::find(words.begin(), words.end(), "--json") != words.end();
        PrintError(json, "ctl: " + error);
        std::fprintf(stderr, "Run 'tessaline-simd ctl --help' for the commands.\n");
        return kExitUsage;
    }
    Bytes attachment;
    if (command.verb == Command::Receive && !ReadFileBytes(command.file, attachment, error)) {
        PrintError(command.json, error);
        return kExitFailed;
    }
    if (attachment.size() > kMaxMessage - (1u << 20)) {
        PrintError(command.json, Cat(command.file, " is larger than the control channel carries (",
                                     std::to_string(kMaxMessage >> 20), " MiB)"));
        return kExitFailed;
    }
    std::vector<Bytes> fields;
    fields.emplace_back(kVersion, kVersion + std::strlen(kVersion));
    fields.push_back(std::move(attachment));
    for (const std::string& w : words) fields.emplace_back(w.begin(), w.end());
    Bytes reply;
    switch (exchange(EncodeMessage(fields), reply, error)) {
        case Reach::Ok: break;
        case Reach::NoDevice:
            PrintError(command.json, "no device " + device + " serves: nothing answers at " + endpoint +
                                         (error.empty() ? "" : " (" + error + ")"));
            return kExitFailed;
        case Reach::Failed:
            PrintError(command.json, "the device " + device + " did not answer at " + endpoint + ": " + error);
            return kExitFailed;
    }
    std::vector<Bytes> answer;
    std::uint32_t status = 0;
    if (!DecodeFields(reply.data(), reply.size(), answer) || answer.size() < 4 ||
        !ParseNumber(std::string(answer[0].begin(), answer[0].end()), status) || status > 255) {
        PrintError(command.json, "the device " + device + " answered something other than a control reply");
        return kExitFailed;
    }
    WriteAll(stdout, answer[1]);
    WriteAll(stderr, answer[2]);
    if (status == kExitOk && command.verb == Command::Job) {
        if (command.file == "-") {
            if (!WriteAll(stdout, answer[3])) status = kExitFailed;
        } else {
            std::ofstream out(command.file, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(answer[3].data()), static_cast<std::streamsize>(answer[3].size()));
            out.close();
            if (!out) {
                PrintError(false, "cannot write " + command.file);
                status = kExitFailed;
            }
        }
    }
    std::fflush(stdout);
    return static_cast<int>(status);
}

}  // namespace ctl
}  // namespace sim
