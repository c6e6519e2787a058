// The simulated device's state: its settings record (the fax password in
// it), receive settings, the jobs it was sent, the faxes it received and
// their log entries, and the events pending for a host's wait. Also the
// options that shape how the device treats what it is sent.
#ifndef TESSALINE_SIM_DEVICE_STATE_H
#define TESSALINE_SIM_DEVICE_STATE_H

#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "sim/firmware_types.h"

namespace sim {

class DeviceClock;

struct Recipient {
    std::string prefix;
    std::string number;
};

struct SentJob {
    std::uint32_t announced_size = 0;
    std::uint32_t recipient_count = 0;  // as the list's RecipientCount said
    std::vector<Recipient> recipients;
    Bytes data;
    std::uint32_t blocks = 0;
    bool failed_block = false;          // the end-of-data header reported a failed block
    bool data_ended = false;            // an end-of-data header arrived
    std::uint32_t outcome = 0;          // Status of the end reply
    bool ended = false;                 // the end command arrived
    // Given when the job ends: its number on the device (1, 2, ... in order),
    // the device's time, the data bytes uploaded (kept or not) and the pages
    // the device counted in them. A job restored from a saved state is
    // numbered anew and has no time (0).
    std::uint32_t id = 0;
    std::time_t time = 0;
    std::uint64_t bytes = 0;
    std::uint32_t pages = 0;
};

struct ReceivedFax {
    std::string name;
    Bytes data;
    std::uint8_t log[80] = {};  // the log entry as it travels (words big-endian)
};

// Everything the device keeps across a restart: its settings record (the
// fax password included), its received faxes, the names of the faxes removed
// from it, the number its next received fax is named after, and the jobs it
// has sent (within their bound).
struct PersistentState {
    std::uint8_t settings[308] = {};  // as it travels
    std::vector<ReceivedFax> received;
    // Names removed with FAXCMD_REMOVE_RECEIVED: a fax presented from a
    // folder under such a name stays removed while the state lives.
    std::vector<std::string> removed;
    std::uint32_t next_fax_number = 1;  // received faxes are named faxNNNN.tif from it; never reused
    std::vector<SentJob> jobs;
};

// How many sent jobs a running device (tessaline-simd) keeps, and how many
// bytes of their data in all: the newest jobs within both bounds. A job whose
// data alone exceeds the byte bound keeps its record without its data. A
// firmware made for a test keeps every job until bounds are set.
inline constexpr std::size_t kDefaultKeptJobs = 16;
inline constexpr std::uint64_t kDefaultKeptJobBytes = 32ull << 20;

// The device keeps at most one pending event of each value, in the order
// they were first raised, and at most this many in all (the oldest go).
inline constexpr std::size_t kMaxPendingEvents = 8;

// A fax arriving from someone else (tessaline-simd's `ctl receive`).
struct Arrival {
    Bytes data;
    std::string cis;   // the sender's identification, as its log entry carries it
    std::string name;  // "" for the device's next name
};

// Its public side takes the firmware's lock. The sides of the firmware reach
// its fields, and the helpers below them, with that lock held.
class DeviceState {
public:
    DeviceState(std::mutex& mu, const DeviceClock& clock);

    void SetSettingsWire(const std::uint8_t (&record)[308]);
    void GetSettingsWire(std::uint8_t (&record)[308]) const;
    void SetPassword(const std::string& password);  // "" clears it
    void SetReceiveSettings(std::uint32_t value);
    void SetBlockSize(std::uint32_t bytes);
    void SetLoopback(bool on);
    void AddReceivedFax(const std::string& name, Bytes data);
    void AddReceivedFax(ReceivedFax fax);
    // A fax received from someone else: stored under its name or the
    // device's next, logged at the device's time with the pages the device
    // counts, and announced to waiters. False, with the reason in `error`,
    // for a fax the device would not take (a name in use or too long, fewer
    // than 2 bytes, no TIFF image while the device reads its jobs, a CIS
    // longer than its field).
    bool Receive(Arrival arrival, std::string& name, std::string& error);
    std::vector<ReceivedFax> ReceivedFaxes() const;
    std::vector<SentJob> Jobs() const;
    // Queues an event for the next wait. An event of a value already pending
    // is merged into it; a pending e_ReceivedFaxAvailable is dropped once the
    // last received fax is removed.
    void RaiseEvent(std::uint32_t event);
    std::size_t PendingEvents() const;
    // The device's own fax number, from its settings.
    std::string FaxNumber() const;
    // The bounds of the sent jobs kept (none until set).
    void SetJobBounds(std::size_t jobs, std::uint64_t bytes);
    void SetStatusPageTitle(std::string title);
    // The state a daemon keeps, taken or replaced in one step under the
    // firmware's lock, so that it is never seen half changed. Restore does
    // not count as a change (the state-change hook is not called).
    PersistentState Snapshot() const;
    void Restore(PersistentState state);
    // Back to `start` (a Snapshot taken when the device started): its
    // received faxes, removed names, fax numbering and jobs, and no pending
    // events. The settings stay as they are. Counts as a change.
    void Reset(PersistentState start);
    // Whether sent jobs keep the bytes uploaded (the default). Off, a job
    // keeps its size and block count only: for a device that takes uploads
    // it never gives back (benchmarks), so that they neither pile up nor cost
    // a copy. A loopback device keeps them regardless, to receive them.
    void SetKeepSentData(bool keep);
    // Whether the device reads the jobs it is sent, as a fax machine does:
    // a job that is no TIFF image (no page in its chain of directories) is
    // refused, its end reply carrying kStatusRejected, and a loopback fax's
    // log entry counts its pages. Off, any bytes are taken (tests of the
    // transfer itself send arbitrary data).
    void SetChecksJobs(bool on);
    // Called, under the firmware's lock, after every change of the state a
    // daemon keeps (settings, jobs, received faxes). It must not call back
    // into the firmware.
    void SetOnStateChange(std::function<void()> hook);

private:
    friend class Firmware;
    friend class Mfp1Engine;
    friend class EwsServer;

    // -- With the firmware's lock held --------------------------------------
    void Changed();
    void PushEvent(std::uint32_t event);
    void TrimJobs();
    bool NameInUse(const std::string& name) const;
    // The next name of the device's numbering that no fax has or had.
    std::string NextFaxName();
    // Stores a fax the device has just received and announces it.
    void Arrived(ReceivedFax fax);
    // Keeps a job that has ended, numbered.
    void Ended(SentJob job);
    // Numbers the jobs of a restored state that have no number.
    void NumberJobs();

    std::mutex& mu_;
    const DeviceClock& clock_;
    std::uint8_t settings_[308];
    std::uint32_t receive_settings_ = 0;
    std::uint32_t block_size_ = 4096;
    bool loopback_ = false;
    bool keep_sent_data_ = true;
    bool checks_jobs_ = false;
    std::vector<SentJob> jobs_;
    std::vector<ReceivedFax> received_;
    std::deque<std::uint32_t> events_;
    std::vector<std::string> removed_;
    std::uint32_t next_fax_number_ = 1;
    std::uint32_t next_job_id_ = 1;
    std::size_t max_jobs_ = SIZE_MAX;
    std::uint64_t max_job_bytes_ = UINT64_MAX;
    std::string title_ = "Tessaline simulated device";
    std::function<void()> wake_;  // the front's, for a request an event completes
    std::function<void()> on_state_change_;
};

// The 80-byte log entry the firmware keeps for a fax it received, with the
// sender's identification `cis` (at most 20 bytes kept).
void MakeLogEntry(std::uint8_t (&log)[80], const std::string& name, std::uint32_t pages, std::uint32_t duration,
                  const std::string& cis = "+1 555 0100");
// The number of pages of a TIFF image (its chain of directories), or 0 when
// the bytes are not one. Never reads past the image, and a chain that loops
// ends at 255, the most a log entry can tell.
std::uint32_t TiffPages(const Bytes& d);
// How long the device takes to receive a fax of `pages` pages and `bytes`
// bytes, in seconds: the call's set-up, a time per page, and the bytes at
// 14400 bit/s.
std::uint32_t FaxSeconds(std::uint32_t pages, std::uint64_t bytes);

}  // namespace sim

#endif
