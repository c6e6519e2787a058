// The simulated firmware's sessions and state: opening and closing the
// connections of the fronts, handing each request to the side of its
// channel, the two device-control requests (the received-fax event source),
// and the state tests and the daemon read and set.
#include "sim/firmware.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "base/byte_order.h"
#include "sim/firmware_parts.h"

namespace sim {
using namespace fw;
namespace {

void DefaultSettings(std::uint8_t (&s)[308]) {
    std::memset(s, 0, sizeof(s));
    std::snprintf(reinterpret_cast<char*>(s + 32), 32, "%s", "9");
    std::snprintf(reinterpret_cast<char*>(s + 96), 128, "%s", "Tessaline Simulated Fax");
    std::snprintf(reinterpret_cast<char*>(s + 224), 32, "%s", "5550100");
    wire::StoreBE32(s + 256, 0);  // ring pattern: all
    wire::StoreBE32(s + 272, 1);  // answer mode: automatic
    std::snprintf(reinterpret_cast<char*>(s + 276), 32, "%s", "2026-01-01 00:00:00");
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

namespace {

// std::localtime shares one result between threads; this lock makes the
// firmware's use of it safe on every platform.
std::mutex g_localtime_mu;

bool LocalTime(std::time_t when, std::tm& out) {
    std::lock_guard<std::mutex> g(g_localtime_mu);
    const std::tm* tm = std::localtime(&when);
    if (!tm) return false;
    out = *tm;
    return true;
}

}  // namespace

void StampLogTime(std::uint8_t (&log)[80], std::time_t when) {
    std::tm tm{};
    if (!LocalTime(when, tm)) return;
    const int fields[7] = {tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_wday, tm.tm_mday, tm.tm_mon + 1, tm.tm_year % 100};
    for (int i = 0; i < 7; ++i) log[i] = static_cast<std::uint8_t>(fields[i]);
}

std::uint32_t TiffPages(const Bytes& d) {
    if (d.size() < 8) return 0;
    const bool le = d[0] == 'I' && d[1] == 'I' && d[2] == 42 && d[3] == 0;
    const bool be = d[0] == 'M' && d[1] == 'M' && d[2] == 0 && d[3] == 42;
    if (!le && !be) return 0;
    auto u16 = [&](std::size_t at) -> std::uint32_t {
        return le ? std::uint32_t{d[at]} | std::uint32_t{d[at + 1]} << 8 : wire::LoadBE16(&d[at]);
    };
    auto u32 = [&](std::size_t at) { return le ? wire::LoadLE32(&d[at]) : wire::LoadBE32(&d[at]); };
    std::uint32_t pages = 0;
    std::uint64_t at = u32(4);
    while (at != 0 && pages < 255) {
        if (at + 2 > d.size()) break;
        const std::uint64_t next = at + 2 + 12ull * u16(static_cast<std::size_t>(at));
        if (next + 4 > d.size()) break;
        ++pages;
        at = u32(static_cast<std::size_t>(next));
    }
    return pages;
}

std::uint32_t FaxSeconds(std::uint32_t pages, std::uint64_t bytes) {
    const std::uint64_t seconds = 6 + 20ull * pages + bytes * 8 / 14400;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(seconds, 0xFFFFFFFFu));
}

std::string DeviceTimeText(std::time_t when) {
    std::tm tm{};
    if (!LocalTime(when, tm)) return "";
    char text[80];  // room for any int, though a year has four digits
    std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

bool ParseDeviceTime(const std::string& text, std::time_t& when) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &tail) != 6) return false;
    if (y < 1970 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return false;
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) return false;
    when = t;
    return true;
}

std::time_t Firmware::DeviceNow() const { return std::time(nullptr) + static_cast<std::time_t>(clock_offset_); }

void Firmware::SetChecksJobs(bool on) {
    std::lock_guard<std::mutex> g(mu_);
    checks_jobs_ = on;
}

void Firmware::SetClockRuns(bool on) {
    std::lock_guard<std::mutex> g(mu_);
    clock_runs_ = on;
}

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
    removed_.erase(std::remove(removed_.begin(), removed_.end(), fax.name), removed_.end());
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

void Firmware::PushEvent(std::uint32_t event) {
    if (std::find(events_.begin(), events_.end(), event) != events_.end()) return;  // merged
    events_.push_back(event);
    while (events_.size() > kMaxPendingEvents) events_.pop_front();
}

void Firmware::RaiseEvent(std::uint32_t event) {
    std::function<void()> wake;
    {
        std::lock_guard<std::mutex> g(mu_);
        PushEvent(event);
        wake = wake_;
    }
    if (wake) wake();
}

std::size_t Firmware::PendingEvents() const {
    std::lock_guard<std::mutex> g(mu_);
    return events_.size();
}

void Firmware::SetJobBounds(std::size_t jobs, std::uint64_t bytes) {
    std::lock_guard<std::mutex> g(mu_);
    max_jobs_ = jobs;
    max_job_bytes_ = bytes;
    TrimJobs();
}

void Firmware::TrimJobs() {
    if (!jobs_.empty() && jobs_.back().data.size() > max_job_bytes_) Bytes().swap(jobs_.back().data);
    std::uint64_t bytes = 0;
    for (const SentJob& j : jobs_) bytes += j.data.size();
    std::size_t drop = 0;
    while (drop < jobs_.size() && (jobs_.size() - drop > max_jobs_ || bytes > max_job_bytes_)) {
        bytes -= jobs_[drop].data.size();
        ++drop;
    }
    jobs_.erase(jobs_.begin(), jobs_.begin() + static_cast<std::ptrdiff_t>(drop));
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
    state.removed = removed_;
    state.next_fax_number = next_fax_number_;
    state.jobs = jobs_;
    return state;
}

void Firmware::Restore(PersistentState state) {
    std::lock_guard<std::mutex> g(mu_);
    std::memcpy(settings_, state.settings, sizeof(settings_));
    received_ = std::move(state.received);
    removed_ = std::move(state.removed);
    next_fax_number_ = std::max<std::uint32_t>(next_fax_number_, state.next_fax_number);
    jobs_ = std::move(state.jobs);
    TrimJobs();
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
