// The simulated device behind named pipes on Windows: one pipe per channel,
// its requests handed to the firmware and their outcomes carried out.
#include "sim/pipe_device_win32.h"

#include <windows.h>

#include <atomic>
#include <list>
#include <thread>
#include <vector>

namespace sim {
namespace {

// Instances of each pipe waiting for a host at any time, so that a host that
// opens a second handle at once (a cancel beside a pending request) finds one.
constexpr int kListening = 4;
constexpr DWORD kPipeBuffer = 64 * 1024;
// The front takes everything the firmware has queued at once, and writes it
// into the pipe as one message: a host read of a header or a block then never
// finds only part of it there.
constexpr std::uint32_t kDrainAll = 0xFFFFFFFFu;

std::string PipePath(const std::string& name, const char* channel) {
    return "\\\\.\\pipe\\tessaline-" + name + "-" + channel;
}

HANDLE CreateInstance(const std::string& path, bool first) {
    const DWORD open_mode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    // Message type: each write of the host arrives as one message. The host
    // reads in byte mode, so what the front writes is a plain stream to it.
    return CreateNamedPipeA(path.c_str(), open_mode, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                            PIPE_UNLIMITED_INSTANCES, kPipeBuffer, kPipeBuffer, 0, nullptr);
}

// Waits for an overlapped operation started on `h`, or for `stop`. After a
// stop the operation is cancelled and reaped, and the result is false.
// Otherwise `moved` and `error` (0 on success) describe the completion.
bool Await(HANDLE h, OVERLAPPED& ov, BOOL started, HANDLE stop, DWORD& moved, DWORD& error) {
    moved = 0;
    error = started ? 0 : GetLastError();
    if (!started && error != ERROR_IO_PENDING && error != ERROR_MORE_DATA) return true;
    HANDLE waits[2] = {stop, ov.hEvent};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
        CancelIo(h);
        GetOverlappedResult(h, &ov, &moved, TRUE);
        return false;
    }
    error = GetOverlappedResult(h, &ov, &moved, FALSE) ? 0 : GetLastError();
    return true;
}

struct Connection {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    Channel channel = Channel::Fax;
    std::thread thread;
    std::atomic<bool> done{false};
};

struct Listening {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    OVERLAPPED ov{};
    Channel channel = Channel::Fax;
};

}  // namespace

struct PipeDevice::Front {
    Front(Firmware& fw, const std::string& fax_path, const std::string& ews_path) : fw_(fw) {
        paths_[0] = fax_path;
        paths_[1] = ews_path;
    }

    ~Front() { Stop(); }

    bool Start(std::string& error) {
        stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!stop_) {
            error = "CreateEvent failed";
            return false;
        }
        for (int i = 0; i < 2 * kListening; ++i) {
            Listening& l = slots_[i];
            l.channel = i < kListening ? Channel::Fax : Channel::Ews;
            const std::string& path = PathOf(l.channel);
            const bool first = i % kListening == 0;
            l.ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            l.pipe = CreateInstance(path, first);
            if (l.pipe == INVALID_HANDLE_VALUE || !l.ov.hEvent) {
                error = first && GetLastError() == ERROR_ACCESS_DENIED ? "a live device is already serving " + path
                                                                       : "cannot create " + path;
                return false;
            }
            if (!Arm(l)) {
                error = "cannot listen on " + path;
                return false;
            }
        }
        listener_ = std::thread([this] { Listen(); });
        return true;
    }

    void Stop() {
        if (stop_) SetEvent(stop_);
        if (listener_.joinable()) listener_.join();
        for (auto& c : connections_) {
            if (c->thread.joinable()) c->thread.join();
        }
        connections_.clear();
        for (Listening& l : slots_) {
            if (l.pipe != INVALID_HANDLE_VALUE) {
                CancelIo(l.pipe);
                DWORD ignored = 0;
                GetOverlappedResult(l.pipe, &l.ov, &ignored, TRUE);
                CloseHandle(l.pipe);
            }
            l.pipe = INVALID_HANDLE_VALUE;
            if (l.ov.hEvent) CloseHandle(l.ov.hEvent);
            l.ov.hEvent = nullptr;
        }
        if (stop_) CloseHandle(stop_);
        stop_ = nullptr;
    }

private:
    const std::string& PathOf(Channel c) const { return paths_[c == Channel::Fax ? 0 : 1]; }

    // Starts waiting for a host on the slot's instance.
    static bool Arm(Listening& l) {
        HANDLE event = l.ov.hEvent;
        ZeroMemory(&l.ov, sizeof(l.ov));
        l.ov.hEvent = event;
        ResetEvent(event);
        if (ConnectNamedPipe(l.pipe, &l.ov)) {
            SetEvent(event);
            return true;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_PIPE_CONNECTED) SetEvent(event);
        return error == ERROR_IO_PENDING || error == ERROR_PIPE_CONNECTED;
    }

    void Listen() {
        HANDLE waits[1 + 2 * kListening];
        waits[0] = stop_;
        for (int i = 0; i < 2 * kListening; ++i) waits[i + 1] = slots_[i].ov.hEvent;
        for (;;) {
            const DWORD r = WaitForMultipleObjects(1 + 2 * kListening, waits, FALSE, INFINITE);
            if (r == WAIT_OBJECT_0 || r > WAIT_OBJECT_0 + 2 * kListening) return;
            Listening& l = slots_[r - WAIT_OBJECT_0 - 1];
            DWORD ignored = 0;
            const bool connected = GetOverlappedResult(l.pipe, &l.ov, &ignored, FALSE) != FALSE;
            HANDLE pipe = l.pipe;
            // A fresh instance takes the slot before the host is served.
            l.pipe = CreateInstance(PathOf(l.channel), false);
            ResetEvent(l.ov.hEvent);
            if (l.pipe != INVALID_HANDLE_VALUE && !Arm(l)) {
                CloseHandle(l.pipe);
                l.pipe = INVALID_HANDLE_VALUE;
            }
            if (connected) {
                Reap();
                auto c = std::make_unique<Connection>();
                c->pipe = pipe;
                c->channel = l.channel;
                Connection* raw = c.get();
                connections_.push_back(std::move(c));
                raw->thread = std::thread([this, raw] { Serve(*raw); });
            } else {
                CloseHandle(pipe);
            }
        }
    }

    // Joins the threads of connections that have ended.
    void Reap() {
        for (auto it = connections_.begin(); it != connections_.end();) {
            if ((*it)->done.load()) {
                (*it)->thread.join();
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }

    bool WriteAll(HANDLE pipe, HANDLE event, const Bytes& data) {
        std::size_t done = 0;
        while (done < data.size()) {
            OVERLAPPED ov{};
            ov.hEvent = event;
            ResetEvent(event);
            const auto rest = static_cast<DWORD>(data.size() - done);
            const BOOL started = WriteFile(pipe, data.data() + done, rest, nullptr, &ov);
            DWORD moved = 0, error = 0;
            if (!Await(pipe, ov, started, stop_, moved, error) || error != 0 || moved == 0) return false;
            done += moved;
        }
        return true;
    }

    // Hands the host everything the firmware has queued for it, carrying out
    // the faults scripted for its reads: late (delay), never (stall: the
    // rest of the connection's answers are held back), or instead of an
    // answer the connection closed (drop, or a failed read, which a pipe
    // cannot report otherwise). False when the connection is to close.
    bool Drain(Connection& c, Firmware::SessionId session, HANDLE event, bool& stalled) {
        while (!stalled) {
            Outcome o = fw_.OnRead(session, kDrainAll);
            if (o.action == Outcome::Drop || o.action == Outcome::Fail) return false;
            if (o.action == Outcome::Stall) stalled = true;
            if (o.action != Outcome::Complete || o.data.empty()) return true;
            if (o.delay_ms > 0 && WaitForSingleObject(stop_, o.delay_ms) == WAIT_OBJECT_0) return false;
            Transfer t;
            t.connection = session;
            t.channel = c.channel;
            t.kind = Kind::Read;
            t.asked = static_cast<std::uint32_t>(o.data.size());
            t.out = o.data;
            t.completed = true;
            fw_.Record(std::move(t));
            if (!WriteAll(c.pipe, event, o.data)) return false;
        }
        return true;
    }

    void Serve(Connection& c) {
        const Firmware::SessionId session = fw_.Open(c.channel);
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        std::vector<std::uint8_t> buffer(kPipeBuffer);
        Bytes message;
        bool stalled = false;
        while (event) {
            OVERLAPPED ov{};
            ov.hEvent = event;
            ResetEvent(event);
            const BOOL started = ReadFile(c.pipe, buffer.data(), kPipeBuffer, nullptr, &ov);
            DWORD moved = 0, error = 0;
            if (!Await(c.pipe, ov, started, stop_, moved, error)) break;
            message.insert(message.end(), buffer.begin(), buffer.begin() + moved);
            if (error == ERROR_MORE_DATA) continue;  // the rest of the host's write follows
            if (error != 0) break;                   // the host has gone

            // One whole write of the host.
            const Outcome o = fw_.OnWrite(session, message.data(), static_cast<std::uint32_t>(message.size()));
            Transfer t;
            t.connection = session;
            t.channel = c.channel;
            t.kind = Kind::Write;
            t.in = std::move(message);
            t.error = o.action == Outcome::Fail ? o.error : 0;
            t.completed = o.action == Outcome::Complete;
            fw_.Record(std::move(t));
            message.clear();
            if (o.action == Outcome::Drop) break;
            if (o.action == Outcome::Stall) stalled = true;
            if (o.delay_ms > 0 && WaitForSingleObject(stop_, o.delay_ms) == WAIT_OBJECT_0) break;
            if (!Drain(c, session, event, stalled)) break;
        }
        fw_.Close(session);
        if (event) CloseHandle(event);
        DisconnectNamedPipe(c.pipe);
        CloseHandle(c.pipe);
        c.pipe = INVALID_HANDLE_VALUE;
        c.done = true;
    }

    Firmware& fw_;
    std::string paths_[2];
    HANDLE stop_ = nullptr;
    Listening slots_[2 * kListening];
    std::thread listener_;
    std::list<std::unique_ptr<Connection>> connections_;
};

PipeDevice::PipeDevice(std::string name)
    : fax_path_(PipePath(name, "fax")), ews_path_(PipePath(name, "ews")) {}

PipeDevice::~PipeDevice() { Stop(); }

bool PipeDevice::Start() {
    if (front_) return true;
    front_ = std::make_unique<Front>(firmware_, fax_path_, ews_path_);
    if (!front_->Start(error_)) {
        front_.reset();
        return false;
    }
    return true;
}

void PipeDevice::Stop() { front_.reset(); }

}  // namespace sim
