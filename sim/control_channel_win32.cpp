// The control channel on Windows: a named pipe that only this user can open,
// served by a thread of its own, one request and one reply per connection.
#include "sim/control_channel.h"

#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <string>
#include <thread>

#include "sim/json_text.h"

namespace sim {
namespace {

constexpr DWORD kPipeBuffer = 64 * 1024;
// A client that takes longer than this to send its request or take its
// reply is dropped, so that it cannot hold the channel.
constexpr DWORD kClientMs = 30000;

// A security descriptor whose only entry grants the user running this
// program full access: the pipe is its alone, as the device's sockets are on
// POSIX. Freed with LocalFree.
PSECURITY_DESCRIPTOR OwnerOnly() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::string buffer(size, '\0');
    PSECURITY_DESCRIPTOR sd = nullptr;
    char* sid = nullptr;
    if (size && GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
        ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid)) {
        const std::string sddl = std::string("D:P(A;;GA;;;") + sid + ")";
        ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr);
        LocalFree(sid);
    }
    CloseHandle(token);
    return sd;
}

// Waits for an overlapped operation on `h` to end, for `stop`, or for
// `timeout`; false (the operation cancelled) unless it ended, with `moved`
// bytes, successfully.
bool Finish(HANDLE h, OVERLAPPED& ov, BOOL started, HANDLE stop, DWORD timeout, DWORD& moved) {
    moved = 0;
    if (!started && GetLastError() != ERROR_IO_PENDING) return false;
    HANDLE waits[2] = {ov.hEvent, stop};
    if (WaitForMultipleObjects(stop ? 2 : 1, waits, FALSE, timeout) != WAIT_OBJECT_0) {
        CancelIo(h);
        GetOverlappedResult(h, &ov, &moved, TRUE);
        return false;
    }
    return GetOverlappedResult(h, &ov, &moved, FALSE) != 0;
}

// Reads exactly `size` bytes into `out`.
bool ReadExactly(HANDLE h, std::uint8_t* out, std::size_t size, HANDLE stop, DWORD timeout) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bool ok = ov.hEvent != nullptr;
    std::size_t done = 0;
    while (ok && done < size) {
        ResetEvent(ov.hEvent);
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 20));
        DWORD moved = 0;
        ok = Finish(h, ov, ReadFile(h, out + done, chunk, nullptr, &ov), stop, timeout, moved) && moved > 0;
        done += moved;
    }
    if (ov.hEvent) CloseHandle(ov.hEvent);
    return ok;
}

bool WriteExactly(HANDLE h, const Bytes& data, HANDLE stop, DWORD timeout) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bool ok = ov.hEvent != nullptr;
    std::size_t done = 0;
    while (ok && done < data.size()) {
        ResetEvent(ov.hEvent);
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size() - done, 1u << 20));
        DWORD moved = 0;
        ok = Finish(h, ov, WriteFile(h, data.data() + done, chunk, nullptr, &ov), stop, timeout, moved) && moved > 0;
        done += moved;
    }
    if (ov.hEvent) CloseHandle(ov.hEvent);
    return ok;
}

// One message from `h`: its body, without the length prefix.
bool ReadMessage(HANDLE h, Bytes& body, HANDLE stop, DWORD timeout) {
    std::uint8_t prefix[4];
    std::uint32_t length = 0;
    if (!ReadExactly(h, prefix, sizeof(prefix), stop, timeout) || !ctl::MessageLength(prefix, length)) return false;
    body.assign(length, 0);
    return length == 0 || ReadExactly(h, body.data(), length, stop, timeout);
}

}  // namespace

std::string ControlEndpoint(const std::string&, const std::string& name) {
    return name.empty() ? "\\\\.\\pipe\\tessaline-driver.ctl" : "\\\\.\\pipe\\tessaline-" + name + "-ctl";
}

struct ControlServer::Impl {
    ControlService& service;
    std::string path;
    HANDLE stop = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    HANDLE pipe = INVALID_HANDLE_VALUE;  // the instance waiting for a client
    std::thread thread;

    explicit Impl(ControlService& s) : service(s) {}
    ~Impl() {
        if (pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
        if (stop) CloseHandle(stop);
        if (sd) LocalFree(sd);
    }

    HANDLE Create(bool first) {
        SECURITY_ATTRIBUTES sa{sizeof(sa), sd, FALSE};
        return CreateNamedPipeA(path.c_str(),
                                PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                                PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                PIPE_UNLIMITED_INSTANCES, kPipeBuffer, kPipeBuffer, 0, &sa);
    }

    // Clients one after the other: a command takes the firmware's lock only
    // briefly, and the device's own pipes or driver are served elsewhere.
    void Run() {
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        while (ov.hEvent && pipe != INVALID_HANDLE_VALUE) {
            ResetEvent(ov.hEvent);
            DWORD ignored = 0;
            const BOOL connected = ConnectNamedPipe(pipe, &ov);
            const bool ready = (!connected && GetLastError() == ERROR_PIPE_CONNECTED) ||
                               Finish(pipe, ov, connected, stop, INFINITE, ignored);
            if (WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) break;
            Bytes request;
            if (ready && ReadMessage(pipe, request, stop, kClientMs)) {
                WriteExactly(pipe, service.Handle(request), stop, kClientMs);
                FlushFileBuffers(pipe);
            }
            DisconnectNamedPipe(pipe);
        }
        if (ov.hEvent) CloseHandle(ov.hEvent);
    }
};

ControlServer::ControlServer(ControlService& service) : service_(service) {}

ControlServer::~ControlServer() { Stop(); }

bool ControlServer::Start(const std::string& endpoint, long) {
    if (impl_) return true;
    auto impl = std::make_unique<Impl>(service_);
    impl->path = endpoint;
    impl->sd = OwnerOnly();
    impl->stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!impl->sd || !impl->stop) {
        error_ = "cannot make the control pipe's security descriptor";
        return false;
    }
    impl->pipe = impl->Create(true);
    if (impl->pipe == INVALID_HANDLE_VALUE) {
        error_ = GetLastError() == ERROR_ACCESS_DENIED ? "a live device is already serving " + endpoint
                                                       : "cannot create " + endpoint;
        return false;
    }
    Impl* raw = impl.get();
    impl->thread = std::thread([raw] { raw->Run(); });
    impl_ = std::move(impl);
    return true;
}

void ControlServer::Stop() {
    if (!impl_) return;
    SetEvent(impl_->stop);
    if (impl_->thread.joinable()) impl_->thread.join();
    impl_.reset();
}

ctl::Reach ControlExchange(const std::string& endpoint, const Bytes& request, Bytes& reply, std::string& error) {
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 50; ++attempt) {
        h = CreateFileA(endpoint.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, nullptr);
        if (h != INVALID_HANDLE_VALUE) break;
        const DWORD e = GetLastError();
        if (e != ERROR_PIPE_BUSY) {
            error = e == ERROR_FILE_NOT_FOUND ? std::string("no such pipe") : Cat("error ", std::to_string(e));
            return ctl::Reach::NoDevice;
        }
        // Another command is being answered: wait for the instance.
        WaitNamedPipeA(endpoint.c_str(), 1000);
    }
    if (h == INVALID_HANDLE_VALUE) {
        error = "the pipe stayed busy";
        return ctl::Reach::Failed;
    }
    const DWORD timeout = 60000;
    const bool ok = WriteExactly(h, request, nullptr, timeout) && ReadMessage(h, reply, nullptr, timeout);
    CloseHandle(h);
    if (!ok) {
        error = "the exchange broke off";
        return ctl::Reach::Failed;
    }
    return ctl::Reach::Ok;
}

}  // namespace sim
