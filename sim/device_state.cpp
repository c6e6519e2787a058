// The simulated device's state, and the records it keeps for a received fax.
#include "sim/device_state.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/byte_order.h"
#include "sim/device_clock.h"
#include "sim/json_text.h"

namespace sim {
namespace {

constexpr std::size_t kFaxNumber = 224;  // offset of FaxNumber in the settings record
constexpr std::size_t kMaxFaxName = 63;  // a FAX_FILENAME holds 63 characters and a zero
constexpr std::size_t kCisSize = 20;
constexpr std::uint32_t kReceivedFaxAvailable = 1;

void DefaultSettings(std::uint8_t (&s)[308]) {
    std::memset(s, 0, sizeof(s));
    std::snprintf(reinterpret_cast<char*>(s + 32), 32, "%s", "9");
    std::snprintf(reinterpret_cast<char*>(s + 96), 128, "%s", "Tessaline Simulated Fax");
    std::snprintf(reinterpret_cast<char*>(s + kFaxNumber), 32, "%s", "5550100");
    wire::StoreBE32(s + 256, 0);  // ring pattern: all
    wire::StoreBE32(s + 272, 1);  // answer mode: automatic
    std::snprintf(reinterpret_cast<char*>(s + 276), 32, "%s", "2026-01-01 00:00:00");
}

}  // namespace

void MakeLogEntry(std::uint8_t (&log)[80], const std::string& name, std::uint32_t pages, std::uint32_t duration,
                  const std::string& cis) {
    std::memset(log, 0, sizeof(log));
    const std::uint8_t when[7] = {12, 30, 0, 3, 10, 12, 26};  // hour min sec DOW day month year
    std::memcpy(log, when, sizeof(when));
    wire::StoreBE32(log + 8, duration);
    wire::StoreBE32(log + 12, 0);  // the logged fax's status: received fine
    wire::StoreBE32(log + 16, 1);  // kind: received
    log[20] = static_cast<std::uint8_t>(pages > 255 ? 255 : pages);
    log[21] = 0;
    std::memcpy(log + 22, cis.data(), std::min(cis.size(), kCisSize));
    std::memcpy(log + 42, name.data(), std::min<std::size_t>(name.size(), 34));
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

DeviceState::DeviceState(std::mutex& mu, const DeviceClock& clock) : mu_(mu), clock_(clock) {
    DefaultSettings(settings_);
}

void DeviceState::SetOnStateChange(std::function<void()> hook) {
    std::lock_guard<std::mutex> g(mu_);
    on_state_change_ = std::move(hook);
}

void DeviceState::Changed() {
    // Runs under the lock; the hook must not call back into the firmware's
    // lock, so the daemon only flags the change and saves from its own loop.
    if (on_state_change_) on_state_change_();
}

void DeviceState::SetSettingsWire(const std::uint8_t (&record)[308]) {
    std::lock_guard<std::mutex> g(mu_);
    std::memcpy(settings_, record, sizeof(settings_));
}

void DeviceState::GetSettingsWire(std::uint8_t (&record)[308]) const {
    std::lock_guard<std::mutex> g(mu_);
    std::memcpy(record, settings_, sizeof(settings_));
}

void DeviceState::SetPassword(const std::string& password) {
    std::lock_guard<std::mutex> g(mu_);
    std::memset(settings_, 0, 32);
    std::memcpy(settings_, password.data(), std::min<std::size_t>(password.size(), 31));
}

void DeviceState::SetReceiveSettings(std::uint32_t value) {
    std::lock_guard<std::mutex> g(mu_);
    receive_settings_ = value;
}

void DeviceState::SetBlockSize(std::uint32_t bytes) {
    std::lock_guard<std::mutex> g(mu_);
    block_size_ = bytes == 0 ? 1 : bytes;
}

void DeviceState::SetLoopback(bool on) {
    std::lock_guard<std::mutex> g(mu_);
    loopback_ = on;
}

void DeviceState::SetKeepSentData(bool keep) {
    std::lock_guard<std::mutex> g(mu_);
    keep_sent_data_ = keep;
}

void DeviceState::SetChecksJobs(bool on) {
    std::lock_guard<std::mutex> g(mu_);
    checks_jobs_ = on;
}

void DeviceState::AddReceivedFax(const std::string& name, Bytes data) {
    ReceivedFax fax;
    fax.name = name;
    fax.data = std::move(data);
    MakeLogEntry(fax.log, name, 1, 42);
    AddReceivedFax(std::move(fax));
}

void DeviceState::AddReceivedFax(ReceivedFax fax) {
    std::lock_guard<std::mutex> g(mu_);
    removed_.erase(std::remove(removed_.begin(), removed_.end(), fax.name), removed_.end());
    received_.push_back(std::move(fax));
}

bool DeviceState::NameInUse(const std::string& name) const {
    return std::any_of(received_.begin(), received_.end(), [&](const ReceivedFax& f) { return f.name == name; });
}

std::string DeviceState::NextFaxName() {
    // A name already in use (a fax kept from an earlier run, or one
    // presented from a folder) is passed over: the host finds faxes by name,
    // so two faxes must never share one.
    char name[32];
    do {
        std::snprintf(name, sizeof(name), "fax%04u.tif", next_fax_number_++);
    } while (NameInUse(name) || std::find(removed_.begin(), removed_.end(), name) != removed_.end());
    return name;
}

void DeviceState::Arrived(ReceivedFax fax) {
    removed_.erase(std::remove(removed_.begin(), removed_.end(), fax.name), removed_.end());
    received_.push_back(std::move(fax));
    PushEvent(kReceivedFaxAvailable);
    if (wake_) wake_();
}

bool DeviceState::Receive(Arrival arrival, std::string& name, std::string& error) {
    if (arrival.data.size() < 2) {
        error = Cat("a fax of ", std::to_string(arrival.data.size()), " byte(s): the host can download no fewer than 2");
        return false;
    }
    if (arrival.cis.size() > kCisSize) {
        error = Cat("the CIS holds at most ", std::to_string(kCisSize), " bytes");
        return false;
    }
    if (arrival.name.size() > kMaxFaxName || arrival.name.find('\0') != std::string::npos) {
        error = Cat("a fax name holds at most ", std::to_string(kMaxFaxName), " bytes and no zero byte");
        return false;
    }
    const std::uint32_t counted = TiffPages(arrival.data);
    std::lock_guard<std::mutex> g(mu_);
    if (checks_jobs_ && counted == 0) {
        error = "not a fax: no TIFF image with a page (the device takes any bytes with --any-job)";
        return false;
    }
    if (!arrival.name.empty() && NameInUse(arrival.name)) {
        error = Cat("the device already holds a fax named ", arrival.name);
        return false;
    }
    ReceivedFax fax;
    fax.name = arrival.name.empty() ? NextFaxName() : arrival.name;
    const std::uint32_t pages = std::max<std::uint32_t>(counted, 1);
    MakeLogEntry(fax.log, fax.name, pages, FaxSeconds(pages, arrival.data.size()), arrival.cis);
    StampLogTime(fax.log, clock_.Now());
    fax.data = std::move(arrival.data);
    name = fax.name;
    Arrived(std::move(fax));
    Changed();
    return true;
}

std::vector<ReceivedFax> DeviceState::ReceivedFaxes() const {
    std::lock_guard<std::mutex> g(mu_);
    return received_;
}

std::vector<SentJob> DeviceState::Jobs() const {
    std::lock_guard<std::mutex> g(mu_);
    return jobs_;
}

std::string DeviceState::FaxNumber() const {
    std::lock_guard<std::mutex> g(mu_);
    const void* nul = std::memchr(settings_ + kFaxNumber, 0, 32);
    const std::size_t n = nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - (settings_ + kFaxNumber)) : 32;
    return std::string(reinterpret_cast<const char*>(settings_ + kFaxNumber), n);
}

void DeviceState::Ended(SentJob job) {
    job.id = next_job_id_++;
    jobs_.push_back(std::move(job));
    TrimJobs();
    Changed();
}

void DeviceState::NumberJobs() {
    for (SentJob& j : jobs_) {
        if (j.id != 0) continue;
        j.id = next_job_id_++;
        if (j.bytes == 0) j.bytes = j.data.size();
        if (j.pages == 0) j.pages = TiffPages(j.data);
    }
}

void DeviceState::PushEvent(std::uint32_t event) {
    if (std::find(events_.begin(), events_.end(), event) != events_.end()) return;  // merged
    events_.push_back(event);
    while (events_.size() > kMaxPendingEvents) events_.pop_front();
}

void DeviceState::RaiseEvent(std::uint32_t event) {
    std::function<void()> wake;
    {
        std::lock_guard<std::mutex> g(mu_);
        PushEvent(event);
        wake = wake_;
    }
    if (wake) wake();
}

std::size_t DeviceState::PendingEvents() const {
    std::lock_guard<std::mutex> g(mu_);
    return events_.size();
}

void DeviceState::SetJobBounds(std::size_t jobs, std::uint64_t bytes) {
    std::lock_guard<std::mutex> g(mu_);
    max_jobs_ = jobs;
    max_job_bytes_ = bytes;
    TrimJobs();
}

void DeviceState::TrimJobs() {
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

void DeviceState::SetStatusPageTitle(std::string title) {
    std::lock_guard<std::mutex> g(mu_);
    title_ = std::move(title);
}

PersistentState DeviceState::Snapshot() const {
    std::lock_guard<std::mutex> g(mu_);
    PersistentState state;
    std::memcpy(state.settings, settings_, sizeof(settings_));
    state.received = received_;
    state.removed = removed_;
    state.next_fax_number = next_fax_number_;
    state.jobs = jobs_;
    return state;
}

void DeviceState::Restore(PersistentState state) {
    std::lock_guard<std::mutex> g(mu_);
    std::memcpy(settings_, state.settings, sizeof(settings_));
    received_ = std::move(state.received);
    removed_ = std::move(state.removed);
    next_fax_number_ = std::max<std::uint32_t>(next_fax_number_, state.next_fax_number);
    jobs_ = std::move(state.jobs);
    NumberJobs();
    TrimJobs();
}

void DeviceState::Reset(PersistentState start) {
    std::lock_guard<std::mutex> g(mu_);
    received_ = std::move(start.received);
    removed_ = std::move(start.removed);
    next_fax_number_ = start.next_fax_number;
    jobs_ = std::move(start.jobs);
    next_job_id_ = 1;
    for (const SentJob& j : jobs_) next_job_id_ = std::max(next_job_id_, j.id + 1);
    NumberJobs();
    events_.clear();
    TrimJobs();
    Changed();
}

}  // namespace sim
