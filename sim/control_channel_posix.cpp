// The control channel on POSIX: a Unix socket in the device directory,
// served by a thread of its own with poll, one request and one reply per
// connection.
#include "sim/control_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <list>
#include <optional>
#include <thread>

#include "sim/sim_device.h"

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

// A client that takes longer than this to send its request or take its
// reply is dropped; so are clients beyond this many at once.
constexpr auto kClientTime = std::chrono::seconds(30);
constexpr std::size_t kMaxClients = 16;

struct Client {
    int fd = -1;
    Bytes in;
    Bytes out;
    std::size_t out_pos = 0;
    Clock::time_point deadline;
    bool done = false;
};

}  // namespace

std::string ControlEndpoint(const std::string& dir, const std::string& name) { return dir + "/" + name + ".ctl"; }

struct ControlServer::Impl {
    ControlService& service;
    std::string path;
    int listener = -1;
    int stop_fd = -1;
    std::thread thread;

    explicit Impl(ControlService& s) : service(s) {}

    void Run() {
        std::list<Client> clients;
        std::vector<pollfd> fds;
        for (;;) {
            fds.clear();
            fds.push_back({stop_fd, POLLIN, 0});
            fds.push_back({listener, static_cast<short>(clients.size() < kMaxClients ? POLLIN : 0), 0});
            for (Client& c : clients) fds.push_back({c.fd, static_cast<short>(c.out.empty() ? POLLIN : POLLOUT), 0});
            if (poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) return;
            if (fds[0].revents & POLLIN) break;
            if (fds[1].revents & POLLIN) {
                const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (fd >= 0) clients.push_back({fd, {}, {}, 0, Clock::now() + kClientTime, false});
            }
            std::size_t i = 2;
            for (Client& c : clients) {
                if (i >= fds.size()) break;
                const short ev = fds[i++].revents;
                if (ev & POLLIN) Take(c);
                else if (ev & POLLOUT) Give(c);
                else if (ev & (POLLHUP | POLLERR)) c.done = true;
                if (Clock::now() > c.deadline) c.done = true;
            }
            clients.remove_if([](Client& c) {
                if (c.done) close(c.fd);
                return c.done;
            });
        }
        for (Client& c : clients) close(c.fd);
    }

    // Reads what the client sent; once a whole request is there, answers it.
    void Take(Client& c) {
        std::uint8_t buf[65536];
        for (;;) {
            const ssize_t n = recv(c.fd, buf, sizeof(buf), 0);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            if (n <= 0) {
                c.done = true;  // gone, or closed before its request was whole
                return;
            }
            c.in.insert(c.in.end(), buf, buf + n);
            std::uint32_t length = 0;
            if (c.in.size() >= 4 && !ctl::MessageLength(c.in.data(), length)) {
                c.done = true;  // more than any request can be
                return;
            }
            if (c.in.size() > 4 + static_cast<std::size_t>(length) && c.in.size() >= 4) {
                c.done = true;  // bytes after the request: not a client of this channel
                return;
            }
            if (c.in.size() >= 4 && c.in.size() == 4 + static_cast<std::size_t>(length)) {
                c.out = service.Handle(Bytes(c.in.begin() + 4, c.in.end()));
                Bytes().swap(c.in);
                Give(c);
                return;
            }
        }
    }

    void Give(Client& c) {
        while (c.out_pos < c.out.size()) {
            const ssize_t n = send(c.fd, c.out.data() + c.out_pos, c.out.size() - c.out_pos, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            if (n <= 0) break;
            c.out_pos += static_cast<std::size_t>(n);
        }
        c.done = true;  // the whole reply went, or the client is gone
    }
};

ControlServer::ControlServer(ControlService& service) : service_(service) {}

ControlServer::~ControlServer() { Stop(); }

bool ControlServer::Start(const std::string& endpoint, long group) {
    if (impl_) return true;
    auto impl = std::make_unique<Impl>(service_);
    impl->path = endpoint;
    std::optional<gid_t> share;
    if (group >= 0) share = static_cast<gid_t>(group);
    if (!ListenPrivately(endpoint, share, impl->listener, error_)) return false;
    impl->stop_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (impl->stop_fd < 0) {
        error_ = std::string("eventfd: ") + std::strerror(errno);
        close(impl->listener);
        unlink(endpoint.c_str());
        return false;
    }
    Impl* raw = impl.get();
    impl->thread = std::thread([raw] { raw->Run(); });
    impl_ = std::move(impl);
    return true;
}

void ControlServer::Stop() {
    if (!impl_) return;
    std::uint64_t one = 1;
    ssize_t ignored = write(impl_->stop_fd, &one, sizeof(one));
    (void)ignored;
    if (impl_->thread.joinable()) impl_->thread.join();
    close(impl_->listener);
    close(impl_->stop_fd);
    unlink(impl_->path.c_str());
    impl_.reset();
}

ctl::Reach ControlExchange(const std::string& endpoint, const Bytes& request, Bytes& reply, std::string& error) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (endpoint.size() >= sizeof(addr.sun_path)) {
        error = "the path is too long for a socket";
        return ctl::Reach::NoDevice;
    }
    std::memcpy(addr.sun_path, endpoint.c_str(), endpoint.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return ctl::Reach::Failed;
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        error = std::strerror(errno);
        close(fd);
        return ctl::Reach::NoDevice;
    }
    std::size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = std::strerror(errno);
            close(fd);
            return ctl::Reach::Failed;
        }
        sent += static_cast<std::size_t>(n);
    }
    // The reply: its length, then its body.
    Bytes in;
    std::uint32_t length = 0;
    bool known = false;
    std::uint8_t buf[65536];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int rc = poll(&p, 1, 60000);
        if (rc < 0 && errno == EINTR) continue;
        if (rc == 0) {
            error = "no reply within 60 s";
            break;
        }
        const ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n == 0 ? "the connection closed before the reply was whole" : std::strerror(errno);
            break;
        }
        in.insert(in.end(), buf, buf + n);
        if (!known && in.size() >= 4) {
            if (!ctl::MessageLength(in.data(), length)) {
                error = "a reply longer than any can be";
                break;
            }
            known = true;
        }
        if (known && in.size() >= 4 + static_cast<std::size_t>(length)) {
            close(fd);
            reply.assign(in.begin() + 4, in.begin() + 4 + length);
            return ctl::Reach::Ok;
        }
    }
    close(fd);
    return ctl::Reach::Failed;
}

}  // namespace sim
