// A fax device for fuzzing, reached through the library's real channel layer.
//
// The front listens on a Unix socket in a private directory, named to the
// library by TESSALINE_FAX_DEVICE and TESSALINE_EWS_DEVICE, and serves it on
// a thread of its own with plain blocking I/O: it takes each request frame
// the host sends (and the bytes it carries) and answers it with the
// completion a Responder chooses. Every request gets an answer, so no read of
// the host waits forever on the front.
//
// Connections are served one at a time, in the order the host made them. A
// fuzz run calls one or more operations and then Settle(), which connects
// once more: by the time the front answers that connection, every earlier
// one has been closed by the host and served. Settle() also reports whether
// the access lock is free, checked from the front's thread.
#ifndef TESSALINE_FUZZ_FUZZ_FRONT_H
#define TESSALINE_FUZZ_FUZZ_FRONT_H

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "base/channel_frame.h"
#include "platform/handle.h"

namespace fuzz {

using Bytes = std::vector<std::uint8_t>;

// Request kinds of the channel contract.
inline constexpr std::uint32_t kRead = wire::kChannelRead;
inline constexpr std::uint32_t kWrite = wire::kChannelWrite;
inline constexpr std::uint32_t kControl = wire::kChannelControl;

struct Request {
    std::uint32_t kind = 0;
    std::uint32_t code = 0;
    std::uint32_t out_len = 0;
    const std::uint8_t* in = nullptr;
    std::uint32_t in_len = 0;
};

struct Completion {
    // Overstate: a completion whose count claims one byte more than the
    // request asked for, with no data; the host must refuse it.
    enum Action { Complete, Fail, Drop, Overstate } action = Complete;
    std::uint32_t error = 0;  // Fail
    std::uint32_t count = 0;  // Complete of a write: the bytes taken
    Bytes data;               // Complete of a read or control request: the bytes returned
};

class Responder {
public:
    virtual void Connected() {}
    virtual Completion Answer(const Request& request) = 0;
    virtual void Closed() {}

protected:
    ~Responder() = default;
};

class Front {
public:
    Front() = default;
    ~Front();
    Front(const Front&) = delete;
    Front& operator=(const Front&) = delete;

    // Creates the private directory and the socket, points the library at
    // them (and at a private access-lock name, with discovery messages off),
    // and starts serving. Aborts the process when it cannot.
    void Start();

    // The responder for the connections that follow; it must outlive them.
    void SetResponder(Responder* responder) { responder_.store(responder); }

    // Waits until every connection made so far has been closed by the host
    // and served. True when the access lock was free then.
    bool Settle();

    // Connections the host made between the last two Settles.
    std::uint32_t Connections() const { return settled_connections_; }

    // A scratch directory of this front's own, for local files.
    const std::string& directory() const { return dir_; }

private:
    void Serve();
    void ServeConnection(int fd);

    std::string dir_;
    std::string socket_path_;
    std::string lock_name_;
    int listener_ = -1;
    plat::MutexHandle lock_;
    std::atomic<Responder*> responder_{nullptr};
    std::atomic<std::uint32_t> connections_{0};
    std::atomic<std::uint32_t> settles_{0};
    std::uint32_t settled_connections_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    Bytes buffer_;
};

// The process's one front, started on first use.
Front& TheFront();

// Ends the run with a message: an invariant of the library did not hold.
[[noreturn]] void Violated(const char* what);

}  // namespace fuzz

#endif
