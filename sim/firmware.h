// The simulated device's firmware: the far end of the MFP1 protocol on the
// fax channel, the received-fax event source behind the two device-control
// requests, and a small web server on the EWS channel.
//
// The firmware knows nothing of sockets or pipes. A driver front hands it the
// bytes of each request and carries out what it decides: complete now, fail,
// drop the connection, stall until cancelled, complete after a delay. Any
// front (the Unix-socket driver of POSIX, a named pipe on Windows) can serve
// it.
//
// It keeps real state (settings, password, receive settings, sent jobs,
// received faxes and their log entries, fax events) and can be scripted to
// misbehave per command, so tests reach every error path. It also records the
// traffic it saw and counts requests that break the protocol and
// conversations that interleave on the fax channel.
#ifndef TESSALINE_SIM_FIRMWARE_H
#define TESSALINE_SIM_FIRMWARE_H

#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim {

namespace ews {
struct Reply;
}

using Bytes = std::vector<std::uint8_t>;

enum class Channel { Fax, Ews };
enum class Kind : std::uint32_t { Read = 1, Write = 2, Control = 3 };

inline constexpr std::uint32_t kIoctlWaitForReceivedFax = 0x22E004;
inline constexpr std::uint32_t kIoctlCancelIo = 0x22A01C;
inline constexpr std::uint32_t kErrorCancelled = 995;         // ERROR_OPERATION_ABORTED
inline constexpr std::uint32_t kErrorGenFailure = 31;         // ERROR_GEN_FAILURE
inline constexpr std::uint32_t kErrorInvalidFunction = 1;     // ERROR_INVALID_FUNCTION
inline constexpr std::uint32_t kErrorInvalidParameter = 87;   // ERROR_INVALID_PARAMETER

// Status the simulated firmware uses for a request it rejects (an unknown
// name, a job it cannot accept, a malformed request): a value the protocol
// does not list, as a real device's own error codes would be.
inline constexpr std::uint32_t kStatusRejected = 3;

// ---------------------------------------------------------------------------
// Scripted faults

enum class Fault {
    // Transfer faults, applied by the driver front to one request.
    FailTransfer,    // completes with error `value` (0: ERROR_GEN_FAILURE)
    ShortTransfer,   // completes moving `value` bytes (clamped below what a full transfer moves)
    DropConnection,  // closes the connection instead of completing
    Stall,           // never completes, until a cancel or the connection closes
    Delay,           // completes normally after `value` milliseconds
    // Reply faults, applied by the firmware to the reply of one command.
    ReplyStatus,      // Status = value; with `command_override`, Command too
    ReplyDataLength,  // DataLength = value; the data that follows is unchanged
    ReplyExtraData,   // `value` more bytes of data than normal, counted in DataLength
    ReplyBadMagic,    // Magic is not MFP1
    ReplyParam1,      // Param1 = value
    // Download faults (FAXCMD_GET_RECEIVED), applied to block `block`.
    BlockStatus,         // that block's header carries Status = value and no data follows
    BlockZeroLength,     // that block's header announces 0 bytes
    BlockOversize,       // that block carries `value` more bytes than the fax has left
    ClosingDataLength,   // the closing header's DataLength = value
    ClosingStatus,       // the closing header's Status = value
};

enum class Stage {
    Write,  // the index-th write request of the exchange (0: the header)
    Read,   // the index-th read request of the exchange (0: the reply header)
    Reply,  // the reply itself (reply and download faults)
};

struct Rule {
    std::uint32_t command = 0;   // FAXCMD of the request the exchange starts with
    int occurrence = -1;         // which request of that command since scripted; -1 every one
    Stage stage = Stage::Reply;
    int index = 0;               // for Write / Read stages
    Fault fault = Fault::ReplyStatus;
    std::uint32_t value = 0;
    std::optional<std::uint32_t> command_override;  // ReplyStatus: the reply's Command
    int block = 0;                                  // download faults: 0-based block index
    int times = -1;                                 // fires this many times; -1 without limit
    // Ews: a transfer fault on the EWS channel, at the index-th write or read
    // request of a connection (`command` and `occurrence` are not used).
    Channel channel = Channel::Fax;
};

// What the front is to do with one request.
struct Outcome {
    enum Action { Complete, Fail, Drop, Stall, Pend } action = Complete;
    std::uint32_t error = 0;  // Fail: the error number
    std::uint32_t count = 0;  // Complete of a write: bytes taken
    Bytes data;               // Complete of a read or control request: bytes returned
    std::uint32_t delay_ms = 0;
    bool cancel_others = false;  // IOCTL_CANCEL_IO: fail every other pending fax request first

    static Outcome Failed(std::uint32_t error) {
        Outcome o;
        o.action = Fail;
        o.error = error;
        return o;
    }
    static Outcome With(Action action) {
        Outcome o;
        o.action = action;
        return o;
    }
};

// ---------------------------------------------------------------------------
// Device state

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

// One recorded request and its completion.
struct Transfer {
    std::uint64_t connection = 0;
    Channel channel = Channel::Fax;
    Kind kind = Kind::Read;
    std::uint32_t code = 0;
    std::uint32_t asked = 0;   // out_len of a read or control request
    Bytes in;                  // a write's data or a control input
    Bytes out;                 // a read's or control request's returned bytes
    std::uint32_t error = 0;
    bool completed = false;    // false: dropped, stalled and then cancelled, or never answered
};

class Firmware {
public:
    Firmware();
    ~Firmware();

    // -- Driver-front interface --------------------------------------------
    using SessionId = std::uint64_t;
    SessionId Open(Channel channel);
    void Close(SessionId id);
    Outcome OnWrite(SessionId id, const std::uint8_t* data, std::uint32_t len);
    Outcome OnRead(SessionId id, std::uint32_t max);
    Outcome OnControl(SessionId id, std::uint32_t code, const Bytes& in, std::uint32_t out_cap);
    // For a front holding a request that pends: a read's data once output is
    // queued, or a wait's reply once an event is raised. Nothing when it
    // still pends.
    std::optional<Outcome> RetryPending(SessionId id, Kind kind, std::uint32_t code, std::uint32_t max);
    // Records how a request ended (the front calls this once per request).
    void Record(Transfer t);
    // Called (outside the firmware's lock) whenever something that may
    // complete a pending request happens from outside the front.
    void SetWakeup(std::function<void()> wake);

    // -- State, for tests and the daemon -------------------------------------
    void SetSettingsWire(const std::uint8_t (&record)[308]);
    void GetSettingsWire(std::uint8_t (&record)[308]) const;
    void SetPassword(const std::string& password);  // "" clears it
    void SetReceiveSettings(std::uint32_t value);
    void SetBlockSize(std::uint32_t bytes);
    void SetLoopback(bool on);
    void AddReceivedFax(const std::string& name, Bytes data);
    void AddReceivedFax(ReceivedFax fax);
    std::vector<ReceivedFax> ReceivedFaxes() const;
    std::vector<SentJob> Jobs() const;
    // Queues an event for the next wait. An event of a value already pending
    // is merged into it; a pending e_ReceivedFaxAvailable is dropped once the
    // last received fax is removed.
    void RaiseEvent(std::uint32_t event);
    std::size_t PendingEvents() const;
    // The bounds of the sent jobs kept (none until set).
    void SetJobBounds(std::size_t jobs, std::uint64_t bytes);
    void SetStatusPageTitle(std::string title);
    // The state a daemon keeps, taken or replaced in one step under the
    // firmware's lock, so that it is never seen half changed. Restore does
    // not count as a change (the state-change hook is not called).
    PersistentState Snapshot() const;
    void Restore(PersistentState state);

    // -- Scripting and observation ------------------------------------------
    void Script(const Rule& rule);
    void ClearScript();
    // Scripted rules that have firings left (a limited `times` not yet used
    // up): a test's way to know that the faults it scripted did happen.
    std::size_t RulesPending() const;
    void SetRecording(bool on);
    bool Recording() const;
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
    // Whether each settings read reports the device's running clock in
    // DeviceDateTime (tessaline-simd's device does). Off, a read gives the
    // record as it was saved, for tests of the settings exchange. Saving a
    // DeviceDateTime more than 5 s off the clock sets the clock either way,
    // and received faxes are logged by it.
    void SetClockRuns(bool on);
    std::vector<Transfer> Traffic() const;
    void ClearTraffic();
    // Bytes the host wrote on the fax channel, concatenated per connection in
    // order of the connections' first write.
    std::vector<Bytes> FaxConversations() const;
    std::uint64_t ProtocolErrors() const;
    std::uint64_t Interleavings() const;
    std::uint64_t FaxConnectionsOpened() const;
    // Called, under the firmware's lock, after every change of the state a
    // daemon keeps (settings, jobs, received faxes). It must not call back
    // into the firmware.
    void SetOnStateChange(std::function<void()> hook);

    struct Session;

private:
    Outcome FaxWrite(Session& s, const std::uint8_t* data, std::uint32_t len);
    Outcome FaxRead(Session& s, std::uint32_t max);
    Outcome EwsWrite(Session& s, const std::uint8_t* data, std::uint32_t len);
    Outcome EwsRead(Session& s, std::uint32_t max);
    void Consume(Session& s);
    void HandleRequest(Session& s, std::uint32_t command, const std::uint8_t* header, const Bytes& data);
    void Reply(Session& s, std::uint32_t command, std::uint32_t status, const Bytes& data,
               std::uint32_t param1 = 0, std::optional<std::uint32_t> reply_command = {});
    void QueueDownload(Session& s, const ReceivedFax& fax);
    void FinishJob(Session& s);
    Rule* Match(const Session& s, Stage stage, int index, Fault only = Fault::ReplyStatus, bool any_fault = true);
    const Rule* FindReplyRule(const Session& s, Fault fault);
    void Fire(const Rule* rule);
    void Changed();
    void PushEvent(std::uint32_t event);
    void TrimJobs();
    // The EWS server's reply to one request (under the lock).
    ews::Reply EwsReply(const std::string& method, const std::string& path, const std::string& body, bool form);

    mutable std::mutex mu_;
    std::map<SessionId, std::unique_ptr<Session>> sessions_;
    SessionId next_session_ = 1;

    std::uint8_t settings_[308];
    std::uint32_t receive_settings_ = 0;
    std::uint32_t block_size_ = 4096;
    bool loopback_ = false;
    std::vector<SentJob> jobs_;
    std::vector<ReceivedFax> received_;
    std::deque<std::uint32_t> events_;
    std::vector<std::string> removed_;
    std::uint32_t next_fax_number_ = 1;
    std::size_t max_jobs_ = SIZE_MAX;
    std::uint64_t max_job_bytes_ = UINT64_MAX;
    std::string title_ = "Tessaline simulated device";

    std::vector<Rule> rules_;
    std::map<std::uint32_t, int> occurrences_;  // per command, since the script was set
    bool recording_ = true;
    bool keep_sent_data_ = true;
    bool checks_jobs_ = false;
    bool clock_runs_ = false;
    // The device's clock: its offset from the host's, set by saving a
    // settings record whose DeviceDateTime differs from the clock's time.
    std::int64_t clock_offset_ = 0;
    std::time_t DeviceNow() const;
    std::vector<Transfer> traffic_;
    std::uint64_t protocol_errors_ = 0;
    std::uint64_t interleavings_ = 0;
    std::uint64_t fax_connections_ = 0;
    SessionId conversation_ = 0;  // the fax connection whose conversation is under way
    std::vector<std::pair<SessionId, Bytes>> conversations_;

    std::function<void()> wake_;
    std::function<void()> on_state_change_;
};

// The 80-byte log entry the firmware keeps for a fax it received.
void MakeLogEntry(std::uint8_t (&log)[80], const std::string& name, std::uint32_t pages, std::uint32_t duration);
// Sets the log entry's time to `when`, in local time.
void StampLogTime(std::uint8_t (&log)[80], std::time_t when);
// The number of pages of a TIFF image (its chain of directories), or 0 when
// the bytes are not one. Never reads past the image, and a chain that loops
// ends at 255, the most a log entry can tell.
std::uint32_t TiffPages(const Bytes& d);
// How long the device takes to receive a fax of `pages` pages and `bytes`
// bytes, in seconds: the call's set-up, a time per page, and the bytes at
// 14400 bit/s.
std::uint32_t FaxSeconds(std::uint32_t pages, std::uint64_t bytes);
// DeviceDateTime as the device writes it: "YYYY-MM-DD HH:MM:SS", local time.
std::string DeviceTimeText(std::time_t when);
// Reads that text back; false for anything else.
bool ParseDeviceTime(const std::string& text, std::time_t& when);

}  // namespace sim

#endif
