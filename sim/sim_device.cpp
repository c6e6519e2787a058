// The simulated device behind Unix sockets: one listening socket per channel
// class, the channel contract of the POSIX platform served on a thread.
#include "sim/sim_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <list>
#include <vector>

#include "base/channel_frame.h"
#include "platform/device_directory.h"
#include "transport/fax_device.h"

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kRequestFrame = wire::kRequestFrameSize;
constexpr std::size_t kCompletionFrame = wire::kCompletionFrameSize;
// A request carrying more than this is taken for garbage and the connection
// is closed, as a driver would refuse it.
constexpr std::uint32_t kMaxRequestBytes = 512u << 20;

// One host connection to a channel and the request it has outstanding.
struct Connection {
    int fd = -1;
    Channel channel = Channel::Fax;
    Firmware::SessionId session = 0;
    Bytes in;
    std::size_t in_pos = 0;
    Bytes out;
    std::size_t out_pos = 0;
    bool eof = false;
    bool dead = false;

    bool pending = false;  // a request awaits its completion
    bool stalled = false;  // ... and only a cancel or a close ends it
    bool delayed = false;  // ... and completes at `due`
    Clock::time_point due;
    Outcome ready;         // the completion of a delayed request
    Transfer record;
};

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Creates a directory that the library will search (0755, which a umask can
// only narrow), or checks an existing one: a directory that others could add
// sockets to is not searched by the library, so a device served there would
// never be found, and is refused with the reason.
bool MakeDirectory(const std::string& path, std::string& error) {
    if (mkdir(path.c_str(), 0755) == 0) return true;
    if (errno != EEXIST) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string why;
    switch (plat::CheckDeviceDirectory(path, why)) {
        case plat::DirectoryTrust::Trusted:
            return true;
        case plat::DirectoryTrust::Untrusted:
            error = "not serving in " + path + ": " + why +
                    "; the library does not search a directory that others can change";
            return false;
        case plat::DirectoryTrust::Missing:
        case plat::DirectoryTrust::Unreadable:
            break;
    }
    error = "cannot use " + path + ": not a directory that can be searched";
    return false;
}

bool SocketHasListener(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool live = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    close(fd);
    return live;
}

class Front {
public:
    Front(Firmware& fw, int fax_listener, int ews_listener, int wake_fd, std::atomic<bool>& stop)
        : fw_(fw), fax_listener_(fax_listener), ews_listener_(ews_listener), wake_fd_(wake_fd), stop_(stop) {}

    void Run() {
        std::vector<pollfd> fds;
        std::vector<Connection*> order;
        while (!stop_.load()) {
            fds.clear();
            order.clear();
            fds.push_back({wake_fd_, POLLIN, 0});
            fds.push_back({fax_listener_, POLLIN, 0});
            fds.push_back({ews_listener_, POLLIN, 0});
            for (Connection& c : conns_) {
                short events = POLLIN | POLLRDHUP;
                if (c.out_pos < c.out.size()) events |= POLLOUT;
                fds.push_back({c.fd, events, 0});
                order.push_back(&c);
            }
            int rc = poll(fds.data(), fds.size(), Timeout());
            if (rc < 0 && errno != EINTR) break;
            if (stop_.load()) break;
            if (fds[0].revents & POLLIN) {
                std::uint64_t v;
                while (read(wake_fd_, &v, sizeof(v)) > 0) {
                }
            }
            if (fds[1].revents & POLLIN) Accept(fax_listener_, Channel::Fax);
            if (fds[2].revents & POLLIN) Accept(ews_listener_, Channel::Ews);

            // Take in everything first, then handle closed connections, and
            // only then act on requests: a host that closes one connection
            // and then writes on another is seen in that order.
            for (std::size_t i = 0; i < order.size(); ++i) {
                if (fds[i + 3].revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) Receive(*order[i], fds[i + 3].revents);
            }
            for (Connection& c : conns_) {
                if (c.eof) Drop(c);
            }
            for (std::size_t i = 0; i < order.size(); ++i) {
                Connection& c = *order[i];
                if (!c.dead && (fds[i + 3].revents & POLLOUT)) Flush(c);
            }
            for (Connection& c : conns_) {
                if (!c.dead) Dispatch(c);
            }
            FireTimers();
            RetryPending();
            conns_.remove_if([](const Connection& c) { return c.dead; });
        }
        for (Connection& c : conns_) Drop(c);
        conns_.clear();
    }

private:
    int Timeout() const {
        int best = -1;
        const auto now = Clock::now();
        for (const Connection& c : conns_) {
            if (!c.delayed) continue;
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(c.due - now).count();
            int t = ms < 0 ? 0 : static_cast<int>(ms + 1);
            if (best < 0 || t < best) best = t;
        }
        return best;
    }

    void Accept(int listener, Channel channel) {
        for (;;) {
            int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0) return;
            Connection c;
            c.fd = fd;
            c.channel = channel;
            c.session = fw_.Open(channel);
            conns_.push_back(std::move(c));
        }
    }

    void Receive(Connection& c, short revents) {
        std::uint8_t buf[65536];
        for (;;) {
            ssize_t n = recv(c.fd, buf, sizeof(buf), 0);
            if (n > 0) {
                c.in.insert(c.in.end(), buf, buf + n);
                // A short read has drained the socket. Unless the host has
                // also hung up (then the end of the stream is taken in now,
                // before any request is acted on), poll tells when more comes:
                // the read that would only answer "nothing yet" is saved.
                if (static_cast<std::size_t>(n) < sizeof(buf) && !(revents & (POLLRDHUP | POLLHUP | POLLERR))) return;
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) c.eof = true;
            if (n < 0 && errno == EINTR) continue;
            return;
        }
    }

    // The connection is gone: its outstanding request fails, unanswered.
    void Drop(Connection& c) {
        if (c.dead) return;
        if (c.pending) {
            c.record.completed = false;
            fw_.Record(std::move(c.record));
        }
        fw_.Close(c.session);
        close(c.fd);
        c.dead = true;
        c.pending = false;
    }

    void Flush(Connection& c) {
        while (c.out_pos < c.out.size()) {
            ssize_t n = send(c.fd, c.out.data() + c.out_pos, c.out.size() - c.out_pos, MSG_NOSIGNAL);
            if (n > 0) {
                c.out_pos += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            c.eof = true;
            Drop(c);
            return;
        }
        c.out.clear();
        c.out_pos = 0;
    }

    void Complete(Connection& c, std::uint32_t error, std::uint32_t count, const Bytes& data) {
        std::uint8_t frame[kCompletionFrame];
        const bool with_data = c.record.kind != Kind::Write && !data.empty();
        wire::EncodeCompletion(
            frame, {error, c.record.kind == Kind::Write ? count : static_cast<std::uint32_t>(data.size())});
        // Recorded before the host can see the completion, so that a host
        // that has its answer finds the request in the traffic.
        c.record.error = error;
        if (fw_.traffic().Recording()) c.record.out = data;
        c.record.completed = true;
        fw_.Record(std::move(c.record));
        c.record = Transfer{};
        c.pending = c.stalled = c.delayed = false;
        if (c.out_pos < c.out.size()) {
            // Earlier completions still wait for the host to read: queue behind them.
            c.out.insert(c.out.end(), frame, frame + sizeof(frame));
            if (with_data) c.out.insert(c.out.end(), data.begin(), data.end());
        } else {
            // The usual case: completion and data go out at once, straight
            // from where they are; only what the socket does not take is
            // queued.
            c.out.clear();
            c.out_pos = 0;
            const std::size_t sent = SendNow(c, frame, with_data ? &data : nullptr);
            if (sent < sizeof(frame)) c.out.insert(c.out.end(), frame + sent, frame + sizeof(frame));
            if (with_data) {
                const std::size_t from = sent > sizeof(frame) ? sent - sizeof(frame) : 0;
                c.out.insert(c.out.end(), data.begin() + static_cast<std::ptrdiff_t>(from), data.end());
            }
        }
        Flush(c);
    }

    // One send of a completion frame and its data; the bytes the socket
    // took (0 when it took none or the connection failed: Flush then finds
    // out which).
    std::size_t SendNow(Connection& c, std::uint8_t (&frame)[kCompletionFrame], const Bytes* data) {
        iovec iov[2] = {{frame, sizeof(frame)}, {nullptr, 0}};
        if (data) iov[1] = {const_cast<std::uint8_t*>(data->data()), data->size()};
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = data ? 2 : 1;
        for (;;) {
            const ssize_t n = sendmsg(c.fd, &msg, MSG_NOSIGNAL);
            if (n >= 0) return static_cast<std::size_t>(n);
            if (errno != EINTR) return 0;
        }
    }

    void Dispatch(Connection& c) {
        while (!c.pending && !c.dead) {
            const std::size_t avail = c.in.size() - c.in_pos;
            if (avail < kRequestFrame) break;
            const std::uint8_t* f = c.in.data() + c.in_pos;
            const wire::RequestFrame request = wire::DecodeRequest(f);
            const std::uint32_t kind = request.kind;
            const std::uint32_t code = request.code;
            const std::uint32_t in_len = request.in_len;
            const std::uint32_t out_len = request.out_len;
            if (in_len > kMaxRequestBytes || kind < wire::kChannelRead || kind > wire::kChannelControl) {
                Drop(c);
                return;
            }
            if (avail < kRequestFrame + in_len) break;
            const std::uint8_t* in = f + kRequestFrame;
            c.in_pos += kRequestFrame + in_len;

            c.pending = true;
            c.record = Transfer{};
            c.record.connection = c.session;
            c.record.channel = c.channel;
            c.record.kind = static_cast<Kind>(kind);
            c.record.code = code;
            c.record.asked = out_len;
            // A control request's input is handed over as the record's; a
            // write's data is copied only when the traffic is kept.
            if (c.record.kind == Kind::Control || fw_.traffic().Recording()) c.record.in.assign(in, in + in_len);

            Outcome o;
            if (c.record.kind == Kind::Write) {
                o = fw_.OnWrite(c.session, in, in_len);
            } else if (c.record.kind == Kind::Read) {
                o = fw_.OnRead(c.session, out_len);
            } else {
                o = fw_.OnControl(c.session, code, c.record.in, out_len);
            }
            if (o.cancel_others) CancelOthers(c);
            Act(c, std::move(o));
        }
        if (c.in_pos == c.in.size()) {
            c.in.clear();
            c.in_pos = 0;
        }
    }

    void Act(Connection& c, Outcome o) {
        switch (o.action) {
            case Outcome::Complete:
                if (o.delay_ms > 0) {
                    c.delayed = true;
                    c.due = Clock::now() + std::chrono::milliseconds(o.delay_ms);
                    c.ready = std::move(o);
                } else {
                    Complete(c, 0, o.count, o.data);
                }
                break;
            case Outcome::Fail:
                Complete(c, o.error, 0, {});
                break;
            case Outcome::Drop:
                Drop(c);
                break;
            case Outcome::Stall:
                c.stalled = true;
                break;
            case Outcome::Pend:
                break;
        }
    }

    // IOCTL_CANCEL_IO: every request pending on the device's other fax
    // connections completes with ERROR_OPERATION_ABORTED.
    void CancelOthers(const Connection& self) {
        for (Connection& c : conns_) {
            if (&c == &self || c.dead || !c.pending || c.channel != Channel::Fax) continue;
            Complete(c, kErrorCancelled, 0, {});
        }
    }

    void FireTimers() {
        const auto now = Clock::now();
        for (Connection& c : conns_) {
            if (c.dead || !c.delayed || c.due > now) continue;
            Outcome o = std::move(c.ready);
            Complete(c, 0, o.count, o.data);
            Dispatch(c);
        }
    }

    void RetryPending() {
        for (Connection& c : conns_) {
            if (c.dead || !c.pending || c.stalled || c.delayed) continue;
            if (auto o = fw_.RetryPending(c.session, c.record.kind, c.record.code, c.record.asked)) {
                Complete(c, 0, o->count, o->data);
                Dispatch(c);
            }
        }
    }

    Firmware& fw_;
    int fax_listener_;
    int ews_listener_;
    int wake_fd_;
    std::atomic<bool>& stop_;
    std::list<Connection> conns_;
};

}  // namespace

SimDevice::SimDevice(std::string device_dir, std::string name) : dir_(std::move(device_dir)), name_(std::move(name)) {
    fax_path_ = dir_ + "/" + plat::FormatInterfaceClass(GUID_DEVINTERFACE_FAX_CHANNEL) + "/" + name_;
    ews_path_ = dir_ + "/" + plat::FormatInterfaceClass(GUID_DEVINTERFACE_EWS_CHANNEL) + "/" + name_;
}

SimDevice::~SimDevice() { Stop(); }

bool ListenPrivately(const std::string& path, std::optional<gid_t> group, int& fd, std::string& error) {
    fd = -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) {
        error = "socket path too long: " + path;
        return false;
    }
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (S_ISSOCK(st.st_mode) && SocketHasListener(path)) {
            error = "a live device is already serving " + path;
            return false;
        }
        unlink(path.c_str());  // stale: left by a device that died
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // The socket carries the received faxes and the password: it is the
    // owner's alone, or the owner's and one group's, as a device node is.
    // It is made owner-only from the start, so no one else can connect
    // before its mode is set.
    const mode_t old_mask = umask(0177);
    const bool bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    const int bind_errno = errno;
    umask(old_mask);
    errno = bind_errno;
    if (!bound || listen(fd, 64) != 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        if (fd >= 0) close(fd);
        fd = -1;
        return false;
    }
    if (group) {
        if (chown(path.c_str(), static_cast<uid_t>(-1), *group) != 0 || chmod(path.c_str(), 0660) != 0) {
            error = "cannot give " + path + " to group " + std::to_string(*group) + ": " + std::strerror(errno);
            close(fd);
            fd = -1;
            unlink(path.c_str());
            return false;
        }
    } else {
        chmod(path.c_str(), 0600);
    }
    SetNonBlocking(fd);
    return true;
}

bool SimDevice::Listen(const std::string& class_dir, const std::string& path, int& fd) {
    if (!MakeDirectory(dir_, error_) || !MakeDirectory(class_dir, error_)) return false;
    return ListenPrivately(path, share_group_, fd, error_);
}

bool SimDevice::Start() {
    if (thread_.joinable()) return true;
    const std::string fax_dir = dir_ + "/" + plat::FormatInterfaceClass(GUID_DEVINTERFACE_FAX_CHANNEL);
    const std::string ews_dir = dir_ + "/" + plat::FormatInterfaceClass(GUID_DEVINTERFACE_EWS_CHANNEL);
    if (!Listen(fax_dir, fax_path_, fax_listener_) || !Listen(ews_dir, ews_path_, ews_listener_)) {
        Stop();
        return false;
    }
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) {
        error_ = std::string("eventfd: ") + std::strerror(errno);
        Stop();
        return false;
    }
    const int wake = wake_fd_;
    firmware_.SetWakeup([wake] {
        std::uint64_t one = 1;
        ssize_t ignored = write(wake, &one, sizeof(one));
        (void)ignored;
    });
    stop_ = false;
    thread_ = std::thread([this] { Serve(); });
    return true;
}

void SimDevice::Serve() {
    Front front(firmware_, fax_listener_, ews_listener_, wake_fd_, stop_);
    front.Run();
}

void SimDevice::Stop() {
    stop_ = true;
    if (wake_fd_ >= 0) {
        std::uint64_t one = 1;
        ssize_t ignored = write(wake_fd_, &one, sizeof(one));
        (void)ignored;
    }
    if (thread_.joinable()) thread_.join();
    firmware_.SetWakeup(nullptr);
    for (int* fd : {&fax_listener_, &ews_listener_}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
            unlink((fd == &fax_listener_ ? fax_path_ : ews_path_).c_str());
        }
    }
    if (wake_fd_ >= 0) {
        close(wake_fd_);
        wake_fd_ = -1;
    }
}

}  // namespace sim
