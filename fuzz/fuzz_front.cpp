// The fuzzing front: a fax device on a Unix socket, reached through the
// library's real channel layer, answering with the bytes a fuzz input gives.
#include "fuzz/fuzz_front.h"

#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "base/channel_frame.h"
#include "platform/named_mutex.h"
#include "transport/fax_device.h"

namespace fuzz {
namespace {

constexpr std::size_t kFrame = wire::kRequestFrameSize;
constexpr std::size_t kCompletionFrame = wire::kCompletionFrameSize;
// The first request on a connection with this kind is Settle's, not the
// host's (whose kinds are 1 to 3).
constexpr std::uint32_t kSettleKind = 0x53455454;
// A request carrying more than this is not one the library makes here.
constexpr std::uint32_t kMaxRequestBytes = 64u << 20;

bool RecvAll(int fd, void* buf, std::size_t len) {
    auto* p = static_cast<std::uint8_t*>(buf);
    while (len > 0) {
        const ssize_t n = recv(fd, p, len, MSG_WAITALL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

bool SendAll(int fd, const void* buf, std::size_t len) {
    const auto* p = static_cast<const std::uint8_t*>(buf);
    while (len > 0) {
        const ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

sockaddr_un Address(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) Violated("socket path too long");
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return addr;
}

int Connect(const std::string& path) {
    const sockaddr_un addr = Address(path);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0)
        Violated("cannot connect to the fuzzing front");
    return fd;
}

}  // namespace

[[noreturn]] void Violated(const char* what) {
    std::fprintf(stderr, "tessaline fuzz: invariant violated: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

Front& TheFront() {
    static Front front;
    static bool started = [] {
        front.Start();
        return true;
    }();
    (void)started;
    return front;
}

Front::~Front() {
    if (thread_.joinable()) {
        stop_ = true;
        close(Connect(socket_path_));  // wakes the accept
        thread_.join();
    }
    if (listener_ >= 0) close(listener_);
    lock_.reset();
    if (!lock_name_.empty()) shm_unlink(("/" + lock_name_).c_str());
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

void Front::Start() {
    char templ[] = "/tmp/tessaline-fuzz-XXXXXX";
    if (!mkdtemp(templ)) Violated("cannot create the front's directory");
    dir_ = templ;
    socket_path_ = dir_ + "/device";
    lock_name_ = "tessaline-fuzz-lock-" + std::to_string(getpid());
    setenv("TESSALINE_FAX_DEVICE", socket_path_.c_str(), 1);
    setenv("TESSALINE_EWS_DEVICE", socket_path_.c_str(), 1);
    setenv("TESSALINE_LOCK_NAME", lock_name_.c_str(), 1);
    setenv("TESSALINE_DIAGNOSTICS", "none", 1);

    const sockaddr_un addr = Address(socket_path_);
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0 || bind(listener_, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(listener_, 16) != 0) {
        Violated("cannot listen on the front's socket");
    }
    lock_ = plat::OpenNamedMutex(kAccessLockName);
    if (!lock_.is_open()) Violated("cannot open the access lock");
    thread_ = std::thread([this] { Serve(); });
}

void Front::Serve() {
    while (!stop_.load()) {
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;
        }
        if (stop_.load()) {
            close(fd);
            return;
        }
        ServeConnection(fd);
        close(fd);
    }
}

void Front::ServeConnection(int fd) {
    Responder* responder = responder_.load(std::memory_order_acquire);
    bool counted = false;
    auto count = [&] {
        counted = true;
        ++connections_;
        if (responder) responder->Connected();
    };
    std::uint8_t frame[kFrame];
    while (RecvAll(fd, frame, sizeof(frame))) {
        Request request;
        const wire::RequestFrame header = wire::DecodeRequest(frame);
        request.kind = header.kind;
        request.code = header.code;
        request.in_len = header.in_len;
        request.out_len = header.out_len;
        if (!counted && request.kind == kSettleKind) {
            // Every earlier connection is closed and served: report whether
            // the access lock is free, as seen from another thread.
            const plat::MutexWait wait = plat::WaitNamedMutex(lock_, 0);
            if (wait == plat::MutexWait::Acquired || wait == plat::MutexWait::Abandoned) plat::ReleaseNamedMutex(lock_);
            std::uint8_t reply[kCompletionFrame] = {};
            wire::EncodeCompletion(reply, {wait == plat::MutexWait::Acquired ? 0u : 1u, connections_.exchange(0)});
            // Publishes what the responder recorded to the thread that settles.
            settles_.fetch_add(1, std::memory_order_release);
            SendAll(fd, reply, sizeof(reply));
            return;
        }
        if (!counted) count();
        if (request.in_len > kMaxRequestBytes) break;
        buffer_.resize(request.in_len);
        if (request.in_len > 0 && !RecvAll(fd, buffer_.data(), request.in_len)) break;
        request.in = buffer_.data();

        Completion c;
        if (responder) {
            c = responder->Answer(request);
        } else {
            c.action = Completion::Fail;
            c.error = 31;
        }
        if (c.action == Completion::Drop) break;
        std::uint8_t done[kCompletionFrame];
        const bool write = request.kind == kWrite;
        const std::uint32_t error = c.action == Completion::Fail ? (c.error ? c.error : 31) : 0;
        std::uint32_t moved =
            c.action == Completion::Fail ? 0 : write ? c.count : static_cast<std::uint32_t>(c.data.size());
        if (c.action == Completion::Overstate) {
            moved = (write ? request.in_len : request.out_len) + 1;
            c.data.clear();
        }
        wire::EncodeCompletion(done, {error, moved});
        if (!SendAll(fd, done, sizeof(done))) break;
        if (!c.data.empty() && !SendAll(fd, c.data.data(), c.data.size())) break;
    }
    if (!counted) count();  // a connection closed before its first request
    if (responder) responder->Closed();
}

bool Front::Settle() {
    const int fd = Connect(socket_path_);
    std::uint8_t frame[kFrame];
    wire::EncodeRequest(frame, {kSettleKind, 0, 0, 0});
    std::uint8_t reply[kCompletionFrame];
    if (!SendAll(fd, frame, sizeof(frame)) || !RecvAll(fd, reply, sizeof(reply))) Violated("the front did not settle");
    close(fd);
    settles_.load(std::memory_order_acquire);
    const wire::CompletionFrame settled = wire::DecodeCompletion(reply);
    settled_connections_ = settled.count;
    return settled.error == 0;
}

}  // namespace fuzz
