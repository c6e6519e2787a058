// The MFP1 side of the simulated firmware: the fax channel's reads and
// writes, parsing request headers and their data, and answering each command
// (settings, password, send, received faxes and their log) as a device does,
// with the reply and download faults scripted for it.
#include "sim/firmware_mfp1.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/byte_order.h"
#include "sim/device_clock.h"
#include "sim/device_state.h"
#include "sim/fault_script.h"
#include "sim/firmware_parts.h"
#include "sim/traffic_recorder.h"

namespace sim {
using namespace fw;
namespace {

// A request announcing more data than this is taken for garbage.
constexpr std::uint32_t kMaxRequestData = 512u << 20;

// A name sent with its terminating zero, which DataLength counts.
bool TakeName(const Bytes& data, std::string& name) {
    if (data.empty() || data.back() != 0) return false;
    if (std::memchr(data.data(), 0, data.size()) != data.data() + data.size() - 1) return false;
    name.assign(reinterpret_cast<const char*>(data.data()), data.size() - 1);
    return true;
}

}  // namespace

Outcome Mfp1Engine::Write(Session& s, const std::uint8_t* data, std::uint32_t len) {
    traffic_.FaxWriteFrom(s.id);

    if (s.at_boundary && s.in.empty()) {
        // A new request begins: the exchange is named after its command.
        s.cmd = len >= 8 ? wire::LoadBE32(data + 4) : 0xFFFFFFFF;
        s.occurrence = script_.NextOccurrence(s.cmd);
        s.writes = 0;
        s.reads = 0;
    }
    Rule* rule = script_.Match(s.cmd, s.occurrence, Stage::Write, s.writes++);
    FaultScript::Fire(rule);

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

    traffic_.Wrote(s.id, !s.wrote, data, take);
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

Outcome Mfp1Engine::Read(Session& s, std::uint32_t max) {
    Rule* rule = script_.Match(s.cmd, s.occurrence, Stage::Read, s.reads++);
    FaultScript::Fire(rule);
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

void Mfp1Engine::Consume(Session& s) {
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
            const bool end_of_data = command == FAXCMD_DATA && s.awaiting == 0;
            const std::uint32_t status_le = wire::LoadLE32(header + 16);
            if (std::memcmp(header, "MFP1", 4) != 0 || wire::LoadBE32(header + 12) != 0 ||
                wire::LoadBE32(header + 24) != 0 || wire::LoadBE32(header + 28) != 0 ||
                (command != FAXCMD_SEND_BEGIN && wire::LoadBE32(header + 8) != 0) ||
                (end_of_data ? (status_le != 0 && status_le != 1) : wire::LoadBE32(header + 16) != 0)) {
                traffic_.ProtocolError();
            }
            if (s.awaiting > kMaxRequestData) {
                traffic_.ProtocolError();
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

std::uint32_t Mfp1Engine::Reply(Session& s, std::uint32_t command, std::uint32_t status, const Bytes& data,
                                std::uint32_t param1, std::optional<std::uint32_t> reply_command) {
    Bytes payload = data;
    Bytes h = MakeHeader(reply_command.value_or(command), status, static_cast<std::uint32_t>(data.size()), param1);
    if (const Rule* r = script_.FireReply(s.cmd, s.occurrence, Fault::ReplyStatus)) {
        wire::StoreBE32(h.data() + 16, r->value);
        if (r->command_override) wire::StoreBE32(h.data() + 4, *r->command_override);
    }
    if (const Rule* r = script_.FireReply(s.cmd, s.occurrence, Fault::ReplyParam1)) wire::StoreBE32(h.data() + 8, r->value);
    if (const Rule* r = script_.FireReply(s.cmd, s.occurrence, Fault::ReplyExtraData)) {
        payload.insert(payload.end(), r->value, 0xEE);
        wire::StoreBE32(h.data() + 20, static_cast<std::uint32_t>(payload.size()));
    }
    if (const Rule* r = script_.FireReply(s.cmd, s.occurrence, Fault::ReplyDataLength)) wire::StoreBE32(h.data() + 20, r->value);
    if (script_.FireReply(s.cmd, s.occurrence, Fault::ReplyBadMagic)) std::memcpy(h.data(), "XXXX", 4);
    const std::uint32_t replied = wire::LoadBE32(h.data() + 16);
    traffic_.Replied(s.id, replied);
    s.Push(h);
    s.Push(payload);
    return replied;
}

void Mfp1Engine::QueueDownload(Session& s, const ReceivedFax& fax) {
    const auto total = static_cast<std::uint32_t>(fax.data.size());
    // The reply announces the total; the image follows in blocks.
    Bytes h = MakeHeader(FAXCMD_GET_RECEIVED, 0, total);
    if (const Rule* r = script_.FireReply(s.cmd, s.occurrence, Fault::ReplyStatus)) {
        wire::StoreBE32(h.data() + 16, r->value);
        if (r->command_override) wire::StoreBE32(h.data() + 4, *r->command_override);
    }
    if (const Rule* r = script_.FireReply(s.cmd, s.occurrence, Fault::ReplyDataLength)) wire::StoreBE32(h.data() + 20, r->value);
    if (script_.FireReply(s.cmd, s.occurrence, Fault::ReplyBadMagic)) std::memcpy(h.data(), "XXXX", 4);
    traffic_.Replied(s.id, wire::LoadBE32(h.data() + 16));
    s.Push(h);
    if (wire::LoadBE32(h.data() + 16) != 0 || total == 0) return;

    auto block_rule = [&](Fault f, int k) { return script_.FireBlock(s.occurrence, f, k); };

    // The whole image is queued at once: the room for it, its blocks' headers
    // and the closing header is taken in one allocation, not grown block by
    // block.
    const std::size_t blocks = (static_cast<std::size_t>(total) + state_.block_size_ - 1) / state_.block_size_;
    s.out.reserve(s.out.size() + total + (blocks + 1) * kHeader);
    std::uint32_t offset = 0;
    for (int k = 0; offset < total; ++k) {
        std::uint32_t n = std::min(state_.block_size_, total - offset);
        if (const Rule* r = block_rule(Fault::BlockStatus, k)) {
            s.Push(MakeHeader(FAXCMD_GET_RECEIVED, r->value, n));
            return;
        }
        if (block_rule(Fault::BlockZeroLength, k)) {
            s.Push(MakeHeader(FAXCMD_GET_RECEIVED, 0, 0));
            return;
        }
        std::uint32_t extra = 0;
        if (const Rule* r = block_rule(Fault::BlockOversize, k)) extra = r->value;
        s.Push(MakeHeader(FAXCMD_GET_RECEIVED, 0, n + extra));
        s.out.insert(s.out.end(), fax.data.begin() + offset, fax.data.begin() + offset + n);
        s.out.insert(s.out.end(), extra, 0xEE);
        offset += n;
    }
    std::uint32_t closing_status = 0, closing_length = 0;
    if (const Rule* r = block_rule(Fault::ClosingStatus, 0)) closing_status = r->value;
    if (const Rule* r = block_rule(Fault::ClosingDataLength, 0)) closing_length = r->value;
    s.Push(MakeHeader(FAXCMD_GET_RECEIVED, closing_status, closing_length));
}

void Mfp1Engine::FinishJob(Session& s) {
    SentJob job = std::move(*s.job);
    s.job.reset();
    job.ended = true;
    const std::uint64_t uploaded = s.job_bytes;
    const bool whole = job.data_ended && !job.failed_block && s.job_bytes == job.announced_size &&
                       job.announced_size > 0 && !job.recipients.empty();
    // A device that reads its jobs refuses one that is no TIFF image, as a
    // fax machine would: it could not transmit it.
    const std::uint32_t pages = TiffPages(job.data);
    // The outcome is the status the host is told: a job answered busy or
    // full by a scripted fault was not sent, and a loopback device does not
    // receive it.
    job.outcome = Reply(s, FAXCMD_SEND_END, whole && (!state_.checks_jobs_ || pages > 0) ? 0 : kStatusRejected, {});
    const bool ok = job.outcome == 0;

    if (ok && state_.loopback_) {
        const std::string own = FieldString(state_.settings_ + 224, 32);
        for (const Recipient& r : job.recipients) {
            if (own.empty() || r.number != own) continue;
            ReceivedFax fax;
            fax.name = state_.NextFaxName();
            fax.data = job.data;
            // Logged at the device's time, with the pages it counted and the
            // time it took to receive them.
            const std::uint32_t logged = std::max<std::uint32_t>(pages, 1);
            MakeLogEntry(fax.log, fax.name, logged, FaxSeconds(logged, job.data.size()));
            StampLogTime(fax.log, clock_.Now());
            state_.Arrived(std::move(fax));
            break;  // one copy however often the number is listed
        }
    }
    // A job keeps its data whole or not at all, and none that was kept only
    // to be read.
    if (job.data.size() != uploaded || (!state_.keep_sent_data_ && !state_.loopback_)) Bytes().swap(job.data);
    job.time = clock_.Now();
    job.bytes = uploaded;
    job.pages = pages;
    state_.Ended(std::move(job));
}

void Mfp1Engine::HandleRequest(Session& s, std::uint32_t command, const std::uint8_t* header, const Bytes& data) {
    traffic_.Request(s.id, Channel::Fax, command);
    // The received fax a request names (its data: the name and its NUL). A
    // malformed or unknown name is rejected here, with the reply sent.
    auto named_fax = [&]() {
        std::string name;
        if (!TakeName(data, name)) {
            traffic_.ProtocolError();
            Reply(s, command, kStatusRejected, {});
            return state_.received_.end();
        }
        auto it = std::find_if(state_.received_.begin(), state_.received_.end(), [&](const ReceivedFax& f) { return f.name == name; });
        if (it == state_.received_.end()) Reply(s, command, kStatusRejected, {});
        return it;
    };
    switch (command) {
        case FAXCMD_SEND_BEGIN:
            s.job = SentJob{};
            s.job_bytes = 0;
            s.job->announced_size = wire::LoadBE32(header + 8);
            Reply(s, command, 0, {});
            break;
        case FAXCMD_RECIPIENTS: {
            if (!s.job || data.size() < 4 || (data.size() - 4) % 64 != 0) {
                traffic_.ProtocolError();
                break;
            }
            const std::uint32_t count = wire::LoadBE32(data.data());
            const std::size_t slots = (data.size() - 4) / 64;
            s.job->recipient_count = count;
            if (count > slots) traffic_.ProtocolError();
            for (std::size_t k = 0; k < slots; ++k) {
                const std::uint8_t* slot = data.data() + 4 + 64 * k;
                if (k >= count) {
                    // Slots that carry no recipient are all zero.
                    if (std::any_of(slot, slot + 64, [](std::uint8_t b) { return b != 0; })) traffic_.ProtocolError();
                    continue;
                }
                if (!std::memchr(slot, 0, 32) || !std::memchr(slot + 32, 0, 32)) traffic_.ProtocolError();
                s.job->recipients.push_back({FieldString(slot, 32), FieldString(slot + 32, 32)});
            }
            break;  // no reply
        }
        case FAXCMD_DATA:
            if (!s.job) {
                traffic_.ProtocolError();
                if (data.empty()) Reply(s, command, kStatusRejected, {});
                break;
            }
            if (!data.empty()) {
                if (data.size() > 4096) traffic_.ProtocolError();
                // Beyond the bound of kept job data the bytes are not kept, but
                // a loopback device keeps them to receive them, and a device
                // that reads its jobs to count their pages.
                if (state_.loopback_ || state_.checks_jobs_ ||
                    (state_.keep_sent_data_ && s.job->data.size() + data.size() <= state_.max_job_bytes_))
                    s.job->data.insert(s.job->data.end(), data.begin(), data.end());
                s.job_bytes += data.size();
                ++s.job->blocks;
                break;  // no reply per block
            }
            s.job->data_ended = true;
            s.job->failed_block = header[16] == 1;  // written raw: 01 00 00 00
            Reply(s, command, 0, {});
            break;
        case FAXCMD_SEND_END:
            if (!s.job) {
                Reply(s, command, kStatusRejected, {});
                break;
            }
            FinishJob(s);
            break;
        case FAXCMD_LIST_RECEIVED: {
            Bytes list;
            for (const ReceivedFax& f : state_.received_) {
                std::uint8_t len[2];
                wire::StoreBE16(len, static_cast<std::uint16_t>(f.name.size() + 1));
                list.insert(list.end(), len, len + 2);
                list.insert(list.end(), f.name.begin(), f.name.end());
                list.push_back(0);
            }
            Reply(s, command, 0, list);
            break;
        }
        case FAXCMD_GET_RECEIVED:
            if (auto it = named_fax(); it != state_.received_.end()) QueueDownload(s, *it);
            break;
        case FAXCMD_GET_LOG_ENTRY:
            if (auto it = named_fax(); it != state_.received_.end()) Reply(s, command, 0, Bytes(it->log, it->log + 80));
            break;
        case FAXCMD_REMOVE_RECEIVED:
            if (auto it = named_fax(); it != state_.received_.end()) {
                // The name is remembered: a fax presented from a folder under
                // it does not come back, and no new fax is given it.
                if (std::find(state_.removed_.begin(), state_.removed_.end(), it->name) == state_.removed_.end())
                    state_.removed_.push_back(it->name);
                state_.received_.erase(it);
                // An announcement of faxes to fetch is no longer true.
                if (state_.received_.empty())
                    state_.events_.erase(std::remove(state_.events_.begin(), state_.events_.end(), 1u), state_.events_.end());
                state_.Changed();
                Reply(s, command, 0, {});
            }
            break;
        case FAXCMD_PASSWORD_SET:
            if (state_.settings_[0] != 0) {
                Reply(s, command, 0, {});
            } else {
                Reply(s, command, 1, {}, 0, FAXCMD_PASSWORD_SET);
            }
            break;
        case FAXCMD_CHECK_PASSWORD: {
            if (data.empty() || data.size() > 32 || !std::memchr(data.data(), 0, data.size())) {
                traffic_.ProtocolError();
                Reply(s, command, kStatusRejected, {});
                break;
            }
            const std::string sent = FieldString(data.data(), data.size());
            const std::string stored = FieldString(state_.settings_, 32);
            if (!stored.empty() && sent == stored) {
                Reply(s, command, 0, {});
            } else {
                Reply(s, command, 1, {}, 0, FAXCMD_CHECK_PASSWORD);
            }
            break;
        }
        case FAXCMD_READ_SETTINGS: {
            // The clock runs: each read reports the device's time of now.
            const std::string now = clock_.running() ? DeviceTimeText(clock_.Now()) : std::string();
            if (!now.empty()) {
                std::memset(state_.settings_ + kDeviceDateTime, 0, 32);
                std::memcpy(state_.settings_ + kDeviceDateTime, now.data(), std::min<std::size_t>(now.size(), 31));
            }
            Reply(s, command, 0, Bytes(state_.settings_, state_.settings_ + kSettingsSize));
            break;
        }
        case FAXCMD_SAVE_SETTINGS:
            if (data.size() != kSettingsSize) {
                traffic_.ProtocolError();
                Reply(s, command, kStatusRejected, {});
                break;
            }
            std::memcpy(state_.settings_, data.data(), kSettingsSize);
            // A DeviceDateTime that differs from the clock by more than the
            // time a read-change-save takes sets the clock; the time a host
            // read and writes back unchanged leaves it running.
            if (std::time_t when = 0; ParseDeviceTime(FieldString(state_.settings_ + kDeviceDateTime, 32), when))
                clock_.Saved(when);
            state_.Changed();
            Reply(s, command, 0, {});
            break;
        case FAXCMD_RECEIVE_SETTINGS:
            Reply(s, command, 0, {}, state_.receive_settings_);
            break;
        default:
            traffic_.ProtocolError();
            Reply(s, command, kStatusRejected, {});
            break;
    }
}

}  // namespace sim
