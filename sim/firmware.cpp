#include "sim/firmware.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "protocol/byte_order.h"

namespace sim {
namespace {

constexpr std::uint32_t kHeader = 32;
constexpr std::uint32_t kSettingsSize = 308;
// A request announcing more data than this is taken for garbage.
constexpr std::uint32_t kMaxRequestData = 512u << 20;
constexpr std::size_t kMaxHttpRequest = 64 * 1024;

enum Cmd : std::uint32_t {
    kSendBegin = 0,
    kSendEnd = 1,
    kRecipients = 2,
    kList = 3,
    kGet = 4,
    kLog = 5,
    kRemove = 6,
    kPasswordSet = 7,
    kCheckPassword = 8,
    kReadSettings = 9,
    kSaveSettings = 10,
    kData = 13,
    kReceiveSettings = 14,
};

bool IsTransferFault(Fault f) {
    return f == Fault::FailTransfer || f == Fault::ShortTransfer || f == Fault::DropConnection ||
           f == Fault::Stall || f == Fault::Delay;
}

Bytes MakeHeader(std::uint32_t command, std::uint32_t status, std::uint32_t length, std::uint32_t param1 = 0) {
    Bytes h(kHeader, 0);
    std::memcpy(h.data(), "MFP1", 4);
    wire::StoreBE32(h.data() + 4, command);
    wire::StoreBE32(h.data() + 8, param1);
    wire::StoreBE32(h.data() + 16, status);
    wire::StoreBE32(h.data() + 20, length);
    return h;
}

// A zero-terminated string taken from a fixed-width field, never past it.
std::string FieldString(const std::uint8_t* p, std::size_t width) {
    const void* nul = std::memchr(p, 0, width);
    std::size_t n = nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - p) : width;
    return std::string(reinterpret_cast<const char*>(p), n);
}

// A name sent with its terminating zero, which DataLength counts.
bool TakeName(const Bytes& data, std::string& name) {
    if (data.empty() || data.back() != 0) return false;
    if (std::memchr(data.data(), 0, data.size()) != data.data() + data.size() - 1) return false;
    name.assign(reinterpret_cast<const char*>(data.data()), data.size() - 1);
    return true;
}

void DefaultSettings(std::uint8_t (&s)[308]) {
    std::memset(s, 0, sizeof(s));
    std::snprintf(reinterpret_cast<char*>(s + 32), 32, "%s", "9");
    std::snprintf(reinterpret_cast<char*>(s + 96), 128, "%s", "Tessaline Simulated Fax");
    std::snprintf(reinterpret_cast<char*>(s + 224), 32, "%s", "5550100");
    wire::StoreBE32(s + 256, 0);  // ring pattern: all
    wire::StoreBE32(s + 272, 1);  // answer mode: automatic
    std::snprintf(reinterpret_cast<char*>(s + 276), 32, "%s", "2026-01-01 00:00:00");
}

std::string JsonEscape(const std::string& in) {
    std::string out;
    for (unsigned char c : in) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof(buf), "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string HtmlEscape(const std::string& in) {
    std::string out;
    for (char c : in) {
        switch (c) {
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '&': out += "&amp;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

}  // namespace

void MakeLogEntry(std::uint8_t (&log)[80], const std::string& name, std::uint32_t pages, std::uint32_t duration) {
    std::memset(log, 0, sizeof(log));
    const std::uint8_t when[7] = {12, 30, 0, 3, 10, 12, 26};  // hour min sec DOW day month year
    std::memcpy(log, when, sizeof(when));
    wire::StoreBE32(log + 8, duration);
    wire::StoreBE32(log + 12, 0);  // the logged fax's status: received fine
    wire::StoreBE32(log + 16, 1);  // kind: received
    log[20] = static_cast<std::uint8_t>(pages > 255 ? 255 : pages);
    log[21] = 0;
    std::snprintf(reinterpret_cast<char*>(log + 22), 20, "%s", "+1 555 0100");
    std::memcpy(log + 42, name.data(), std::min<std::size_t>(name.size(), 34));
}

struct Firmware::Session {
    SessionId id = 0;
    Channel channel = Channel::Fax;
    // Request bytes taken but not yet parsed, and reply bytes not yet read.
    Bytes in;
    Bytes out;
    std::size_t out_pos = 0;
    // The exchange under way: the command of the last request header.
    std::uint32_t cmd = 0xFFFFFFFF;
    int occurrence = -1;
    int writes = 0;
    int reads = 0;
    bool at_boundary = true;  // the next byte written starts a request header
    std::uint32_t awaiting = 0;  // data bytes still due for the current request
    std::uint8_t pending_header[32] = {};
    std::optional<SentJob> job;
    std::uint64_t job_bytes = 0;  // data bytes of the job under way, kept or not
    bool wrote = false;

    std::size_t Available() const { return out.size() - out_pos; }
    void Push(const Bytes& b) { out.insert(out.end(), b.begin(), b.end()); }
    Bytes Take(std::size_t n) {
        Bytes b(out.begin() + static_cast<std::ptrdiff_t>(out_pos),
                out.begin() + static_cast<std::ptrdiff_t>(out_pos + n));
        out_pos += n;
        if (out_pos == out.size()) {
            out.clear();
            out_pos = 0;
        }
        return b;
    }
};

namespace {

// A write that failed, came short or stalled leaves the request it belonged
// to incomplete. The device discards that request (its header and whatever
// data arrived) and takes the next bytes as a new request header, rather than
// taking a later request for the missing data and never answering.
void AbandonRequest(Firmware::Session& s) {
    s.in.clear();
    s.awaiting = 0;
    s.at_boundary = true;
}

// A read that failed, came short or stalled loses the rest of the answer the
// device had queued: the device flushes it on a transfer error, so the next
// request is answered afresh and not with the remains of this one.
void AbandonReply(Firmware::Session& s) {
    s.out.clear();
    s.out_pos = 0;
}

}  // namespace

Firmware::Firmware() { DefaultSettings(settings_); }
Firmware::~Firmware() = default;

void Firmware::SetWakeup(std::function<void()> wake) {
    std::lock_guard<std::mutex> g(mu_);
    wake_ = std::move(wake);
}

void Firmware::SetOnStateChange(std::function<void()> hook) {
    std::lock_guard<std::mutex> g(mu_);
    on_state_change_ = std::move(hook);
}

void Firmware::Changed() {
    // Runs under mu_; the hook must not call back into the firmware's lock,
    // so the daemon only flags the change and saves from its own loop.
    if (on_state_change_) on_state_change_();
}

Firmware::SessionId Firmware::Open(Channel channel) {
    std::lock_guard<std::mutex> g(mu_);
    auto s = std::make_unique<Session>();
    s->id = next_session_++;
    s->channel = channel;
    if (channel == Channel::Fax) ++fax_connections_;
    SessionId id = s->id;
    sessions_[id] = std::move(s);
    return id;
}

void Firmware::Close(SessionId id) {
    std::lock_guard<std::mutex> g(mu_);
    if (conversation_ == id) conversation_ = 0;
    sessions_.erase(id);
}

void Firmware::Record(Transfer t) {
    std::lock_guard<std::mutex> g(mu_);
    if (recording_) traffic_.push_back(std::move(t));
}

// ---------------------------------------------------------------------------
// Scripting

void Firmware::Script(const Rule& rule) {
    std::lock_guard<std::mutex> g(mu_);
    if (rules_.empty()) occurrences_.clear();
    rules_.push_back(rule);
}

void Firmware::ClearScript() {
    std::lock_guard<std::mutex> g(mu_);
    rules_.clear();
    occurrences_.clear();
}

std::size_t Firmware::RulesPending() const {
    std::lock_guard<std::mutex> g(mu_);
    return static_cast<std::size_t>(
        std::count_if(rules_.begin(), rules_.end(), [](const Rule& r) { return r.times > 0; }));
}

Rule* Firmware::Match(const Session& s, Stage stage, int index, Fault only, bool any_fault) {
    for (Rule& r : rules_) {
        if (r.times == 0 || r.channel != Channel::Fax || r.command != s.cmd || r.stage != stage) continue;
        if (r.occurrence >= 0 && r.occurrence != s.occurrence) continue;
        if (stage != Stage::Reply && r.index != index) continue;
        if (!any_fault && r.fault != only) continue;
        if (stage != Stage::Reply && !IsTransferFault(r.fault)) continue;
        return &r;
    }
    return nullptr;
}

const Rule* Firmware::FindReplyRule(const Session& s, Fault fault) {
    Rule* r = Match(s, Stage::Reply, 0, fault, false);
    if (r) Fire(r);
    return r;
}

void Firmware::Fire(const Rule* rule) {
    if (!rule) return;
    auto* r = const_cast<Rule*>(rule);
    if (r->times > 0) --r->times;
}

// ---------------------------------------------------------------------------
// Driver-front interface

Outcome Firmware::OnWrite(SessionId id, const std::uint8_t* data, std::uint32_t len) {
    std::lock_guard<std::mutex> g(mu_);
    auto it = sessions_.find(id);
    if (it == sessions_.end()) return Outcome::Failed(kErrorGenFailure);
    Session& s = *it->second;
    return s.channel == Channel::Fax ? FaxWrite(s, data, len) : EwsWrite(s, data, len);
}

Outcome Firmware::OnRead(SessionId id, std::uint32_t max) {
    std::lock_guard<std::mutex> g(mu_);
    auto it = sessions_.find(id);
    if (it == sessions_.end()) return Outcome::Failed(kErrorGenFailure);
    Session& s = *it->second;
    return s.channel == Channel::Fax ? FaxRead(s, max) : EwsRead(s, max);
}

Outcome Firmware::FaxWrite(Session& s, const std::uint8_t* data, std::uint32_t len) {
    if (conversation_ != 0 && conversation_ != s.id) ++interleavings_;
    conversation_ = s.id;

    if (s.at_boundary && s.in.empty()) {
        // A new request begins: the exchange is named after its command.
        s.cmd = len >= 8 ? wire::LoadBE32(data + 4) : 0xFFFFFFFF;
        s.occurrence = occurrences_[s.cmd]++;
        s.writes = 0;
        s.reads = 0;
    }
    Rule* rule = Match(s, Stage::Write, s.writes++);
    Fire(rule);

    std::uint32_t take = len;
    bool short_write = false;
    Outcome o;
    if (rule) {
        switch (rule->fault) {
            case Fault::FailTransfer:
                AbandonRequest(s);
                return Outcome::Failed(rule->value ? rule->value : kErrorGenFailure);
            case Fault::DropConnection:
                return Outcome::With(Outcome::Drop);
            case Fault::Stall:
                AbandonRequest(s);  // its bytes are never taken: a cancel or a close ends it
                return Outcome::With(Outcome::Stall);
            case Fault::ShortTransfer:
                take = len == 0 ? 0 : std::min(rule->value, len - 1);
                short_write = true;
                break;
            case Fault::Delay:
                o.delay_ms = rule->value;
                break;
            default:
                break;
        }
    }

    if (recording_ && take > 0) {
        if (!s.wrote) conversations_.emplace_back(s.id, Bytes{});
        for (auto it = conversations_.rbegin(); it != conversations_.rend(); ++it) {
            if (it->first == s.id) {
                it->second.insert(it->second.end(), data, data + take);
                break;
            }
        }
    }
    if (take > 0) s.wrote = true;
    if (short_write) {
        AbandonRequest(s);
    } else {
        s.in.insert(s.in.end(), data, data + take);
        Consume(s);
    }
    o.action = Outcome::Complete;
    o.count = take;
    return o;
}

Outcome Firmware::FaxRead(Session& s, std::uint32_t max) {
    Rule* rule = Match(s, Stage::Read, s.reads++);
    Fire(rule);
    Outcome o;
    if (max == 0) return o;  // a read of nothing completes at once
    if (rule) {
        switch (rule->fault) {
            case Fault::FailTransfer:
                AbandonReply(s);
                return Outcome::Failed(rule->value ? rule->value : kErrorGenFailure);
            case Fault::DropConnection:
                return Outcome::With(Outcome::Drop);
            case Fault::Stall:
                AbandonReply(s);
                return Outcome::With(Outcome::Stall);
            case Fault::ShortTransfer: {
                std::size_t full = std::min<std::size_t>(max, s.Available());
                std::size_t n = full == 0 ? 0 : std::min<std::size_t>(rule->value, full - 1);
                o.data = s.Take(n);
                AbandonReply(s);
                return o;
            }
            case Fault::Delay:
                o.delay_ms = rule->value;
                break;
            default:
                break;
        }
    }
    if (s.Available() == 0) {
        o.action = Outcome::Pend;
        return o;
    }
    o.data = s.Take(std::min<std::size_t>(max, s.Available()));
    return o;
}

std::optional<Outcome> Firmware::RetryPending(SessionId id, Kind kind, std::uint32_t code, std::uint32_t max) {
    std::lock_guard<std::mutex> g(mu_);
    auto it = sessions_.find(id);
    if (it == sessions_.end()) return std::nullopt;
    Session& s = *it->second;
    Outcome o;
    if (kind == Kind::Read) {
        if (s.Available() == 0) return std::nullopt;
        o.data = s.Take(std::min<std::size_t>(max, s.Available()));
        return o;
    }
    if (kind == Kind::Control && code == kIoctlWaitForReceivedFax && !events_.empty()) {
        o.data.assign(16, 0);
        wire::StoreBE32(o.data.data() + 4, events_.front());
        events_.pop_front();
        return o;
    }
    return std::nullopt;
}

Outcome Firmware::OnControl(SessionId id, std::uint32_t code, const Bytes& in, std::uint32_t out_cap) {
    std::lock_guard<std::mutex> g(mu_);
    auto it = sessions_.find(id);
    if (it == sessions_.end()) return Outcome::Failed(kErrorGenFailure);
    Session& s = *it->second;
    if (s.channel != Channel::Fax) return Outcome::Failed(kErrorInvalidFunction);

    // Control requests are scripted by their control code.
    std::optional<std::uint32_t> short_reply;  // ShortTransfer: the bytes a wait's reply is cut to
    for (Rule& r : rules_) {
        if (r.times == 0 || r.channel != Channel::Fax || r.command != code || !IsTransferFault(r.fault)) continue;
        Fire(&r);
        switch (r.fault) {
            case Fault::FailTransfer: return Outcome::Failed(r.value ? r.value : kErrorGenFailure);
            case Fault::DropConnection: return Outcome::With(Outcome::Drop);
            case Fault::Stall: return Outcome::With(Outcome::Stall);
            case Fault::ShortTransfer: short_reply = r.value; break;
            default: break;
        }
        break;
    }

    Outcome o;
    if (code == kIoctlWaitForReceivedFax) {
        if (in.size() != 4 || wire::LoadLE32(in.data()) != 16 || out_cap < 16) {
            ++protocol_errors_;
            return Outcome::Failed(kErrorInvalidParameter);
        }
        if (short_reply) {
            // Completes at once, carrying the next event (if any) in a reply
            // cut below its full 16 bytes.
            o.data.assign(16, 0);
            if (!events_.empty()) {
                wire::StoreBE32(o.data.data() + 4, events_.front());
                events_.pop_front();
            }
            o.data.resize(std::min<std::uint32_t>(*short_reply, 15));
            return o;
        }
        if (events_.empty()) {
            o.action = Outcome::Pend;
            return o;
        }
        o.data.assign(16, 0);
        wire::StoreBE32(o.data.data() + 4, events_.front());
        events_.pop_front();
        return o;
    }
    if (code == kIoctlCancelIo) {
        if (in.size() != 4 || wire::LoadLE32(in.data()) != 2) {
            ++protocol_errors_;
            return Outcome::Failed(kErrorInvalidParameter);
        }
        o.cancel_others = true;
        return o;
    }
    return Outcome::Failed(kErrorInvalidFunction);
}

// ---------------------------------------------------------------------------
// The MFP1 firmware

void Firmware::Consume(Session& s) {
    std::size_t pos = 0;
    std::uint8_t header[kHeader];
    for (;;) {
        if (s.at_boundary) {
            if (s.in.size() - pos < kHeader) break;
            std::memcpy(header, s.in.data() + pos, kHeader);
            std::memcpy(s.pending_header, header, kHeader);
            pos += kHeader;
            s.awaiting = wire::LoadBE32(header + 20);
            s.at_boundary = false;
            const std::uint32_t command = wire::LoadBE32(header + 4);
            const bool end_of_data = command == kData && s.awaiting == 0;
            const std::uint32_t status_le = wire::LoadLE32(header + 16);
            if (std::memcmp(header, "MFP1", 4) != 0 || wire::LoadBE32(header + 12) != 0 ||
                wire::LoadBE32(header + 24) != 0 || wire::LoadBE32(header + 28) != 0 ||
                (command != kSendBegin && wire::LoadBE32(header + 8) != 0) ||
                (end_of_data ? (status_le != 0 && status_le != 1) : wire::LoadBE32(header + 16) != 0)) {
                ++protocol_errors_;
            }
            if (s.awaiting > kMaxRequestData) {
                ++protocol_errors_;
                s.awaiting = 0;  // take the header alone; the conversation is lost anyway
            }
        }
        if (s.in.size() - pos < s.awaiting) break;
        Bytes data(s.in.begin() + static_cast<std::ptrdiff_t>(pos),
                   s.in.begin() + static_cast<std::ptrdiff_t>(pos + s.awaiting));
        pos += s.awaiting;
        s.awaiting = 0;
        s.at_boundary = true;
        std::memcpy(header, s.pending_header, kHeader);
        HandleRequest(s, wire::LoadBE32(header + 4), header, data);
    }
    s.in.erase(s.in.begin(), s.in.begin() + static_cast<std::ptrdiff_t>(pos));
}

void Firmware::Reply(Session& s, std::uint32_t command, std::uint32_t status, const Bytes& data,
                     std::uint32_t param1, std::optional<std::uint32_t> reply_command) {
    Bytes payload = data;
    Bytes h = MakeHeader(reply_command.value_or(command), status, static_cast<std::uint32_t>(data.size()), param1);
    if (const Rule* r = FindReplyRule(s, Fault::ReplyStatus)) {
        wire::StoreBE32(h.data() + 16, r->value);
        if (r->command_override) wire::StoreBE32(h.data() + 4, *r->command_override);
    }
    if (const Rule* r = FindReplyRule(s, Fault::ReplyParam1)) wire::StoreBE32(h.data() + 8, r->value);
    if (const Rule* r = FindReplyRule(s, Fault::ReplyExtraData)) {
        payload.insert(payload.end(), r->value, 0xEE);
        wire::StoreBE32(h.data() + 20, static_cast<std::uint32_t>(payload.size()));
    }
    if (const Rule* r = FindReplyRule(s, Fault::ReplyDataLength)) wire::StoreBE32(h.data() + 20, r->value);
    if (FindReplyRule(s, Fault::ReplyBadMagic)) std::memcpy(h.data(), "XXXX", 4);
    s.Push(h);
    s.Push(payload);
}

void Firmware::QueueDownload(Session& s, const ReceivedFax& fax) {
    const auto total = static_cast<std::uint32_t>(fax.data.size());
    // The reply announces the total; the image follows in blocks.
    Bytes h = MakeHeader(kGet, 0, total);
    if (const Rule* r = FindReplyRule(s, Fault::ReplyStatus)) {
        wire::StoreBE32(h.data() + 16, r->value);
        if (r->command_override) wire::StoreBE32(h.data() + 4, *r->command_override);
    }
    if (const Rule* r = FindReplyRule(s, Fault::ReplyDataLength)) wire::StoreBE32(h.data() + 20, r->value);
    if (FindReplyRule(s, Fault::ReplyBadMagic)) std::memcpy(h.data(), "XXXX", 4);
    s.Push(h);
    if (wire::LoadBE32(h.data() + 16) != 0 || total == 0) return;

    auto block_rule = [&](Fault f, int k) -> const Rule* {
        for (Rule& r : rules_) {
            if (r.times == 0 || r.command != kGet || r.stage != Stage::Reply || r.fault != f || r.block != k) continue;
            if (r.occurrence >= 0 && r.occurrence != s.occurrence) continue;
            Fire(&r);
            return &r;
        }
        return nullptr;
    };

    // The whole image is queued at once: the room for it, its blocks' headers
    // and the closing header is taken in one allocation, not grown block by
    // block.
    const std::size_t blocks = (static_cast<std::size_t>(total) + block_size_ - 1) / block_size_;
    s.out.reserve(s.out.size() + total + (blocks + 1) * kHeader);
    std::uint32_t offset = 0;
    for (int k = 0; offset < total; ++k) {
        std::uint32_t n = std::min(block_size_, total - offset);
        if (const Rule* r = block_rule(Fault::BlockStatus, k)) {
            s.Push(MakeHeader(kGet, r->value, n));
            return;
        }
        if (block_rule(Fault::BlockZeroLength, k)) {
            s.Push(MakeHeader(kGet, 0, 0));
            return;
        }
        std::uint32_t extra = 0;
        if (const Rule* r = block_rule(Fault::BlockOversize, k)) extra = r->value;
        s.Push(MakeHeader(kGet, 0, n + extra));
        s.out.insert(s.out.end(), fax.data.begin() + offset, fax.data.begin() + offset + n);
        s.out.insert(s.out.end(), extra, 0xEE);
        offset += n;
    }
    std::uint32_t closing_status = 0, closing_length = 0;
    if (const Rule* r = block_rule(Fault::ClosingStatus, 0)) closing_status = r->value;
    if (const Rule* r = block_rule(Fault::ClosingDataLength, 0)) closing_length = r->value;
    s.Push(MakeHeader(kGet, closing_status, closing_length));
}

void Firmware::FinishJob(Session& s) {
    SentJob job = std::move(*s.job);
    s.job.reset();
    job.ended = true;
    const bool ok = job.data_ended && !job.failed_block && s.job_bytes == job.announced_size &&
                    job.announced_size > 0 && !job.recipients.empty();
    job.outcome = ok ? 0 : kStatusRejected;
    Reply(s, kSendEnd, job.outcome, {});

    if (ok && loopback_) {
        const std::string own = FieldString(settings_ + 224, 32);
        for (const Recipient& r : job.recipients) {
            if (own.empty() || r.number != own) continue;
            ReceivedFax fax;
            // A name already in use (a fax kept from an earlier run, or one
            // presented from a folder) is passed over: the host finds faxes
            // by name, so two faxes must never share one.
            char name[32];
            do {
                std::snprintf(name, sizeof(name), "fax%04u.tif", next_fax_number_++);
            } while (std::any_of(received_.begin(), received_.end(),
                                 [&](const ReceivedFax& f) { return f.name == name; }));
            fax.name = name;
            fax.data = job.data;
            MakeLogEntry(fax.log, fax.name, 1, 30);
            received_.push_back(std::move(fax));
            events_.push_back(1);  // e_ReceivedFaxAvailable
            if (wake_) wake_();
            break;  // one copy however often the number is listed
        }
    }
    jobs_.push_back(std::move(job));
    Changed();
}

void Firmware::HandleRequest(Session& s, std::uint32_t command, const std::uint8_t* header, const Bytes& data) {
    // The received fax a request names (its data: the name and its NUL). A
    // malformed or unknown name is rejected here, with the reply sent.
    auto named_fax = [&]() {
        std::string name;
        if (!TakeName(data, name)) {
            ++protocol_errors_;
            Reply(s, command, kStatusRejected, {});
            return received_.end();
        }
        auto it = std::find_if(received_.begin(), received_.end(), [&](const ReceivedFax& f) { return f.name == name; });
        if (it == received_.end()) Reply(s, command, kStatusRejected, {});
        return it;
    };
    switch (command) {
        case kSendBegin:
            s.job = SentJob{};
            s.job_bytes = 0;
            s.job->announced_size = wire::LoadBE32(header + 8);
            Reply(s, command, 0, {});
            break;
        case kRecipients: {
            if (!s.job || data.size() < 4 || (data.size() - 4) % 64 != 0) {
                ++protocol_errors_;
                break;
            }
            const std::uint32_t count = wire::LoadBE32(data.data());
            const std::size_t slots = (data.size() - 4) / 64;
            s.job->recipient_count = count;
            if (count > slots) ++protocol_errors_;
            for (std::size_t k = 0; k < slots; ++k) {
                const std::uint8_t* slot = data.data() + 4 + 64 * k;
                if (k >= count) {
                    // Slots that carry no recipient are all zero.
                    if (std::any_of(slot, slot + 64, [](std::uint8_t b) { return b != 0; })) ++protocol_errors_;
                    continue;
                }
                if (!std::memchr(slot, 0, 32) || !std::memchr(slot + 32, 0, 32)) ++protocol_errors_;
                s.job->recipients.push_back({FieldString(slot, 32), FieldString(slot + 32, 32)});
            }
            break;  // no reply
        }
        case kData:
            if (!s.job) {
                ++protocol_errors_;
                if (data.empty()) Reply(s, command, kStatusRejected, {});
                break;
            }
            if (!data.empty()) {
                if (data.size() > 4096) ++protocol_errors_;
                if (keep_sent_data_ || loopback_) s.job->data.insert(s.job->data.end(), data.begin(), data.end());
                s.job_bytes += data.size();
                ++s.job->blocks;
                break;  // no reply per block
            }
            s.job->data_ended = true;
            s.job->failed_block = header[16] == 1;  // written raw: 01 00 00 00
            Reply(s, command, 0, {});
            break;
        case kSendEnd:
            if (!s.job) {
                Reply(s, command, kStatusRejected, {});
                break;
            }
            FinishJob(s);
            break;
        case kList: {
            Bytes list;
            for (const ReceivedFax& f : received_) {
                std::uint8_t len[2];
                wire::StoreBE16(len, static_cast<std::uint16_t>(f.name.size() + 1));
                list.insert(list.end(), len, len + 2);
                list.insert(list.end(), f.name.begin(), f.name.end());
                list.push_back(0);
            }
            Reply(s, command, 0, list);
            break;
        }
        case kGet:
            if (auto it = named_fax(); it != received_.end()) QueueDownload(s, *it);
            break;
        case kLog:
            if (auto it = named_fax(); it != received_.end()) Reply(s, command, 0, Bytes(it->log, it->log + 80));
            break;
        case kRemove:
            if (auto it = named_fax(); it != received_.end()) {
                received_.erase(it);
                Changed();
                Reply(s, command, 0, {});
            }
            break;
        case kPasswordSet:
            if (settings_[0] != 0) {
                Reply(s, command, 0, {});
            } else {
                Reply(s, command, 1, {}, 0, kPasswordSet);
            }
            break;
        case kCheckPassword: {
            if (data.empty() || data.size() > 32 || !std::memchr(data.data(), 0, data.size())) {
                ++protocol_errors_;
                Reply(s, command, kStatusRejected, {});
                break;
            }
            const std::string sent = FieldString(data.data(), data.size());
            const std::string stored = FieldString(settings_, 32);
            if (!stored.empty() && sent == stored) {
                Reply(s, command, 0, {});
            } else {
                Reply(s, command, 1, {}, 0, kCheckPassword);
            }
            break;
        }
        case kReadSettings:
            Reply(s, command, 0, Bytes(settings_, settings_ + kSettingsSize));
            break;
        case kSaveSettings:
            if (data.size() != kSettingsSize) {
                ++protocol_errors_;
                Reply(s, command, kStatusRejected, {});
                break;
            }
            std::memcpy(settings_, data.data(), kSettingsSize);
            Changed();
            Reply(s, command, 0, {});
            break;
        case kReceiveSettings:
            Reply(s, command, 0, {}, receive_settings_);
            break;
        default:
            ++protocol_errors_;
            Reply(s, command, kStatusRejected, {});
            break;
    }
}

// ---------------------------------------------------------------------------
// The EWS channel: a small HTTP/1.1 server with a status page.

namespace {

// A transfer fault scripted for the EWS channel at the index-th request of
// its kind on the connection.
const Rule* MatchEws(std::vector<Rule>& rules, Stage stage, int index) {
    for (Rule& r : rules) {
        if (r.times == 0 || r.channel != Channel::Ews || r.stage != stage || r.index != index) continue;
        if (!IsTransferFault(r.fault)) continue;
        if (r.times > 0) --r.times;
        return &r;
    }
    return nullptr;
}

}  // namespace

Outcome Firmware::EwsWrite(Session& s, const std::uint8_t* data, std::uint32_t len) {
    Outcome o;
    if (const Rule* rule = MatchEws(rules_, Stage::Write, s.writes++)) {
        switch (rule->fault) {
            case Fault::FailTransfer: return Outcome::Failed(rule->value ? rule->value : kErrorGenFailure);
            case Fault::DropConnection: return Outcome::With(Outcome::Drop);
            case Fault::Stall: return Outcome::With(Outcome::Stall);
            case Fault::ShortTransfer: len = len == 0 ? 0 : std::min(rule->value, len - 1); break;
            case Fault::Delay: o.delay_ms = rule->value; break;
            default: break;
        }
    }
    s.in.insert(s.in.end(), data, data + len);
    for (;;) {
        static const char kEnd[] = "\r\n\r\n";
        auto end = std::search(s.in.begin(), s.in.end(), kEnd, kEnd + 4);
        if (end == s.in.end()) {
            if (s.in.size() > kMaxHttpRequest) {
                s.in.clear();
                const std::string r =
                    "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\n\r\n";
                s.Push(Bytes(r.begin(), r.end()));
            }
            break;
        }
        const std::string head(s.in.begin(), end);
        std::size_t consumed = static_cast<std::size_t>(end - s.in.begin()) + 4;
        // Skip a body the client sent; its length is in Content-Length.
        std::size_t body = 0;
        for (std::size_t p = head.find("\r\n"); p != std::string::npos; p = head.find("\r\n", p + 2)) {
            std::string line = head.substr(p + 2, head.find("\r\n", p + 2) - (p + 2));
            std::string lower = line;
            std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
            if (lower.rfind("content-length:", 0) == 0) body = std::strtoul(line.c_str() + 15, nullptr, 10);
        }
        if (s.in.size() < consumed + body) break;
        s.in.erase(s.in.begin(), s.in.begin() + static_cast<std::ptrdiff_t>(consumed + body));

        const std::string request_line = head.substr(0, head.find("\r\n"));
        char method[16] = {}, path[1024] = {}, version[16] = {};
        int code = 200;
        std::string type = "text/html; charset=utf-8", body_text;
        if (std::sscanf(request_line.c_str(), "%15s %1023s %15s", method, path, version) != 3 ||
            std::strncmp(version, "HTTP/1.", 7) != 0) {
            code = 400;
            type = "text/plain";
            body_text = "bad request\n";
        } else if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0) {
            code = 405;
            type = "text/plain";
            body_text = "method not allowed\n";
        } else {
            body_text = StatusPage(path, code, type);
        }
        const char* reason = code == 200 ? "OK" : code == 404 ? "Not Found" : code == 405 ? "Method Not Allowed"
                                                                                          : "Bad Request";
        std::string response = "HTTP/1.1 " + std::to_string(code) + " " + reason + "\r\nServer: tessaline-simd\r\n" +
                               "Content-Type: " + type + "\r\nContent-Length: " +
                               std::to_string(body_text.size()) + "\r\n\r\n";
        if (std::strcmp(method, "HEAD") != 0) response += body_text;
        s.Push(Bytes(response.begin(), response.end()));
    }
    o.count = len;
    return o;
}

Outcome Firmware::EwsRead(Session& s, std::uint32_t max) {
    Outcome o;
    if (max == 0) return o;
    if (const Rule* rule = MatchEws(rules_, Stage::Read, s.reads++)) {
        switch (rule->fault) {
            case Fault::FailTransfer: return Outcome::Failed(rule->value ? rule->value : kErrorGenFailure);
            case Fault::DropConnection: return Outcome::With(Outcome::Drop);
            case Fault::Stall: return Outcome::With(Outcome::Stall);
            case Fault::ShortTransfer: {
                // Completes at once, moving fewer bytes than it could: none
                // when nothing is queued.
                const std::size_t full = std::min<std::size_t>(max, s.Available());
                o.data = s.Take(full == 0 ? 0 : std::min<std::size_t>(rule->value, full - 1));
                return o;
            }
            case Fault::Delay: o.delay_ms = rule->value; break;
            default: break;
        }
    }
    if (s.Available() == 0) {
        o.action = Outcome::Pend;
        return o;
    }
    o.data = s.Take(std::min<std::size_t>(max, s.Available()));
    return o;
}

std::string Firmware::StatusPage(const std::string& path, int& code, std::string& type) const {
    const std::string fax_name = FieldString(settings_ + 96, 128);
    const std::string fax_number = FieldString(settings_ + 224, 32);
    if (path == "/status.json") {
        type = "application/json";
        return "{\"device\":\"" + JsonEscape(title_) + "\",\"fax_name\":\"" + JsonEscape(fax_name) +
               "\",\"fax_number\":\"" + JsonEscape(fax_number) + "\",\"received_faxes\":" +
               std::to_string(received_.size()) + ",\"sent_jobs\":" + std::to_string(jobs_.size()) + "}\n";
    }
    if (path != "/" && path != "/index.html") {
        code = 404;
        type = "text/plain";
        return "not found\n";
    }
    return "<!DOCTYPE html>\n<html><head><title>" + HtmlEscape(title_) + "</title></head><body>\n<h1>" +
           HtmlEscape(title_) + "</h1>\n<table>\n<tr><th>Fax name</th><td>" + HtmlEscape(fax_name) +
           "</td></tr>\n<tr><th>Fax number</th><td>" + HtmlEscape(fax_number) +
           "</td></tr>\n<tr><th>Received faxes</th><td>" + std::to_string(received_.size()) +
           "</td></tr>\n<tr><th>Sent jobs</th><td>" + std::to_string(jobs_.size()) +
           "</td></tr>\n</table>\n</body></html>\n";
}

// ---------------------------------------------------------------------------
// State

void Firmware::SetSettingsWire(const std::uint8_t (&record)[308]) {
    std::lock_guard<std::mutex> g(mu_);
    std::memcpy(settings_, record, sizeof(settings_));
}

void Firmware::GetSettingsWire(std::uint8_t (&record)[308]) const {
    std::lock_guard<std::mutex> g(mu_);
    std::memcpy(record, settings_, sizeof(settings_));
}

void Firmware::SetPassword(const std::string& password) {
    std::lock_guard<std::mutex> g(mu_);
    std::memset(settings_, 0, 32);
    std::memcpy(settings_, password.data(), std::min<std::size_t>(password.size(), 31));
}

void Firmware::SetReceiveSettings(std::uint32_t value) {
    std::lock_guard<std::mutex> g(mu_);
    receive_settings_ = value;
}

void Firmware::SetBlockSize(std::uint32_t bytes) {
    std::lock_guard<std::mutex> g(mu_);
    block_size_ = bytes == 0 ? 1 : bytes;
}

void Firmware::SetLoopback(bool on) {
    std::lock_guard<std::mutex> g(mu_);
    loopback_ = on;
}

void Firmware::AddReceivedFax(const std::string& name, Bytes data) {
    ReceivedFax fax;
    fax.name = name;
    fax.data = std::move(data);
    MakeLogEntry(fax.log, name, 1, 42);
    AddReceivedFax(std::move(fax));
}

void Firmware::AddReceivedFax(ReceivedFax fax) {
    std::lock_guard<std::mutex> g(mu_);
    received_.push_back(std::move(fax));
}

std::vector<ReceivedFax> Firmware::ReceivedFaxes() const {
    std::lock_guard<std::mutex> g(mu_);
    return received_;
}

std::vector<SentJob> Firmware::Jobs() const {
    std::lock_guard<std::mutex> g(mu_);
    return jobs_;
}

void Firmware::RaiseEvent(std::uint32_t event) {
    std::function<void()> wake;
    {
        std::lock_guard<std::mutex> g(mu_);
        events_.push_back(event);
        wake = wake_;
    }
    if (wake) wake();
}

void Firmware::SetStatusPageTitle(std::string title) {
    std::lock_guard<std::mutex> g(mu_);
    title_ = std::move(title);
}

PersistentState Firmware::Snapshot() const {
    std::lock_guard<std::mutex> g(mu_);
    PersistentState state;
    std::memcpy(state.settings, settings_, sizeof(settings_));
    state.received = received_;
    state.jobs = jobs_;
    return state;
}

void Firmware::Restore(PersistentState state) {
    std::lock_guard<std::mutex> g(mu_);
    std::memcpy(settings_, state.settings, sizeof(settings_));
    received_ = std::move(state.received);
    jobs_ = std::move(state.jobs);
}

void Firmware::SetRecording(bool on) {
    std::lock_guard<std::mutex> g(mu_);
    recording_ = on;
}

bool Firmware::Recording() const {
    std::lock_guard<std::mutex> g(mu_);
    return recording_;
}

void Firmware::SetKeepSentData(bool keep) {
    std::lock_guard<std::mutex> g(mu_);
    keep_sent_data_ = keep;
}

std::vector<Transfer> Firmware::Traffic() const {
    std::lock_guard<std::mutex> g(mu_);
    return traffic_;
}

void Firmware::ClearTraffic() {
    std::lock_guard<std::mutex> g(mu_);
    traffic_.clear();
    conversations_.clear();
}

std::vector<Bytes> Firmware::FaxConversations() const {
    std::lock_guard<std::mutex> g(mu_);
    std::vector<Bytes> out;
    for (const auto& c : conversations_) out.push_back(c.second);
    return out;
}

std::uint64_t Firmware::ProtocolErrors() const {
    std::lock_guard<std::mutex> g(mu_);
    return protocol_errors_;
}

std::uint64_t Firmware::Interleavings() const {
    std::lock_guard<std::mutex> g(mu_);
    return interleavings_;
}

std::uint64_t Firmware::FaxConnectionsOpened() const {
    std::lock_guard<std::mutex> g(mu_);
    return fax_connections_;
}

}  // namespace sim
