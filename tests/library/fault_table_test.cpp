// The fault table: every operation, at each exchange of its conversation with
// the device, against each fault the simulated device can produce, through
// the platform layer of the build (on Windows, the device served through its
// driver). For every
// row: the result the caller gets, the caller's records and local files as the
// operation promises, the device's own state where the request did or did not
// reach it, the access lock free afterwards, and the device still in step (the
// next operation succeeds, and no request was malformed).
//
// Faults of a transfer: the device drops the connection, fails the request,
// completes it short (5 bytes), or stalls it until a cancel from another
// thread. Faults of a reply: Status 2, 6 and an unlisted 9, a DataLength with
// its sign bit set (0x80000010) or near 4 GiB (0xFFFFFFF0) and the data left
// as it was, a wrong Magic. A download has faults of its own in its blocks
// and closing header. And for each operation that takes the access lock, a
// lock abandoned by a process that died holding it: the lock is not taken,
// and nothing is touched.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/com_ref.h"
#include "platform/named_mutex.h"
#include "protocol/fax_received.h"
#include "protocol/fax_send.h"
#include "protocol/fax_settings.h"
// The build's own fixture: on Windows the device served through its
// driver, elsewhere the device behind its Unix sockets.
#include "sim_fixture.h"
#include "transport/fax_device.h"
#include "transport/wait_cancel.h"

namespace {

using sim::Bytes;
using sim::Fault;
using sim::Rule;
using sim::Stage;

// A result as the operation reports it: a FAXRESULT for the protocol
// operations, a FAXSTATUS for the driver requests and the pass-through object.
using Code = std::int32_t;
constexpr Code kOk = 0;
// A fault that the row generator passes over for this stage.
constexpr Code kSkip = -100;

constexpr std::uint32_t kShortBy = 5;  // bytes a short transfer moves (fewer when the request is smaller)
constexpr char kPassword[] = "4321";
constexpr std::uint32_t kReceiveValue = 0x0102A0B0;
constexpr char kPrevious[] = "the local file as it was";

// ---------------------------------------------------------------------------
// The table's vocabulary

enum class TransferFault { Drop, Fail, Short, Stall };
enum class ReplyFault { Busy, Full, Unlisted, SignBitLength, HugeLength, BadMagic };

const char* Name(TransferFault f) {
    static const char* const names[] = {"connection dropped", "request failed", "short count", "stalled, cancelled"};
    return names[static_cast<int>(f)];
}
const char* Name(ReplyFault f) {
    static const char* const names[] = {"Status 2",
                                        "Status 6",
                                        "Status 9",
                                        "DataLength 0x80000010",
                                        "DataLength 0xFFFFFFF0",
                                        "wrong Magic"};
    return names[static_cast<int>(f)];
}

// What each transfer fault at one stage gives.
struct OnTransfer {
    Code drop, fail, short_count, stall;
    Code For(TransferFault f) const {
        const Code all[] = {drop, fail, short_count, stall};
        return all[static_cast<int>(f)];
    }
};
constexpr OnTransfer All(Code c) { return {c, c, c, c}; }
// A dropped connection fails every later request too; the other faults end
// only the request they hit.
constexpr OnTransfer DropElse(Code drop, Code rest) { return {drop, rest, rest, rest}; }

// What each reply fault gives.
struct OnReply {
    Code busy, full, unlisted, sign_bit_length, huge_length, bad_magic;
    Code For(ReplyFault f) const {
        const Code all[] = {busy, full, unlisted, sign_bit_length, huge_length, bad_magic};
        return all[static_cast<int>(f)];
    }
};
// A reply judged by its Status alone: the host looks neither at its
// DataLength (no data follows it) nor at its Magic.
constexpr OnReply kJudged = {FAXRESULT_BUSY, FAXRESULT_DISKFULL, FAXRESULT_READ, kOk, kOk, kOk};
// A reply followed by a record of at most 308 bytes: a DataLength beyond what
// one read can carry is more than the record holds, and nothing is read.
constexpr OnReply kRecordReply = {FAXRESULT_BUSY,     FAXRESULT_DISKFULL, FAXRESULT_READ,
                                  FAXRESULT_BADREPLY, FAXRESULT_BADREPLY, kOk};
// A reply followed by the list of names in one read: a list longer than one
// read can carry cannot arrive.
constexpr OnReply kListReply = {FAXRESULT_BUSY, FAXRESULT_DISKFULL, FAXRESULT_READ,
                                FAXRESULT_READ, FAXRESULT_READ,     kOk};
// A reply announcing a download's size: a size that is not positive as a
// signed count is refused before anything is allocated.
constexpr OnReply kDownloadReply = {FAXRESULT_BUSY,       FAXRESULT_DISKFULL,   FAXRESULT_READ,
                                    FAXRESULT_INVALIDARG, FAXRESULT_INVALIDARG, kOk};
// A reply that is read and not interpreted.
constexpr OnReply kUninterpreted = {kOk, kOk, kOk, kOk, kOk, kOk};

struct TransferAt {
    const char* where;
    std::uint32_t command;  // FAXCMD of the exchange; the control code of a driver request
    int occurrence;         // which request of that command in the operation
    Stage stage;
    int index;  // the request's place in its exchange
    OnTransfer expect;
};

struct ReplyAt {
    const char* where;
    std::uint32_t command;
    int occurrence;
    OnReply expect;
};

// A fault that only one operation meets (the blocks of a download), or a
// fault together with what the device does next.
struct Special {
    const char* what;
    std::vector<Rule> rules;
    Code expected;
};

class FaultTable;

struct Row;

struct Operation {
    const char* name;
    bool statuses = false;   // its results are FAXSTATUS values, not FAXRESULT ones
    bool takes_lock = true;  // so a lock abandoned elsewhere keeps it from the device
    bool ews = false;        // it works on the EWS channel
    std::vector<TransferAt> transfers = {};
    std::vector<ReplyAt> replies = {};
    std::vector<Special> specials = {};
    Code (*run)(FaultTable&) = nullptr;
    // The caller's records and the device's state after the row.
    void (*check)(FaultTable&, const Row&, Code) = nullptr;
};

struct Row {
    const Operation* op;
    std::string what;
    std::vector<Rule> rules;  // none: the lock is abandoned instead
    bool stall = false;
    Code expected;

    bool Abandoned() const { return rules.empty(); }
    // The fault under test: the first rule.
    const Rule& Hit() const { return rules.front(); }
    // The fault hit this command's exchange at this stage.
    bool At(std::uint32_t command, Stage stage) const {
        return !rules.empty() && Hit().command == command && Hit().stage == stage;
    }
};

std::string CodeName(bool statuses, Code c) {
    static const char* const results[] = {"FAXRESULT_OK",       "FAXRESULT_INVALIDARG", "FAXRESULT_NULLPOINTER",
                                          "FAXRESULT_FALSE",    "FAXRESULT_NO_DEVICE",  "FAXRESULT_BADREPLY",
                                          "FAXRESULT_READ",     "FAXRESULT_WRITE",      "FAXRESULT_MEMALLOC",
                                          "FAXRESULT_FILE",     "FAXRESULT_BUSY",       "FAXRESULT_DISKFULL"};
    static const char* const statuses_[] = {"FAXSTATUS_OK",          "FAXSTATUS_BUSY",        "FAXSTATUS_CMD_FAIL",
                                            "FAXSTATUS_NO_RESPONSE", "FAXSTATUS_INVALIDARGE", "FAXSTATUS_NULLPOINTER",
                                            "FAXSTATUS_BADSTATUS",   "FAXSTATUS_NO_DEVICE",   "FAXSTATUS_READ",
                                            "FAXSTATUS_WRITE",       "FAXSTATUS_MEMALLOC",    "FAXSTATUS_DISKFULL"};
    if (c < 0 || c > 11) return std::to_string(c);
    return statuses ? statuses_[c] : results[c];
}

Bytes Pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + seed + i / 253);
    return b;
}

std::optional<Bytes> FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void PutFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

FAX_FILENAME FaxName(const char* text) {
    FAX_FILENAME f;
    std::memset(&f, 0, sizeof(f));
    std::snprintf(f.faxPath, sizeof(f.faxPath), "%s", text);
    return f;
}

FAX_RECIPIENT Recipient(const char* prefix, const char* number) {
    FAX_RECIPIENT r;
    std::memset(&r, 0, sizeof(r));
    std::snprintf(r.Prefix, sizeof(r.Prefix), "%s", prefix);
    std::snprintf(r.PhoneNumber, sizeof(r.PhoneNumber), "%s", number);
    return r;
}

template <class T>
bool AllBytes(const T& record, std::uint8_t value) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&record);
    return std::all_of(p, p + sizeof(record), [value](std::uint8_t b) { return b == value; });
}

// Aborts the run, naming the row, when a row does not finish: a hang is the
// one failure that would otherwise say nothing at all.
class Watchdog {
public:
    Watchdog() : thread_([this] { Watch(); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> g(mu_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    void Arm(const std::string& what) {
        std::lock_guard<std::mutex> g(mu_);
        what_ = what;
        deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        armed_ = true;
    }
    void Disarm() {
        std::lock_guard<std::mutex> g(mu_);
        armed_ = false;
    }

private:
    void Watch() {
        std::unique_lock<std::mutex> g(mu_);
        while (!stop_) {
            cv_.wait_for(g, std::chrono::milliseconds(200));
            if (armed_ && std::chrono::steady_clock::now() > deadline_) {
                std::fprintf(stderr, "fault table row does not finish: %s\n", what_.c_str());
                std::fflush(stderr);
                // The hung operation holds the access lock: remove it, so that
                // a later process of the same pid does not find it abandoned.
                if (const char* lock = std::getenv("TESSALINE_LOCK_NAME")) ForgetAccessLock(lock);
                std::abort();
            }
        }
    }

    std::mutex mu_;
    std::condition_variable cv_;
    bool stop_ = false;
    bool armed_ = false;
    std::string what_;
    std::chrono::steady_clock::time_point deadline_;
    std::thread thread_;
};

// ---------------------------------------------------------------------------
// The fixture: a device in a known state and the caller's records, both
// renewed for every row.

class FaultTable : public SimTest, public ::testing::WithParamInterface<std::size_t> {
public:
    sim::Firmware& firmware() { return fw(); }

    void FreshDevice() {
        ASSERT_TRUE(RestartDevice());
        fw().state().SetPassword(kPassword);
        fw().state().SetReceiveSettings(kReceiveValue);
        fw().state().AddReceivedFax("alpha.tif", fax_);  // two blocks of a download
        fw().state().AddReceivedFax("beta.tif", Pattern(300, 9));
        fw().state().RaiseEvent(e_ReceivedFaxAvailable);
        fw().state().GetSettingsWire(device_settings_);
        for (const auto& f : fw().state().ReceivedFaxes())
            if (f.name == "alpha.tif") std::memcpy(alpha_log_, f.log, sizeof(alpha_log_));
    }

    void FreshCaller() {
        std::memset(&settings_, 0xA5, sizeof(settings_));
        flag_ = 0xEE;
        value_ = 0xEEEEEEEE;
        count_ = 99;
        std::memset(entries_, 'X', sizeof(entries_));
        std::memset(&entry_, 0x5A, sizeof(entry_));
        event_ = static_cast<FAX_STATUS_ENUM>(77);
        ews_head_.clear();
        PutFile(local_path_, Bytes(kPrevious, kPrevious + sizeof(kPrevious) - 1));
    }

    // Another thread, which would wait for a lock that this thread kept.
    static bool LockIsFree() {
        bool free = false;
        std::thread other([&] {
            const plat::MutexHandle m = plat::OpenNamedMutex(kAccessLockName);
            if (!m.is_open()) return;
            if (plat::WaitNamedMutex(m, 1000) == plat::MutexWait::Acquired) {
                free = true;
                plat::ReleaseNamedMutex(m);
            }
        });
        other.join();
        return free;
    }

    // Runs the operation; for a stall, another thread cancels the device's
    // pending I/O until the operation returns, as a caller would release a
    // blocked one.
    Code Run(const Row& row) {
        if (!row.stall) return row.op->run(*this);
        std::atomic<bool> done{false};
        std::thread canceller([&] {
            while (!done.load()) {
                CancelIO();
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
        const Code c = row.op->run(*this);
        done = true;
        canceller.join();
        return c;
    }

    void RunRow(const Row& row);

    // The device's state and what it keeps.
    Bytes fax_ = Pattern(4096 + 500, 3);
    std::uint8_t device_settings_[308] = {};
    std::uint8_t alpha_log_[80] = {};

    // The caller's side.
    std::string files_;
    std::string local_path_;
    std::string send_path_;
    Bytes send_file_ = Pattern(4096 + 1000, 5);  // two blocks of an upload
    FAX_RECIPIENT recipients_[2] = {Recipient("9", "5551234"), Recipient("", "5555678")};
    DEFAULT_FAX_SETTINGS settings_;
    DEFAULT_FAX_SETTINGS to_save_;
    std::uint8_t flag_ = 0;
    std::uint32_t value_ = 0;
    std::uint32_t count_ = 0;
    FAX_FILENAME entries_[3];
    FAX_LOG_ENTRY entry_;
    FAX_STATUS_ENUM event_ = e_NoFaxesAvailable;
    std::string ews_head_;

protected:
    void SetUp() override {
        SimTest::SetUp();
        // The lock's name follows the pid: a lock left by a dead process that
        // had this pid would be found abandoned. Start from a fresh one.
        ForgetAccessLock(lock_name_);
        files_ = dir_ + "/files";
        ASSERT_TRUE(std::filesystem::create_directory(files_));
        local_path_ = files_ + "/received.tif";
        send_path_ = dir_ + "/to-send.tif";
        PutFile(send_path_, send_file_);
        std::memset(&to_save_, 0, sizeof(to_save_));
        std::snprintf(to_save_.FaxName, sizeof(to_save_.FaxName), "%s", "Saved by the fault table");
        std::snprintf(to_save_.FaxNumber, sizeof(to_save_.FaxNumber), "%s", "5550199");
        std::snprintf(to_save_.Password, sizeof(to_save_.Password), "%s", "8765");
        to_save_.RingPattern = e_FaxRingDouble;
        to_save_.PulseDialing = 7;
    }
};

// The settings record as the device would carry it.
Bytes Wire(const DEFAULT_FAX_SETTINGS& s) {
    FAX_SETTINGS_WIRE w;
    std::memset(&w, 0, sizeof(w));
    SettingsToWire(s, w);
    const auto* p = reinterpret_cast<const std::uint8_t*>(&w);
    return Bytes(p, p + sizeof(w));
}

Bytes DeviceSettings(sim::Firmware& fw) {
    std::uint8_t now[308];
    fw.state().GetSettingsWire(now);
    return Bytes(now, now + sizeof(now));
}

Rule TransferRule(const TransferAt& at, TransferFault f, bool ews = false) {
    Rule r;
    r.command = at.command;
    r.occurrence = at.occurrence;
    r.stage = at.stage;
    r.index = at.index;
    r.times = 1;
    if (ews) r.channel = sim::Channel::Ews;
    switch (f) {
        case TransferFault::Drop: r.fault = Fault::DropConnection; break;
        case TransferFault::Fail: r.fault = Fault::FailTransfer; break;
        case TransferFault::Short:
            r.fault = Fault::ShortTransfer;
            r.value = kShortBy;
            break;
        case TransferFault::Stall: r.fault = Fault::Stall; break;
    }
    return r;
}

Rule ReplyRule(const ReplyAt& at, ReplyFault f) {
    Rule r;
    r.command = at.command;
    r.occurrence = at.occurrence;
    r.stage = Stage::Reply;
    r.times = 1;
    switch (f) {
        case ReplyFault::Busy: r.fault = Fault::ReplyStatus, r.value = 2; break;
        case ReplyFault::Full: r.fault = Fault::ReplyStatus, r.value = 6; break;
        case ReplyFault::Unlisted: r.fault = Fault::ReplyStatus, r.value = 9; break;
        case ReplyFault::SignBitLength: r.fault = Fault::ReplyDataLength, r.value = 0x80000010; break;
        case ReplyFault::HugeLength: r.fault = Fault::ReplyDataLength, r.value = 0xFFFFFFF0; break;
        case ReplyFault::BadMagic: r.fault = Fault::ReplyBadMagic; break;
    }
    return r;
}

// ---------------------------------------------------------------------------
// The operations: how each is run, its exchanges with what each fault there
// gives, and what the caller's records and the device hold afterwards.

std::vector<Operation> Operations() {
    // Exchanges that every judged request-and-reply shares.
    const OnTransfer write = All(FAXRESULT_WRITE);
    const OnTransfer read = All(FAXRESULT_READ);

    std::vector<Operation> ops;

    ops.push_back({
        .name = "DeviceReadFaxSettings",
        .transfers = {{"request header write", FAXCMD_READ_SETTINGS, 0, Stage::Write, 0, write},
                      {"reply header read", FAXCMD_READ_SETTINGS, 0, Stage::Read, 0, read},
                      {"record read", FAXCMD_READ_SETTINGS, 0, Stage::Read, 1, read}},
        .replies = {{"reply", FAXCMD_READ_SETTINGS, 0, kRecordReply}},
        .run = [](FaultTable& t) -> Code { return DeviceReadFaxSettings(&t.settings_); },
        .check = [](FaultTable& t, const Row& row, Code c) {
            if (c == kOk) {
                EXPECT_EQ(Wire(t.settings_), Bytes(t.device_settings_, t.device_settings_ + 308));
            } else if (row.Abandoned()) {
                EXPECT_TRUE(AllBytes(t.settings_, 0xA5)) << "the record is untouched when the lock is not taken";
            }
        },
    });

    ops.push_back({
        .name = "DeviceSaveFaxSettings",
        .transfers = {{"read: request header write", FAXCMD_READ_SETTINGS, 0, Stage::Write, 0, write},
                      {"read: reply header read", FAXCMD_READ_SETTINGS, 0, Stage::Read, 0, read},
                      {"read: record read", FAXCMD_READ_SETTINGS, 0, Stage::Read, 1, read},
                      {"save: request header write", FAXCMD_SAVE_SETTINGS, 0, Stage::Write, 0, write},
                      {"save: record write", FAXCMD_SAVE_SETTINGS, 0, Stage::Write, 1, write},
                      {"save: reply header read", FAXCMD_SAVE_SETTINGS, 0, Stage::Read, 0, read}},
        .replies = {{"read: reply", FAXCMD_READ_SETTINGS, 0, kRecordReply},
                    {"save: reply", FAXCMD_SAVE_SETTINGS, 0, kJudged}},
        .run = [](FaultTable& t) -> Code { return DeviceSaveFaxSettings(&t.to_save_); },
        .check = [](FaultTable& t, const Row& row, Code c) {
            const Bytes now = DeviceSettings(t.firmware());
            if (c == kOk) {
                EXPECT_EQ(now, Wire(t.to_save_));
            } else if (row.Abandoned() || row.At(FAXCMD_READ_SETTINGS, row.Hit().stage) ||
                       row.At(FAXCMD_SAVE_SETTINGS, Stage::Write)) {
                // The save never reached the device whole: what it holds is
                // unchanged. (After the save's reply is lost or refused, the
                // device may or may not have stored the record.)
                EXPECT_EQ(now, Bytes(t.device_settings_, t.device_settings_ + 308));
            }
        },
    });

    ops.push_back({
        .name = "DeviceCheckFaxPasswordSet",
        .transfers = {{"request header write", FAXCMD_PASSWORD_SET, 0, Stage::Write, 0, write},
                      {"reply header read", FAXCMD_PASSWORD_SET, 0, Stage::Read, 0, read}},
        .replies = {{"reply", FAXCMD_PASSWORD_SET, 0, kJudged}},
        .run = [](FaultTable& t) -> Code { return DeviceCheckFaxPasswordSet(&t.flag_); },
        // The device has a password: yes on success, and the flag cleared on
        // any failure.
        .check = [](FaultTable& t, const Row&, Code c) { EXPECT_EQ(t.flag_, c == kOk ? 1 : 0); },
    });

    ops.push_back({
        .name = "DeviceCheckFaxPassword",
        .transfers = {{"request header write", FAXCMD_CHECK_PASSWORD, 0, Stage::Write, 0, write},
                      {"password write", FAXCMD_CHECK_PASSWORD, 0, Stage::Write, 1, write},
                      {"reply header read", FAXCMD_CHECK_PASSWORD, 0, Stage::Read, 0, read}},
        .replies = {{"reply", FAXCMD_CHECK_PASSWORD, 0, kJudged}},
        .run = [](FaultTable& t) -> Code { return DeviceCheckFaxPassword(kPassword, &t.flag_); },
        .check = [](FaultTable& t, const Row&, Code c) { EXPECT_EQ(t.flag_, c == kOk ? 1 : 0); },
    });

    ops.push_back({
        .name = "DeviceGetFaxReceiveSettings",
        .transfers = {{"request header write", FAXCMD_RECEIVE_SETTINGS, 0, Stage::Write, 0, write},
                      {"reply header read", FAXCMD_RECEIVE_SETTINGS, 0, Stage::Read, 0, read}},
        .replies = {{"reply", FAXCMD_RECEIVE_SETTINGS, 0, kJudged}},
        .run = [](FaultTable& t) -> Code { return DeviceGetFaxReceiveSettings(&t.value_); },
        .check = [](FaultTable& t, const Row&, Code c) {
            if (c == kOk) {
                EXPECT_EQ(t.value_, kReceiveValue);
            }
        },
    });

    // A send: begin, recipients, two data blocks, the end of the data and
    // its reply, end. Once the device has accepted the begin command, the end
    // command decides. The simulated device answers the end command of a job
    // that lacks its recipients, its data or the end of its data with a
    // refusal of its own (Status 3, unlisted): READ. A dropped connection
    // fails every later request, the end command's write first: WRITE.
    const OnTransfer lost_upload = DropElse(FAXRESULT_WRITE, FAXRESULT_READ);
    const TransferAt data_reply = {"", FAXCMD_DATA, 2, Stage::Read, 0, {}};
    const ReplyAt end_reply = {"", FAXCMD_SEND_END, 0, {}};
    ops.push_back({
        .name = "DeviceSendFax",
        .transfers = {{"begin: header write", FAXCMD_SEND_BEGIN, 0, Stage::Write, 0, write},
                      {"begin: reply read", FAXCMD_SEND_BEGIN, 0, Stage::Read, 0, read},
                      {"recipients: header write", FAXCMD_RECIPIENTS, 0, Stage::Write, 0, lost_upload},
                      {"recipients: list write", FAXCMD_RECIPIENTS, 0, Stage::Write, 1, lost_upload},
                      {"block 1: header write", FAXCMD_DATA, 0, Stage::Write, 0, lost_upload},
                      {"block 1: data write", FAXCMD_DATA, 0, Stage::Write, 1, lost_upload},
                      {"block 2: header write", FAXCMD_DATA, 1, Stage::Write, 0, lost_upload},
                      {"block 2: data write", FAXCMD_DATA, 1, Stage::Write, 1, lost_upload},
                      // The device never learns that the data is complete.
                      {"end of data: header write", FAXCMD_DATA, 2, Stage::Write, 0, lost_upload},
                      // The reply to the data is lost; the job is whole, and
                      // the end command's answer is the device's own.
                      {"end of data: reply read", FAXCMD_DATA, 2, Stage::Read, 0, DropElse(FAXRESULT_WRITE, kOk)},
                      {"end: header write", FAXCMD_SEND_END, 0, Stage::Write, 0, write},
                      {"end: reply read", FAXCMD_SEND_END, 0, Stage::Read, 0, read}},
        .replies = {{"begin: reply", FAXCMD_SEND_BEGIN, 0, kJudged},
                    // The end command decides.
                    {"end of data: reply", FAXCMD_DATA, 2, kUninterpreted},
                    {"end: reply", FAXCMD_SEND_END, 0, kJudged}},
        // The reply to the data is lost and the device then refuses the job:
        // the end command's own answer is the result, not what was left of
        // the reply to the data.
        .specials = {{"end of data: reply read fails, end reply Status 2",
                      {TransferRule(data_reply, TransferFault::Fail), ReplyRule(end_reply, ReplyFault::Busy)},
                      FAXRESULT_BUSY},
                     {"end of data: reply read short, end reply Status 6",
                      {TransferRule(data_reply, TransferFault::Short), ReplyRule(end_reply, ReplyFault::Full)},
                      FAXRESULT_DISKFULL}},
        .run = [](FaultTable& t) -> Code { return DeviceSendFax(t.recipients_, 2, t.send_path_.c_str()); },
        .check = [](FaultTable& t, const Row& row, Code c) {
            EXPECT_EQ(FileBytes(t.send_path_), t.send_file_) << "the file to send is only read";
            const auto jobs = t.firmware().state().Jobs();
            ASSERT_LE(jobs.size(), 1u);
            if (c == kOk) {
                ASSERT_EQ(jobs.size(), 1u);
                EXPECT_EQ(jobs[0].data, t.send_file_);
                EXPECT_TRUE(jobs[0].data_ended);
                EXPECT_FALSE(jobs[0].failed_block);
                ASSERT_EQ(jobs[0].recipients.size(), 2u);
                EXPECT_EQ(jobs[0].recipients[1].number, "5555678");
            }
            for (const auto& job : jobs) {
                // Whatever reached the device is the file's own bytes, in order.
                ASSERT_LE(job.data.size(), t.send_file_.size());
                EXPECT_TRUE(std::equal(job.data.begin(), job.data.end(), t.send_file_.begin()));
                // An upload that lost a part (the recipients, a block, the end
                // of the data) never looks complete to the device.
                if (row.At(FAXCMD_RECIPIENTS, Stage::Write) || row.At(FAXCMD_DATA, Stage::Write)) {
                    EXPECT_TRUE(job.recipients.empty() || !job.data_ended || job.failed_block ||
                                job.data.size() != t.send_file_.size());
                }
            }
            // A begin that failed sends nothing more, not even the end command.
            if (c != kOk && (row.Abandoned() || row.At(FAXCMD_SEND_BEGIN, row.Hit().stage))) {
                EXPECT_TRUE(jobs.empty());
            }
        },
    });

    // The list of names: its reply header, then the payload of DataLength
    // bytes in one read.
    const std::vector<TransferAt> list_transfers = {
        {"request header write", FAXCMD_LIST_RECEIVED, 0, Stage::Write, 0, write},
        {"reply header read", FAXCMD_LIST_RECEIVED, 0, Stage::Read, 0, read},
        {"list read", FAXCMD_LIST_RECEIVED, 0, Stage::Read, 1, read}};

    ops.push_back({
        .name = "DeviceGetReceivedFaxCount",
        .transfers = list_transfers,
        .replies = {{"reply", FAXCMD_LIST_RECEIVED, 0, kListReply}},
        .run = [](FaultTable& t) -> Code { return DeviceGetReceivedFaxCount(&t.count_); },
        .check = [](FaultTable& t, const Row&, Code c) { EXPECT_EQ(t.count_, c == kOk ? 2u : 0u); },
    });

    ops.push_back({
        .name = "DeviceGetReceivedFaxList",
        .transfers = list_transfers,
        .replies = {{"reply", FAXCMD_LIST_RECEIVED, 0, kListReply}},
        .run = [](FaultTable& t) -> Code { return DeviceGetReceivedFaxList(t.entries_, 3); },
        .check = [](FaultTable& t, const Row&, Code c) {
            if (c == kOk) {
                EXPECT_STREQ(t.entries_[0].faxPath, "alpha.tif");
                EXPECT_STREQ(t.entries_[1].faxPath, "beta.tif");
                EXPECT_TRUE(AllBytes(t.entries_[2], 'X'));
            } else {
                EXPECT_TRUE(AllBytes(t.entries_, 'X')) << "the list is untouched on failure";
            }
        },
    });

    // A download: request header and name, the reply announcing the size,
    // two blocks (header, data) and the closing header.
    auto block = [](Fault fault, std::uint32_t value, int k) {
        Rule r;
        r.command = FAXCMD_GET_RECEIVED;
        r.occurrence = 0;
        r.stage = Stage::Reply;
        r.fault = fault;
        r.value = value;
        r.block = k;
        r.times = 1;
        return r;
    };
    ops.push_back({
        .name = "DeviceGetReceivedFax",
        .transfers = {{"request header write", FAXCMD_GET_RECEIVED, 0, Stage::Write, 0, write},
                      {"name write", FAXCMD_GET_RECEIVED, 0, Stage::Write, 1, write},
                      {"reply header read", FAXCMD_GET_RECEIVED, 0, Stage::Read, 0, read},
                      {"block 1: header read", FAXCMD_GET_RECEIVED, 0, Stage::Read, 1, read},
                      {"block 1: data read", FAXCMD_GET_RECEIVED, 0, Stage::Read, 2, read},
                      {"block 2: header read", FAXCMD_GET_RECEIVED, 0, Stage::Read, 3, read},
                      {"block 2: data read", FAXCMD_GET_RECEIVED, 0, Stage::Read, 4, read},
                      {"closing header read", FAXCMD_GET_RECEIVED, 0, Stage::Read, 5, read}},
        .replies = {{"reply", FAXCMD_GET_RECEIVED, 0, kDownloadReply}},
        .specials = {{"block 1: Status 2", {block(Fault::BlockStatus, 2, 0)}, FAXRESULT_BUSY},
                     {"block 1: Status 6", {block(Fault::BlockStatus, 6, 0)}, FAXRESULT_DISKFULL},
                     {"block 1: Status 9", {block(Fault::BlockStatus, 9, 0)}, FAXRESULT_READ},
                     {"block 2: Status 2", {block(Fault::BlockStatus, 2, 1)}, FAXRESULT_BUSY},
                     {"block 2: Status 6", {block(Fault::BlockStatus, 6, 1)}, FAXRESULT_DISKFULL},
                     {"block 2: Status 9", {block(Fault::BlockStatus, 9, 1)}, FAXRESULT_READ},
                     {"block 1: DataLength 0", {block(Fault::BlockZeroLength, 0, 0)}, FAXRESULT_READ},
                     {"block 2: DataLength 0", {block(Fault::BlockZeroLength, 0, 1)}, FAXRESULT_READ},
                     // One byte more than announced: the second block then no
                     // longer fits what is still due.
                     {"block 1: one byte too many", {block(Fault::BlockOversize, 1, 0)}, FAXRESULT_BADREPLY},
                     {"block 2: one byte too many", {block(Fault::BlockOversize, 1, 1)}, FAXRESULT_BADREPLY},
                     {"closing header: Status 2", {block(Fault::ClosingStatus, 2, 0)}, FAXRESULT_BUSY},
                     {"closing header: Status 6", {block(Fault::ClosingStatus, 6, 0)}, FAXRESULT_DISKFULL},
                     {"closing header: Status 9", {block(Fault::ClosingStatus, 9, 0)}, FAXRESULT_READ},
                     {"closing header: DataLength 16", {block(Fault::ClosingDataLength, 16, 0)},
                      FAXRESULT_BADREPLY},
                     {"closing header: DataLength 0xFFFFFFF0", {block(Fault::ClosingDataLength, 0xFFFFFFF0, 0)},
                      FAXRESULT_BADREPLY}},
        .run = [](FaultTable& t) -> Code {
            const FAX_FILENAME name = FaxName("alpha.tif");
            return DeviceGetReceivedFax(&name, t.local_path_.c_str());
        },
        .check = [](FaultTable& t, const Row&, Code c) {
            if (c == kOk) {
                EXPECT_EQ(FileBytes(t.local_path_), t.fax_);
            } else {
                EXPECT_EQ(FileBytes(t.local_path_), Bytes(kPrevious, kPrevious + sizeof(kPrevious) - 1))
                    << "a failed download leaves the local file as it was";
            }
            std::size_t entries = 0;
            for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(t.files_)) ++entries;
            EXPECT_EQ(entries, 1u) << "nothing else is left beside the local file";
        },
    });

    ops.push_back({
        .name = "DeviceRemoveReceivedFax",
        .transfers = {{"request header write", FAXCMD_REMOVE_RECEIVED, 0, Stage::Write, 0, write},
                      {"name write", FAXCMD_REMOVE_RECEIVED, 0, Stage::Write, 1, write},
                      {"reply header read", FAXCMD_REMOVE_RECEIVED, 0, Stage::Read, 0, read}},
        .replies = {{"reply", FAXCMD_REMOVE_RECEIVED, 0, kJudged}},
        .run = [](FaultTable&) -> Code {
            const FAX_FILENAME name = FaxName("beta.tif");
            return DeviceRemoveReceivedFax(&name);
        },
        .check = [](FaultTable& t, const Row& row, Code c) {
            const auto faxes = t.firmware().state().ReceivedFaxes();
            const bool kept =
                std::any_of(faxes.begin(), faxes.end(), [](const sim::ReceivedFax& f) { return f.name == "beta.tif"; });
            if (c == kOk) {
                EXPECT_FALSE(kept);
            }
            // A request that never reached the device whole removed nothing.
            if (row.Abandoned() || row.At(FAXCMD_REMOVE_RECEIVED, Stage::Write)) {
                EXPECT_TRUE(kept);
            }
            EXPECT_EQ(faxes.size(), kept ? 2u : 1u);
        },
    });

    // The log entry: reply header, then at most 80 bytes straight into the
    // caller's record. A longer DataLength is cut to 80, and the device's 80
    // bytes are all that is read.
    ops.push_back({
        .name = "DeviceGetFaxLogEntry",
        .transfers = {{"request header write", FAXCMD_GET_LOG_ENTRY, 0, Stage::Write, 0, write},
                      {"name write", FAXCMD_GET_LOG_ENTRY, 0, Stage::Write, 1, write},
                      {"reply header read", FAXCMD_GET_LOG_ENTRY, 0, Stage::Read, 0, read},
                      {"entry read", FAXCMD_GET_LOG_ENTRY, 0, Stage::Read, 1, read}},
        .replies = {{"reply", FAXCMD_GET_LOG_ENTRY, 0, kJudged}},
        .run = [](FaultTable& t) -> Code {
            const FAX_FILENAME name = FaxName("alpha.tif");
            return DeviceGetFaxLogEntry(&name, &t.entry_);
        },
        .check = [](FaultTable& t, const Row& row, Code c) {
            if (c == kOk) {
                FAX_LOG_ENTRY expected;
                std::memcpy(&expected, t.alpha_log_, sizeof(expected));
                expected.Duration = wire::LoadBE32(t.alpha_log_ + 8);
                expected.FAXSTATUS = wire::LoadBE32(t.alpha_log_ + 12);
                expected.FaxType = wire::LoadBE32(t.alpha_log_ + 16);
                EXPECT_EQ(0, std::memcmp(&t.entry_, &expected, sizeof(expected)));
            } else if (!(row.At(FAXCMD_GET_LOG_ENTRY, Stage::Read) && row.Hit().index == 1)) {
                // Only a read of the entry itself may leave part of it behind.
                EXPECT_TRUE(AllBytes(t.entry_, 0x5A));
            }
        },
    });

    // The wait: one device-control request, which the device completes with
    // the queued event. Whatever the fault, the driver fails the request (or
    // its reply stops short of the event): CMD_FAIL, and no event is stored.
    ops.push_back({
        .name = "WaitForReceivedFax",
        .statuses = true,
        .transfers = {{"wait request", IOCTL_WAIT_FOR_RECEIVED_FAX, 0, Stage::Write, 0, All(FAXSTATUS_CMD_FAIL)}},
        .run = [](FaultTable& t) -> Code { return WaitForReceivedFax(&t.event_); },
        .check = [](FaultTable& t, const Row&, Code c) {
            EXPECT_EQ(static_cast<int>(t.event_), c == kOk ? e_ReceivedFaxAvailable : 77);
        },
    });

    // The cancel has no output, so a short count means nothing to it. A
    // stalled cancel is released only by another cancel, which the table's
    // own canceller would race with: not a row.
    ops.push_back({
        .name = "CancelIO",
        .statuses = true,
        .takes_lock = false,
        .transfers = {{"cancel request", IOCTL_CANCEL_IO, 0, Stage::Write, 0,
                       {FAXSTATUS_CMD_FAIL, FAXSTATUS_CMD_FAIL, FAXSTATUS_OK, kSkip}}},
        .run = [](FaultTable&) -> Code { return CancelIO(); },
        .check = [](FaultTable&, const Row&, Code) {},
    });

    // The pass-through object: open, write a request of two blocks, read the
    // head of the answer. A short request is followed by the rest, so the
    // transfer as a whole succeeds. The cancel request reaches only the fax
    // channel, so nothing could release a stalled EWS request: not a row.
    const OnTransfer ews_write = {FAXSTATUS_CMD_FAIL, FAXSTATUS_CMD_FAIL, FAXSTATUS_OK, kSkip};
    const OnTransfer ews_read = {FAXSTATUS_READ, FAXSTATUS_READ, FAXSTATUS_OK, kSkip};
    ops.push_back({
        .name = "IUSBEWS transfers",
        .statuses = true,
        .takes_lock = false,
        .ews = true,
        .transfers = {{"first write", 0, 0, Stage::Write, 0, ews_write},
                      {"second write", 0, 0, Stage::Write, 1, ews_write},
                      {"read", 0, 0, Stage::Read, 0, ews_read}},
        .run = [](FaultTable& t) -> Code {
            Ref<IIUSBEWS> ews;
            if (CreateObject(CLSID_IUSBEWS, IID_IIUSBEWS, ews) != S_OK) return -1;
            FAXSTATUS s = FAXSTATUS_CMD_FAIL;
            ews->OpenEWS(&s);
            if (s != FAXSTATUS_OK) return s;
            std::string request = "GET / HTTP/1.1\r\nX-Pad: " + std::string(5000, 'p') + "\r\n\r\n";
            int n = 0;
            ews->WriteEWS(reinterpret_cast<unsigned char*>(request.data()), static_cast<int>(request.size()), &n, &s);
            if (s != FAXSTATUS_OK) return s;
            unsigned char head[12];
            ews->ReadEWS(head, sizeof(head), &n, &s);
            if (s != FAXSTATUS_OK) return s;
            t.ews_head_.assign(head, head + sizeof(head));
            return n == static_cast<int>(sizeof(head)) ? FAXSTATUS_OK : -2;
        },
        .check = [](FaultTable& t, const Row&, Code c) {
            if (c == kOk) {
                EXPECT_EQ(t.ews_head_, "HTTP/1.1 200");
            }
        },
    });
    return ops;
}

const std::vector<Operation>& TheOperations() {
    static const std::vector<Operation> ops = Operations();
    return ops;
}

// The rows of one operation: every stage with every fault, the faults of its
// own, and the abandoned lock.
std::vector<Row> RowsOf(const Operation& op) {
    std::vector<Row> rows;
    for (const TransferAt& at : op.transfers) {
        for (TransferFault f : {TransferFault::Drop, TransferFault::Fail, TransferFault::Short, TransferFault::Stall}) {
            if (at.expect.For(f) == kSkip) continue;
            Row row{&op, std::string(at.where) + ": " + Name(f), {TransferRule(at, f, op.ews)},
                    f == TransferFault::Stall, at.expect.For(f)};
            rows.push_back(row);
        }
    }
    for (const ReplyAt& at : op.replies) {
        for (ReplyFault f : {ReplyFault::Busy, ReplyFault::Full, ReplyFault::Unlisted, ReplyFault::SignBitLength,
                             ReplyFault::HugeLength, ReplyFault::BadMagic}) {
            rows.push_back(
                Row{&op, std::string(at.where) + ": " + Name(f), {ReplyRule(at, f)}, false, at.expect.For(f)});
        }
    }
    for (const Special& s : op.specials) rows.push_back(Row{&op, s.what, s.rules, false, s.expected});
    if (op.takes_lock) {
        rows.push_back(Row{&op, "lock abandoned by a process that died holding it", {}, false,
                           op.statuses ? Code{FAXSTATUS_NO_DEVICE} : Code{FAXRESULT_NO_DEVICE}});
    }
    return rows;
}

Watchdog& TheWatchdog() {
    static Watchdog dog;
    return dog;
}

void FaultTable::RunRow(const Row& row) {
    ASSERT_NO_FATAL_FAILURE(FreshDevice());
    FreshCaller();
    if (row.Abandoned()) {
        LockHolder holder;
        ASSERT_EQ(holder.Start("abandon"), "locked");
        holder.Wait();
    } else {
        for (const Rule& r : row.rules) fw().script().Add(r);
    }

    TheWatchdog().Arm(std::string(row.op->name) + " / " + row.what);
    const Code got = Run(row);
    TheWatchdog().Disarm();

    EXPECT_EQ(CodeName(row.op->statuses, got), CodeName(row.op->statuses, row.expected));
    EXPECT_EQ(fw().script().Pending(), 0u) << "the scripted fault happened";
    row.op->check(*this, row, got);
    if (row.Abandoned()) {
        EXPECT_EQ(fw().traffic().FaxConnectionsOpened(), 0u) << "nothing reaches the device";
    }

    // Afterwards: the lock is free, the device is in step and answers the
    // next operation, and no request the library sent was malformed.
    EXPECT_TRUE(LockIsFree());
    std::uint32_t value = 0;
    EXPECT_EQ(DeviceGetFaxReceiveSettings(&value), FAXRESULT_OK);
    EXPECT_EQ(value, kReceiveValue);
    EXPECT_EQ(fw().traffic().ProtocolErrors(), 0u);
    EXPECT_EQ(fw().traffic().Interleavings(), 0u);
    if (row.op->ews) {
        Ref<IIUSBEWS> ews;
        ASSERT_EQ(CreateObject(CLSID_IUSBEWS, IID_IIUSBEWS, ews), S_OK);
        FAXSTATUS s = FAXSTATUS_CMD_FAIL;
        ews->OpenEWS(&s);
        unsigned char get[] = "GET / HTTP/1.1\r\n\r\n";
        int n = 0;
        ews->WriteEWS(get, sizeof(get) - 1, &n, &s);
        unsigned char head[12] = {};
        ews->ReadEWS(head, sizeof(head), &n, &s);
        EXPECT_EQ(s, FAXSTATUS_OK);
        EXPECT_EQ(std::string(head, head + 12), "HTTP/1.1 200");
    }
}

TEST_P(FaultTable, EveryExchangeEveryFault) {
    const Operation& op = TheOperations()[GetParam()];
    const std::vector<Row> rows = RowsOf(op);
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(op.name) + " / " + row.what);
        RunRow(row);
        if (HasFatalFailure()) return;
    }
    RecordProperty("rows", static_cast<int>(rows.size()));
    std::printf("%s: %zu rows\n", op.name, rows.size());
}

INSTANTIATE_TEST_SUITE_P(Operations, FaultTable, ::testing::Range<std::size_t>(0, TheOperations().size()),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                             std::string name = TheOperations()[info.param].name;
                             name.erase(std::remove_if(name.begin(), name.end(),
                                                       [](unsigned char c) { return !std::isalnum(c); }),
                                        name.end());
                             return name;
                         });

// A DataLength beyond what one read can carry is refused before anything is
// allocated for it, so the result does not depend on whether the machine could
// have given 2 or 4 GiB. The operations run in a child whose address space is
// limited to 1 GiB; the sanitizers' runtimes cannot live within such a limit.
#ifndef _WIN32
class HugeLengthTest : public SimTest {};

TEST_F(HugeLengthTest, NothingIsAllocatedForIt) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "an address-space limit leaves the sanitizer's runtime no room";
#else
    for (std::uint32_t length : {0x80000010u, 0xFFFFFFF0u}) {
        fw().script().Clear();
        for (std::uint32_t command : {FAXCMD_LIST_RECEIVED, FAXCMD_READ_SETTINGS}) {
            Rule rule;
            rule.command = command;
            rule.stage = Stage::Reply;
            rule.fault = Fault::ReplyDataLength;
            rule.value = length;
            fw().script().Add(rule);
        }
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const rlimit limit = {1u << 30, 1u << 30};
            if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(100);
            std::uint32_t count = 0;
            DEFAULT_FAX_SETTINGS settings;
            const FAXRESULT list = DeviceGetReceivedFaxCount(&count);
            const FAXRESULT read = DeviceReadFaxSettings(&settings);
            _exit(list * 16 + read);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status) / 16, FAXRESULT_READ) << std::hex << length << ": the list";
        EXPECT_EQ(WEXITSTATUS(status) % 16, FAXRESULT_BADREPLY) << std::hex << length << ": the settings";
    }
#endif
}
#endif  // the address-space limit is a POSIX one

}  // namespace
