// The sockets of `tessaline web` on Windows (Winsock 2).
#include "tools/web_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace web {
namespace {

SOCKET Raw(const Socket& s) { return static_cast<SOCKET>(s.Handle()); }

std::string ErrorText(int code) {
    char buf[256] = {};
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(code), 0,
                       buf, sizeof(buf), nullptr) == 0)
        return "error " + std::to_string(code);
    std::string text(buf);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text;
}

bool ParseAddress(const std::string& address, std::uint16_t port, sockaddr_storage& ss, int& len) {
    ss = {};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&ss);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&ss);
    if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        len = sizeof(*v4);
        return true;
    }
    if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        len = sizeof(*v6);
        return true;
    }
    return false;
}

}  // namespace

Socket::~Socket() {
    if (handle_ != -1) closesocket(Raw(*this));
}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        if (handle_ != -1) closesocket(Raw(*this));
        handle_ = other.handle_;
        other.handle_ = -1;
    }
    return *this;
}

bool StartSockets(std::string& error) {
    WSADATA data;
    const int rc = WSAStartup(MAKEWORD(2, 2), &data);
    if (rc != 0) error = ErrorText(rc);
    return rc == 0;
}

bool Listen(const std::string& address, std::uint16_t port, Socket& out, std::string& error) {
    sockaddr_storage ss;
    int len = 0;
    if (!ParseAddress(address, port, ss, len)) {
        error = address + " is not a numeric IPv4 or IPv6 address";
        return false;
    }
    const SOCKET raw = socket(ss.ss_family, SOCK_STREAM, IPPROTO_TCP);
    Socket s(raw == INVALID_SOCKET ? -1 : static_cast<std::intptr_t>(raw));
    if (!s.Valid()) {
        error = ErrorText(WSAGetLastError());
        return false;
    }
    // Exclusive: no other program may bind the same port beside this one.
    const BOOL on = TRUE;
    setsockopt(raw, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof(on));
    if (ss.ss_family == AF_INET6)
        setsockopt(raw, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on), sizeof(on));
    if (bind(raw, reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen(raw, 64) != 0) {
        error = ErrorText(WSAGetLastError());
        return false;
    }
    out = std::move(s);
    return true;
}

std::uint16_t LocalPort(const Socket& s) {
    sockaddr_storage ss{};
    int len = sizeof(ss);
    if (getsockname(Raw(s), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
    return ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                                          : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

bool IsLoopback(const std::string& address) {
    sockaddr_storage ss;
    int len = 0;
    if (!ParseAddress(address, 0, ss, len)) return false;
    if (ss.ss_family == AF_INET)
        return (ntohl(reinterpret_cast<sockaddr_in*>(&ss)->sin_addr.s_addr) >> 24) == 127;
    static const IN6_ADDR kLoopback = IN6ADDR_LOOPBACK_INIT;
    return memcmp(&reinterpret_cast<sockaddr_in6*>(&ss)->sin6_addr, &kLoopback, sizeof(kLoopback)) == 0;
}

int WaitForConnection(const std::vector<const Socket*>& listeners, int ms) {
    std::vector<WSAPOLLFD> fds;
    for (const Socket* s : listeners) fds.push_back({Raw(*s), POLLRDNORM, 0});
    if (WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), ms) <= 0) return -1;
    for (std::size_t i = 0; i < fds.size(); ++i)
        if (fds[i].revents & POLLRDNORM) return static_cast<int>(i);
    return -1;
}

Socket Accept(const Socket& listener, int send_ms, int receive_ms) {
    const SOCKET raw = accept(Raw(listener), nullptr, nullptr);
    if (raw == INVALID_SOCKET) return Socket();
    // A response goes out in pieces as the device gives them: none may wait
    // for the browser's acknowledgement of the one before.
    const BOOL on = TRUE;
    setsockopt(raw, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on));
    const DWORD send_timeout = static_cast<DWORD>(send_ms), receive_timeout = static_cast<DWORD>(receive_ms);
    setsockopt(raw, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&send_timeout), sizeof(send_timeout));
    setsockopt(raw, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&receive_timeout), sizeof(receive_timeout));
    return Socket(static_cast<std::intptr_t>(raw));
}

long Receive(const Socket& s, void* data, std::size_t size) {
    const int n = recv(Raw(s), static_cast<char*>(data), size > 0x10000000 ? 0x10000000 : static_cast<int>(size), 0);
    return n == SOCKET_ERROR ? -1 : static_cast<long>(n);
}

bool SendAll(const Socket& s, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const int n = send(Raw(s), p, size > 0x10000000 ? 0x10000000 : static_cast<int>(size), 0);
        if (n == SOCKET_ERROR || n == 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void Shutdown(const Socket& s) { shutdown(Raw(s), SD_BOTH); }

void ShutdownSend(const Socket& s, int receive_ms) {
    shutdown(Raw(s), SD_SEND);
    const DWORD timeout = static_cast<DWORD>(receive_ms);
    setsockopt(Raw(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
}

}  // namespace web
