// The sockets of `tessaline web` on a POSIX system.
#include "tools/web_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace web {
namespace {

void SetTimeout(int fd, int option, int ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    setsockopt(fd, SOL_SOCKET, option, &tv, sizeof(tv));
}

}  // namespace

Socket::~Socket() {
    if (handle_ != -1) close(static_cast<int>(handle_));
}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        if (handle_ != -1) close(static_cast<int>(handle_));
        handle_ = other.handle_;
        other.handle_ = -1;
    }
    return *this;
}

bool StartSockets(std::string&) { return true; }

bool Listen(const std::string& address, std::uint16_t port, Socket& out, std::string& error) {
    sockaddr_storage ss{};
    socklen_t len = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&ss);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&ss);
    if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        len = sizeof(*v4);
    } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        len = sizeof(*v6);
    } else {
        error = address + " is not a numeric IPv4 or IPv6 address";
        return false;
    }
    Socket s(socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s.Valid()) {
        error = std::strerror(errno);
        return false;
    }
    const int on = 1;
    setsockopt(static_cast<int>(s.Handle()), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (ss.ss_family == AF_INET6) setsockopt(static_cast<int>(s.Handle()), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
    if (bind(static_cast<int>(s.Handle()), reinterpret_cast<sockaddr*>(&ss), len) != 0 ||
        listen(static_cast<int>(s.Handle()), 64) != 0) {
        error = std::strerror(errno);
        return false;
    }
    out = std::move(s);
    return true;
}

std::uint16_t LocalPort(const Socket& s) {
    sockaddr_storage ss{};
    socklen_t len = sizeof(ss);
    if (getsockname(static_cast<int>(s.Handle()), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
    return ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                                          : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

bool IsLoopback(const std::string& address) {
    in_addr a4{};
    in6_addr a6{};
    if (inet_pton(AF_INET, address.c_str(), &a4) == 1) return (ntohl(a4.s_addr) >> 24) == 127;
    return inet_pton(AF_INET6, address.c_str(), &a6) == 1 && IN6_IS_ADDR_LOOPBACK(&a6);
}

int WaitForConnection(const std::vector<const Socket*>& listeners, int ms) {
    std::vector<pollfd> fds;
    for (const Socket* s : listeners) fds.push_back({static_cast<int>(s->Handle()), POLLIN, 0});
    if (poll(fds.data(), fds.size(), ms) <= 0) return -1;
    for (std::size_t i = 0; i < fds.size(); ++i)
        if (fds[i].revents & POLLIN) return static_cast<int>(i);
    return -1;
}

Socket Accept(const Socket& listener, int send_ms, int receive_ms) {
    const int fd = accept4(static_cast<int>(listener.Handle()), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return Socket();
    // A response goes out in pieces as the device gives them: none may wait
    // for the browser's acknowledgement of the one before.
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    SetTimeout(fd, SO_SNDTIMEO, send_ms);
    SetTimeout(fd, SO_RCVTIMEO, receive_ms);
    return Socket(fd);
}

long Receive(const Socket& s, void* data, std::size_t size) {
    for (;;) {
        const ssize_t n = recv(static_cast<int>(s.Handle()), data, size, 0);
        if (n >= 0) return static_cast<long>(n);
        if (errno != EINTR) return -1;
    }
}

bool SendAll(const Socket& s, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        // MSG_NOSIGNAL: a browser that went away is an error here, not a
        // signal that ends the process.
        const ssize_t n = send(static_cast<int>(s.Handle()), p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void Shutdown(const Socket& s) { shutdown(static_cast<int>(s.Handle()), SHUT_RDWR); }

void ShutdownSend(const Socket& s, int receive_ms) {
    shutdown(static_cast<int>(s.Handle()), SHUT_WR);
    SetTimeout(static_cast<int>(s.Handle()), SO_RCVTIMEO, receive_ms);
}

}  // namespace web
