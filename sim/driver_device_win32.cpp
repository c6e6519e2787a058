// The simulated device's user-mode service on Windows: attaches to the
// driver's control interface, takes each host request the driver passes on
// (SIMCTL_NEXT), hands it to the simulated firmware as one transfer of a
// channel, and completes it with the firmware's answer (SIMCTL_COMPLETE).
// Holds no fax logic of its own; the firmware decides every answer.
#include "sim/driver_device_win32.h"

#include <windows.h>
#include <setupapi.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include <tessaline/device_interfaces_win32.h>

extern "C" {
#include "driver/sim_protocol.h"
}

// The driver passes a request's kind as the channel contract numbers it.
static_assert(SIM_MSG_READ == wire::kChannelRead && SIM_MSG_WRITE == wire::kChannelWrite &&
              SIM_MSG_CONTROL == wire::kChannelControl);

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

// SIMCTL_NEXT requests kept pending at once: while the service handles one
// message, the driver can hand out the next ones without waiting for it.
constexpr int kTakers = 4;
// Input bytes a message carries with it; a larger write is fetched.
constexpr std::uint32_t kTakerData = 64 * 1024;

constexpr std::uint32_t kStatusSuccess = 0;
constexpr std::uint32_t kStatusCancelled = 0xC0000120;       // ERROR_OPERATION_ABORTED
constexpr std::uint32_t kStatusUnsuccessful = 0xC0000001;    // ERROR_GEN_FAILURE
constexpr std::uint32_t kStatusInvalidRequest = 0xC0000010;  // ERROR_INVALID_FUNCTION
constexpr std::uint32_t kStatusInvalidParameter = 0xC000000D;
constexpr std::uint32_t kStatusNotConnected = 0xC000009D;    // ERROR_DEVICE_NOT_CONNECTED

// The completion status that makes the host's request fail with the
// system error `error`. Any other error travels as 0xC001xxxx, which the
// system turns back into the error itself.
std::uint32_t StatusOf(std::uint32_t error) {
    switch (error) {
        case 0: return kStatusSuccess;
        case kErrorCancelled: return kStatusCancelled;
        case kErrorGenFailure: return kStatusUnsuccessful;
        case kErrorInvalidFunction: return kStatusInvalidRequest;
        case kErrorInvalidParameter: return kStatusInvalidParameter;
        default: return 0xC0010000u | (error & 0xFFFFu);
    }
}

// A host request the service has taken and not answered yet.
struct Request {
    std::uint64_t id = 0;
    Kind kind = Kind::Read;
    std::uint32_t code = 0;
    std::uint32_t out_length = 0;
    Bytes in;
};

// A host's handle on a channel and the requests it has outstanding, the
// first of them in hand.
struct HostFile {
    Channel channel = Channel::Fax;
    Firmware::SessionId session = 0;
    bool dead = false;          // the firmware dropped the connection
    bool busy = false;          // the first request is in hand
    bool stalled = false;       // ... and only a cancel or cleanup ends it
    bool delayed = false;       // ... and completes at `due`
    Clock::time_point due;
    Outcome ready;
    Transfer record;
    std::deque<Request> queue;
};

struct Taker {
    OVERLAPPED ov{};
    bool issued = false;  // a request is outstanding on `ov`
    std::vector<std::uint8_t> buffer;
};

}  // namespace

const plat::InterfaceClass kControlInterfaceClass = SIM_CONTROL_INTERFACE_INIT;

std::string FirstPresentInterface(const plat::InterfaceClass& cls) {
    // The walk that discovery makes, without its messages.
    std::string path;
    tessaline::WalkDeviceInterfaces(
        cls,
        [&](DWORD, const char* found, std::size_t available) {
            path.assign(found, strnlen(found, available));
            return false;
        },
        [](DWORD, tessaline::InterfaceStep, DWORD) {});
    return path;
}

struct DriverDevice::Service {
    explicit Service(Firmware& fw) : fw_(fw) {}
    ~Service() { Stop(); }

    bool Start(unsigned wait_ms, std::string& error) {
        const auto until = Clock::now() + std::chrono::milliseconds(wait_ms);
        std::string path;
        for (;;) {
            path = FirstPresentInterface(kControlInterfaceClass);
            if (!path.empty() || Clock::now() >= until) break;
            Sleep(100);
        }
        if (path.empty()) {
            error = "the simulated device's driver is not loaded (no control interface)";
            return false;
        }
        control_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (control_ == INVALID_HANDLE_VALUE) {
            error = "cannot open the driver's control interface " + path;
            return false;
        }
        io_event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        // The wake-up event is shared with the firmware's wake-up call, which
        // another thread may have taken just before Stop withdraws it: the
        // event lives until the last copy of that call is gone.
        wake_owner_.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr), [](void* h) {
            if (h) CloseHandle(h);
        });
        wake_ = wake_owner_.get();
        if (!io_event_ || !stop_ || !wake_) {
            error = "CreateEvent failed";
            return false;
        }
        DWORD status = 0;
        if (!Call(SIMCTL_ATTACH, nullptr, 0, nullptr, 0, nullptr, &status)) {
            error = status == ERROR_BUSY ? "another service already serves the simulated device's driver"
                                         : "the driver refused the service (error " + std::to_string(status) + ")";
            return false;
        }
        for (Taker& t : takers_) {
            t.buffer.resize(sizeof(SIM_MESSAGE) + kTakerData);
            t.ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            if (!t.ov.hEvent || !Issue(t)) {
                error = "cannot take requests from the driver";
                Call(SIMCTL_DETACH, nullptr, 0, nullptr, 0, nullptr, nullptr);
                return false;
            }
        }
        fw_.SetWakeup([wake = wake_owner_] { SetEvent(wake.get()); });
        thread_ = std::thread([this] { Run(); });
        return true;
    }

    void Stop() {
        if (thread_.joinable()) {
            SetEvent(stop_);
            thread_.join();
        }
        fw_.SetWakeup(nullptr);
        if (control_ != INVALID_HANDLE_VALUE) {
            // Detaching fails every pending host request and ends the
            // service's own; then the handle can close.
            Call(SIMCTL_DETACH, nullptr, 0, nullptr, 0, nullptr, nullptr);
            CancelIo(control_);
            for (Taker& t : takers_) {
                if (!t.ov.hEvent) continue;
                DWORD ignored = 0;
                if (t.issued) GetOverlappedResult(control_, &t.ov, &ignored, TRUE);
                t.issued = false;
            }
            CloseHandle(control_);
            control_ = INVALID_HANDLE_VALUE;
        }
        for (Taker& t : takers_) {
            if (t.ov.hEvent) CloseHandle(t.ov.hEvent);
            t.ov.hEvent = nullptr;
        }
        for (auto& [id, file] : files_) {
            if (!file.dead) fw_.Close(file.session);
        }
        files_.clear();
        for (HANDLE* h : {&io_event_, &stop_}) {
            if (*h) CloseHandle(*h);
            *h = nullptr;
        }
        wake_ = nullptr;
        wake_owner_.reset();
    }

private:
    // One control request on the service's handle, awaited. `error`
    // receives the system error of a failure.
    bool Call(DWORD code, const void* in, DWORD in_length, void* out, DWORD out_length, DWORD* moved,
              DWORD* error) {
        OVERLAPPED ov{};
        ov.hEvent = io_event_;
        ResetEvent(io_event_);
        DWORD n = 0;
        BOOL ok = DeviceIoControl(control_, code, const_cast<void*>(in), in_length, out, out_length, &n, &ov);
        if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(control_, &ov, &n, TRUE);
        if (error) *error = ok ? 0 : GetLastError();
        if (moved) *moved = n;
        return ok != FALSE;
    }

    bool Issue(Taker& t) {
        HANDLE event = t.ov.hEvent;
        std::memset(&t.ov, 0, sizeof(t.ov));
        t.ov.hEvent = event;
        ResetEvent(event);
        const BOOL ok = DeviceIoControl(control_, SIMCTL_NEXT, nullptr, 0, t.buffer.data(),
                                        static_cast<DWORD>(t.buffer.size()), nullptr, &t.ov);
        t.issued = ok || GetLastError() == ERROR_IO_PENDING;
        if (ok) SetEvent(event);
        return t.issued;
    }

    void Run() {
        // The driver hands messages to the takers in the order they were
        // issued, so they are awaited in that order too.
        std::size_t next = 0;
        for (;;) {
            HANDLE waits[3] = {stop_, wake_, takers_[next].ov.hEvent};
            const DWORD r = WaitForMultipleObjects(3, waits, FALSE, Timeout());
            if (r == WAIT_OBJECT_0) return;
            if (r == WAIT_OBJECT_0 + 2) {
                Taker& t = takers_[next];
                DWORD moved = 0;
                const bool ok = GetOverlappedResult(control_, &t.ov, &moved, FALSE) != FALSE;
                if (!ok) return;  // detached: the driver ended the service's requests
                if (moved >= sizeof(SIM_MESSAGE)) Handle(t.buffer.data(), moved);
                if (!Issue(t)) return;
                next = (next + 1) % kTakers;
            }
            FireTimers();
            RetryPending();
        }
    }

    DWORD Timeout() const {
        DWORD best = INFINITE;
        const auto now = Clock::now();
        for (const auto& [id, f] : files_) {
            if (!f.delayed) continue;
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(f.due - now).count();
            const DWORD t = ms < 0 ? 0 : static_cast<DWORD>(ms + 1);
            if (t < best) best = t;
        }
        return best;
    }

    HostFile& FileOf(std::uint64_t id, std::uint32_t channel) {
        auto it = files_.find(id);
        if (it != files_.end()) return it->second;
        HostFile& f = files_[id];
        f.channel = channel == SIM_CHANNEL_EWS ? Channel::Ews : Channel::Fax;
        f.session = fw_.Open(f.channel);
        return f;
    }

    void Handle(const std::uint8_t* buffer, DWORD size) {
        SIM_MESSAGE m;
        std::memcpy(&m, buffer, sizeof(m));
        switch (m.kind) {
            case SIM_MSG_OPEN:
                FileOf(m.file, m.channel);
                return;
            case SIM_MSG_CLEANUP: {
                auto it = files_.find(m.file);
                if (it == files_.end()) return;
                HostFile& f = it->second;
                if (f.busy) Unanswered(f);
                if (!f.dead) fw_.Close(f.session);
                files_.erase(it);
                return;
            }
            case SIM_MSG_CANCELLED:
                Cancelled(m.file, m.request);
                return;
            case SIM_MSG_READ:
            case SIM_MSG_WRITE:
            case SIM_MSG_CONTROL:
                break;
            default:
                return;
        }
        Request q;
        q.id = m.request;
        q.kind = static_cast<Kind>(m.kind);
        q.code = m.code;
        q.out_length = m.out_length;
        const std::uint32_t included = std::min<std::uint32_t>(m.included, size - sizeof(SIM_MESSAGE));
        q.in.assign(buffer + sizeof(SIM_MESSAGE), buffer + sizeof(SIM_MESSAGE) + included);
        if (m.kind != SIM_MSG_READ && q.in.size() < m.in_length && !FetchRest(q, m.in_length)) return;
        HostFile& f = FileOf(m.file, m.channel);
        if (f.dead) {
            Answer(q.id, kStatusNotConnected, 0, nullptr, 0);
            return;
        }
        f.queue.push_back(std::move(q));
        Dispatch(f);
    }

    // Takes the input of a request larger than its message.
    bool FetchRest(Request& q, std::uint32_t total) {
        const std::size_t had = q.in.size();
        q.in.resize(total);
        std::size_t have = had;
        while (have < total) {
            SIM_FETCH f{};
            f.request = q.id;
            f.offset = static_cast<unsigned>(have);
            DWORD moved = 0;
            if (!Call(SIMCTL_FETCH, &f, sizeof(f), q.in.data() + have, static_cast<DWORD>(total - have), &moved,
                      nullptr) ||
                moved == 0)
                return false;  // the host's request is gone
            have += moved;
        }
        return true;
    }

    void Answer(std::uint64_t request, std::uint32_t status, std::uint32_t information, const std::uint8_t* data,
                std::size_t size) {
        completion_.resize(sizeof(SIM_COMPLETION) + size);
        SIM_COMPLETION c{};
        c.request = request;
        c.status = status;
        c.information = information;
        std::memcpy(completion_.data(), &c, sizeof(c));
        if (size) std::memcpy(completion_.data() + sizeof(c), data, size);
        // A request the host has cancelled meanwhile is not found: nothing to do.
        Call(SIMCTL_COMPLETE, completion_.data(), static_cast<DWORD>(completion_.size()), nullptr, 0, nullptr,
             nullptr);
    }

    // Completes the file's first request and goes on with the next.
    void Complete(HostFile& f, std::uint32_t error, std::uint32_t count, const Bytes& data) {
        const Request& q = f.queue.front();
        f.record.error = error;
        if (fw_.traffic().Recording()) f.record.out = data;
        f.record.completed = true;
        fw_.Record(std::move(f.record));
        f.record = Transfer{};
        const bool with_data = q.kind != Kind::Write && error == 0;
        Answer(q.id, StatusOf(error), q.kind == Kind::Write ? count : 0, with_data ? data.data() : nullptr,
               with_data ? data.size() : 0);
        f.queue.pop_front();
        f.busy = f.stalled = f.delayed = false;
    }

    // The file's first request ends without an answer from the firmware.
    void Unanswered(HostFile& f) {
        f.record.completed = false;
        fw_.Record(std::move(f.record));
        f.record = Transfer{};
        f.busy = f.stalled = f.delayed = false;
    }

    void Cancelled(std::uint64_t file, std::uint64_t request) {
        auto it = files_.find(file);
        if (it == files_.end()) return;
        HostFile& f = it->second;
        for (auto q = f.queue.begin(); q != f.queue.end(); ++q) {
            if (q->id != request) continue;
            const bool first = q == f.queue.begin() && f.busy;
            if (first) Unanswered(f);
            f.queue.erase(q);
            if (first) Dispatch(f);
            return;
        }
    }

    void Dispatch(HostFile& f) {
        while (!f.busy && !f.queue.empty() && !f.dead) {
            Request& q = f.queue.front();
            f.busy = true;
            f.record = Transfer{};
            f.record.connection = f.session;
            f.record.channel = f.channel;
            f.record.kind = q.kind;
            f.record.code = q.code;
            f.record.asked = q.out_length;
            if (q.kind == Kind::Control || fw_.traffic().Recording()) f.record.in = q.in;
            Outcome o;
            const auto len = static_cast<std::uint32_t>(q.in.size());
            if (q.kind == Kind::Write) {
                o = fw_.OnWrite(f.session, q.in.data(), len);
            } else if (q.kind == Kind::Read) {
                o = fw_.OnRead(f.session, q.out_length);
            } else {
                o = fw_.OnControl(f.session, q.code, q.in, q.out_length);
            }
            if (o.cancel_others) CancelOthers(f);
            Act(f, std::move(o));
        }
        if (f.dead) {
            while (!f.queue.empty()) {
                Answer(f.queue.front().id, kStatusNotConnected, 0, nullptr, 0);
                f.queue.pop_front();
            }
        }
    }

    void Act(HostFile& f, Outcome o) {
        switch (o.action) {
            case Outcome::Complete:
                if (o.delay_ms > 0) {
                    f.delayed = true;
                    f.due = Clock::now() + std::chrono::milliseconds(o.delay_ms);
                    f.ready = std::move(o);
                } else {
                    Complete(f, 0, o.count, o.data);
                }
                break;
            case Outcome::Fail:
                Complete(f, o.error, 0, {});
                break;
            case Outcome::Drop:
                // The connection is gone: this request and every later one
                // on the handle fail, unanswered by the firmware.
                Answer(f.queue.front().id, kStatusNotConnected, 0, nullptr, 0);
                Unanswered(f);
                f.queue.pop_front();
                fw_.Close(f.session);
                f.dead = true;
                break;
            case Outcome::Stall:
                f.stalled = true;
                break;
            case Outcome::Pend:
                break;
        }
    }

    // IOCTL_CANCEL_IO: every request pending on another handle of the fax
    // channel completes with ERROR_OPERATION_ABORTED.
    void CancelOthers(const HostFile& self) {
        for (auto& [id, f] : files_) {
            if (&f == &self || f.channel != Channel::Fax) continue;
            if (f.busy) Complete(f, kErrorCancelled, 0, {});
            while (!f.queue.empty()) {
                Answer(f.queue.front().id, kStatusCancelled, 0, nullptr, 0);
                f.queue.pop_front();
            }
        }
    }

    void FireTimers() {
        const auto now = Clock::now();
        for (auto& [id, f] : files_) {
            if (!f.delayed || f.due > now) continue;
            Outcome o = std::move(f.ready);
            Complete(f, 0, o.count, o.data);
            Dispatch(f);
        }
    }

    void RetryPending() {
        for (auto& [id, f] : files_) {
            if (!f.busy || f.stalled || f.delayed || f.queue.empty()) continue;
            const Request& q = f.queue.front();
            if (auto o = fw_.RetryPending(f.session, q.kind, q.code, q.out_length)) {
                Complete(f, 0, o->count, o->data);
                Dispatch(f);
            }
        }
    }

    Firmware& fw_;
    HANDLE control_ = INVALID_HANDLE_VALUE;
    HANDLE io_event_ = nullptr;
    HANDLE stop_ = nullptr;
    HANDLE wake_ = nullptr;  // wake_owner_'s event
    std::shared_ptr<void> wake_owner_;
    Taker takers_[kTakers];
    std::map<std::uint64_t, HostFile> files_;
    std::vector<std::uint8_t> completion_;
    std::thread thread_;
};

DriverDevice::DriverDevice() = default;

DriverDevice::~DriverDevice() { Stop(); }

bool DriverDevice::Start(unsigned wait_ms) {
    if (service_) return true;
    service_ = std::make_unique<Service>(firmware_);
    if (!service_->Start(wait_ms, error_)) {
        service_.reset();
        return false;
    }
    return true;
}

void DriverDevice::Stop() { service_.reset(); }

}  // namespace sim
