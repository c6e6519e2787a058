// The sockets `tessaline web` serves on, one file per platform
// (web_socket_posix.cpp, web_socket_win32.cpp): a listening socket on one
// address, connections accepted from it, and blocking sends and receives
// with time limits. Nothing here reads HTTP.
#ifndef TESSALINE_TOOLS_WEB_SOCKET_H
#define TESSALINE_TOOLS_WEB_SOCKET_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace web {

// An open socket, closed when the owner goes; starts invalid.
class Socket {
public:
    Socket() = default;
    explicit Socket(std::intptr_t handle) : handle_(handle) {}
    ~Socket();
    Socket(Socket&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    bool Valid() const { return handle_ != -1; }
    std::intptr_t Handle() const { return handle_; }

private:
    std::intptr_t handle_ = -1;
};

// Readies the platform's sockets (once per process); false with `error`.
bool StartSockets(std::string& error);

// Listens on the numeric IPv4 or IPv6 address `address` and `port` (0: a
// free one). False with the system's reason in `error`.
bool Listen(const std::string& address, std::uint16_t port, Socket& out, std::string& error);
// The port a listening socket is bound to.
std::uint16_t LocalPort(const Socket& s);
// Whether `address` is a numeric loopback address (127.0.0.0/8 or ::1).
bool IsLoopback(const std::string& address);

// Waits up to `ms` for a connection on any of `listeners`; the index of one
// that has one, or -1.
int WaitForConnection(const std::vector<const Socket*>& listeners, int ms);
// Accepts a connection (invalid on failure). Its sends give up after
// `send_ms` and its receives after `receive_ms`, so a peer that stops
// reading or sending cannot hold a thread for good.
Socket Accept(const Socket& listener, int send_ms, int receive_ms);

// Receives up to `size` bytes: the count, 0 when the peer closed, -1 on an
// error or when the receive timed out.
long Receive(const Socket& s, void* data, std::size_t size);
// Sends all of `data`; false when the peer is gone or stopped reading.
bool SendAll(const Socket& s, const void* data, std::size_t size);
// Ends both directions, releasing a thread blocked in Receive.
void Shutdown(const Socket& s);
// Ends the sending direction only (the peer reads the end of the stream),
// and gives later receives a time limit of `receive_ms`: what a close does
// once the rest the peer sent has been read, so that no reset throws away
// the answer it is still to read.
void ShutdownSend(const Socket& s, int receive_ms);

}  // namespace web

#endif
