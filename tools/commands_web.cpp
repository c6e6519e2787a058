// The tool's web command: the device's own web pages, served to the
// browsers of this machine through the EWS channel.
//
// Browser connections are accepted concurrently, one thread each, and kept
// alive. The channel carries one request at a time: a request is queued for
// it only once its head and body have arrived (a slow browser never holds
// the channel), and the channel is free again once the device's response
// has been read to the end that its framing announces; the channel itself
// has no end of stream. The channel's reads wait for every byte they ask
// for, so a response head is read in reads no longer than its end still
// needs (web::ReadHead) and a body by its lengths.
//
// The channel is driven by a thread of its own, which holds the IUSBEWS
// object. A read that the device never completes cannot be cancelled
// through the object, so a response that does not come within the time
// limit leaves that thread behind: it closes its channel and ends if the
// read ever returns, and a new thread opens the channel again for the
// requests that follow, which thus start in step with the device.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "tools/command_support.h"
#include "tools/deadline.h"
#include "tools/http_proxy.h"
#include "tools/os/process.h"
#include "tools/web_socket.h"

namespace cli {
namespace {

using Clock = std::chrono::steady_clock;
using web::BodyKind;
using web::ReadResult;

// Device data held for a browser before the channel's thread waits for it
// to be sent on.
constexpr std::size_t kMaxBuffered = 1 << 20;
// A body is read from the channel in reads of this many bytes (each one
// request of 4096 bytes after another), and handed on in pieces as large.
constexpr std::size_t kBodyPiece = 64 * 1024;
// How long a browser may leave a kept-alive connection idle, or stop
// reading a response, before the connection is closed.
constexpr int kIdleMs = 120000;
constexpr int kSendMs = 30000;
// Connections served at once; more are answered 503 and closed.
constexpr std::size_t kMaxConnections = 64;

std::int64_t NowTicks() { return Clock::now().time_since_epoch().count(); }

// One request's trip over the channel and the response as it comes back,
// shared by the browser's connection thread and the channel's thread.
struct Exchange {
    std::string request;  // head and body, as the device is sent them
    std::string method;

    std::mutex mu;
    std::condition_variable cv;
    bool started = false;             // the channel's thread took it
    std::uint64_t generation = 0;     // of the channel's thread that took it
    std::atomic<std::int64_t> progress{0};  // when the last channel read began or ended
    bool head_ready = false;
    web::Response response;
    int error = 0;  // before the head: the status the browser gets instead
    std::string why;
    std::deque<std::string> pieces;
    std::size_t buffered = 0;
    bool done = false;    // the response was read to its end
    bool broken = false;  // it broke off after its head
    bool gone = false;    // no one waits for it any more (time limit, or browser gone)
};

// The channel and the queue of exchanges waiting for it.
// Held by its threads too: a thread left behind in a read may outlive the
// command's own use of it.
class DeviceChannel : public std::enable_shared_from_this<DeviceChannel> {
public:
    void Submit(const std::shared_ptr<Exchange>& ex) {
        std::lock_guard<std::mutex> lock(mu_);
        queue_.push_back(ex);
        if (!worker_running_) StartWorker();
        cv_.notify_all();
    }

    // The exchange ran out of time on the channel: its thread is left to
    // its read, and a new one serves the queue on a channel opened anew.
    void Reset(const std::shared_ptr<Exchange>& ex) {
        std::lock_guard<std::mutex> lock(mu_);
        if (ex->generation != generation_) return;
        ++generation_;
        StartWorker();
    }

    // Ends the channel's thread, which closes the channel; a thread that is
    // held in a read is not waited for long.
    void Stop() {
        std::unique_lock<std::mutex> lock(mu_);
        stopping_ = true;
        cv_.notify_all();
        cv_.wait_for(lock, std::chrono::seconds(2), [&] { return !worker_running_; });
    }

private:
    void StartWorker() {
        worker_running_ = true;
        std::thread(&DeviceChannel::Work, shared_from_this(), generation_).detach();
    }

    // The channel's thread; `generation` tells it apart from the threads
    // left behind.
    void Work(std::uint64_t generation);
    bool RunExchange(IIUSBEWS* ews, bool& open, const std::shared_ptr<Exchange>& ex);

    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::shared_ptr<Exchange>> queue_;
    std::uint64_t generation_ = 0;
    bool worker_running_ = false;
    bool stopping_ = false;
};

// Reads of the EWS channel as a source of exactly the bytes asked for,
// stamping the exchange's progress around each read.
class EwsSource : public web::ByteSource {
public:
    EwsSource(IIUSBEWS* ews, Exchange& ex) : ews_(ews), ex_(ex) {}
    bool Read(std::uint8_t* data, std::size_t count) override {
        ++requests;
        ex_.progress = NowTicks();
        int got = 0;
        FAXSTATUS s = FAXSTATUS_READ;
        ews_->ReadEWS(data, static_cast<int>(count), &got, &s);
        ex_.progress = NowTicks();
        return s == FAXSTATUS_OK;
    }
    std::uint64_t requests = 0;

private:
    IIUSBEWS* ews_;
    Exchange& ex_;
};

void DeviceChannel::Work(std::uint64_t generation) {
    const HostThread thread;  // the object lives in this thread's apartment
    Ref<IIUSBEWS> ews;
    const bool created = Create(CLSID_IUSBEWS, IID_IIUSBEWS, ews);
    bool open = false;
    for (;;) {
        std::shared_ptr<Exchange> ex;
        {
            std::unique_lock<std::mutex> lock(mu_);
            cv_.wait(lock, [&] { return stopping_ || generation != generation_ || !queue_.empty(); });
            if (stopping_ || generation != generation_) break;
            ex = queue_.front();
            queue_.pop_front();
        }
        {
            std::lock_guard<std::mutex> lock(ex->mu);
            ex->started = true;
            ex->generation = generation;
            ex->progress = NowTicks();
        }
        ex->cv.notify_all();
        bool reset = true;
        if (created) {
            reset = RunExchange(ews.get(), open, ex);
        } else {
            std::lock_guard<std::mutex> lock(ex->mu);
            ex->error = 503;
            ex->why = "the EWS object cannot be created";
        }
        {
            std::lock_guard<std::mutex> lock(ex->mu);
            ex->done = true;
        }
        ex->cv.notify_all();
        if (reset && open) {
            // Out of step with the device, or told to close: the next
            // request starts on a channel opened anew.
            FAXSTATUS s = FAXSTATUS_OK;
            ews->CloseEWS(&s);
            open = false;
        }
    }
    if (open) {
        FAXSTATUS s = FAXSTATUS_OK;
        ews->CloseEWS(&s);
    }
    std::lock_guard<std::mutex> lock(mu_);
    if (generation == generation_) worker_running_ = false;
    cv_.notify_all();
}

// Carries one exchange; true when the channel is to be opened anew after it.
bool DeviceChannel::RunExchange(IIUSBEWS* ews, bool& open, const std::shared_ptr<Exchange>& ex) {
    auto fail = [&](int status, const std::string& why) {
        std::lock_guard<std::mutex> lock(ex->mu);
        ex->error = status;
        ex->why = why;
        return true;
    };
    FAXSTATUS s = FAXSTATUS_CMD_FAIL;
    if (!open) {
        ews->OpenEWS(&s);
        if (s != FAXSTATUS_OK) return fail(503, "the device's EWS channel cannot be opened (status " +
                                                    std::to_string(s) + ")");
        open = true;
    }
    int written = 0;
    s = FAXSTATUS_CMD_FAIL;
    ex->progress = NowTicks();
    ews->WriteEWS(reinterpret_cast<unsigned char*>(ex->request.data()), static_cast<int>(ex->request.size()),
                  &written, &s);
    if (s != FAXSTATUS_OK) return fail(502, "the device did not take the request (status " + std::to_string(s) + ")");

    EwsSource source(ews, *ex);
    web::Response response;
    for (;;) {
        std::string head;
        const ReadResult r = web::ReadHead(source, head);
        if (r == ReadResult::TooLong) return fail(502, "the device's response head is too long");
        if (r != ReadResult::Ok) return fail(502, "the device's response broke off in its head");
        std::string why;
        if (web::ParseResponseHead(head, ex->method, response, why) != 0) return fail(502, why);
        if (response.status >= 200) break;  // 1xx: an interim response, and the real one follows
    }
    {
        std::lock_guard<std::mutex> lock(ex->mu);
        ex->response = response;
        ex->head_ready = true;
    }
    ex->cv.notify_all();
    const ReadResult r = web::ReadBody(source, response.body, response.length,
                                       [&](const std::uint8_t* data, std::size_t n) {
        std::unique_lock<std::mutex> lock(ex->mu);
        // A browser that reads slowly slows the channel down; one that went
        // away has the rest dropped here.
        ex->cv.wait(lock, [&] { return ex->gone || ex->buffered < kMaxBuffered; });
        if (ex->gone) return;
        ex->pieces.emplace_back(reinterpret_cast<const char*>(data), n);
        ex->buffered += n;
        lock.unlock();
        ex->cv.notify_all();
    }, kBodyPiece);
    if (r != ReadResult::Ok) {
        std::lock_guard<std::mutex> lock(ex->mu);
        ex->broken = true;
        ex->why = r == ReadResult::Failed ? "the device's response broke off in its body"
                                          : "the device's response body is not framed as it says";
        return true;
    }
    return response.device_closes;
}

// A browser's connection as a source of exactly the bytes asked for.
class ClientSource : public web::ByteSource {
public:
    explicit ClientSource(const web::Socket& s) : s_(s) {}
    bool Read(std::uint8_t* data, std::size_t count) override {
        while (count > 0) {
            if (pos_ == len_) {
                const long n = web::Receive(s_, buf_, sizeof(buf_));
                if (n <= 0) return false;
                pos_ = 0;
                len_ = static_cast<std::size_t>(n);
            }
            const std::size_t take = std::min(count, len_ - pos_);
            std::memcpy(data, buf_ + pos_, take);
            pos_ += take;
            data += take;
            count -= take;
        }
        return true;
    }

private:
    const web::Socket& s_;
    std::uint8_t buf_[16384];
    std::size_t pos_ = 0, len_ = 0;
};

struct Server {
    double device_timeout = 30;
    std::shared_ptr<DeviceChannel> channel = std::make_shared<DeviceChannel>();
    std::atomic<bool> stopping{false};
    std::mutex log_mu;

    std::mutex conn_mu;
    std::set<const web::Socket*> sockets;  // the connections open, to be shut down on a stop

    void Log(const std::string& method, const std::string& target, int status, std::uint64_t bytes,
             Clock::time_point start, const std::string& note) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        const std::string line = method + " " + target + " " + std::to_string(status) + " " + std::to_string(bytes) +
                                 " " + std::to_string(ms) + "ms" + (note.empty() ? "" : " " + note) + "\n";
        std::lock_guard<std::mutex> lock(log_mu);
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
    }

    void Serve(web::Socket& s);
    // One request; false when the connection is to close after it.
    bool ServeOne(web::Socket& s, ClientSource& in);
};

// The method and target of a request line, for the log, however malformed:
// the first two words, each cut short, control bytes shown as '?'.
void LogNames(const std::string& head, std::string& method, std::string& target) {
    std::string words[2];
    std::size_t w = 0;
    for (std::size_t i = 0; i < head.size() && i < 2048 && w < 2; ++i) {
        const char c = head[i];
        if (c == '\r' || c == '\n') break;
        if (c == ' ') {
            ++w;
            continue;
        }
        if (words[w].size() < (w == 0 ? 32u : 1024u))
            words[w] += static_cast<unsigned char>(c) < 0x21 || c == 0x7F ? '?' : c;
    }
    method = words[0].empty() ? std::string(1, '-') : words[0];
    target = words[1].empty() ? std::string(1, '-') : words[1];
}

bool Server::ServeOne(web::Socket& s, ClientSource& in) {
    std::string head;
    const ReadResult got = web::ReadHead(in, head);
    const Clock::time_point start = Clock::now();
    if (got == ReadResult::Closed || got == ReadResult::Failed) return false;
    std::string method, target;
    LogNames(head, method, target);
    if (got != ReadResult::Ok) {
        const int status = got == ReadResult::TooLong ? 431 : 400;
        const std::string why = status == 431 ? "the request head is longer than 64 KiB" : "a malformed request";
        const std::string answer = web::OwnResponse(status, why, false, true);
        web::SendAll(s, answer.data(), answer.size());
        Log(method, target, status, 0, start, why);
        return false;
    }
    web::Request req;
    std::string why;
    const int refused = web::ParseRequestHead(head, req, why);
    const bool head_request = method == "HEAD";
    if (refused != 0) {
        // The body, if any, was not read: the connection closes.
        const std::string extra = refused == 405 ? "Allow: GET, HEAD, POST, PUT, DELETE, OPTIONS\r\n" : "";
        const std::string answer = web::OwnResponse(refused, why, head_request, true, extra);
        web::SendAll(s, answer.data(), answer.size());
        Log(method, target, refused, 0, start, why);
        return false;
    }
    std::string body;
    if (req.body != BodyKind::None) {
        if (req.expect_continue) {
            static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
            if (!web::SendAll(s, kContinue, sizeof(kContinue) - 1)) return false;
        }
        const ReadResult r = web::ReadBody(in, req.body, req.length,
                                           [&](const std::uint8_t* d, std::size_t n) {
                                               body.append(reinterpret_cast<const char*>(d), n);
                                           },
                                           65536, web::kMaxRequestBody);
        if (r != ReadResult::Ok) {
            if (r == ReadResult::Failed) return false;
            const int status = r == ReadResult::TooLong ? 413 : 400;
            const std::string text = status == 413 ? "the request body is too long" : "a malformed chunked body";
            const std::string answer = web::OwnResponse(status, text, head_request, true);
            web::SendAll(s, answer.data(), answer.size());
            Log(method, target, status, 0, start, text);
            return false;
        }
    }

    auto ex = std::make_shared<Exchange>();
    ex->method = req.method;
    ex->request = web::DeviceRequestHead(req, body.size()) + body;
    channel->Submit(ex);

    const auto limit = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(device_timeout));
    // Waits for `ready` while the channel makes progress; false when the
    // channel's read ran past the time limit (or the command stops).
    auto wait = [&](std::unique_lock<std::mutex>& lock, auto ready) {
        for (;;) {
            if (ready()) return true;
            if (stopping) return false;
            const Clock::time_point last{Clock::duration(ex->progress.load())};
            if (ex->started && Clock::now() - last > limit) return false;
            ex->cv.wait_for(lock, std::chrono::milliseconds(100));
        }
    };

    bool keep = req.keep_alive;
    std::unique_lock<std::mutex> lock(ex->mu);
    if (!wait(lock, [&] { return ex->head_ready || ex->done; })) {
        ex->gone = true;
        lock.unlock();
        ex->cv.notify_all();
        channel->Reset(ex);
        const std::string text = "the device did not answer within " + std::to_string(device_timeout).substr(0, 8) +
                                 " s; its channel was opened anew";
        const std::string answer = web::OwnResponse(504, text, head_request, !keep);
        const bool sent = web::SendAll(s, answer.data(), answer.size());
        Log(method, target, 504, 0, start, "the device did not answer in time");
        return keep && sent;
    }
    if (!ex->head_ready) {
        const int status = ex->error ? ex->error : 502;
        const std::string text = ex->why;
        lock.unlock();
        const std::string answer = web::OwnResponse(status, text, head_request, !keep);
        const bool sent = web::SendAll(s, answer.data(), answer.size());
        Log(method, target, status, 0, start, text);
        return keep && sent;
    }

    const web::Response response = ex->response;
    // An HTTP/1.0 browser cannot take the chunked coding: it gets the data
    // as it comes and the connection's end marks the body's.
    const bool chunked = response.body == BodyKind::Chunked && req.minor == 1;
    if (response.body == BodyKind::Chunked && !chunked) keep = false;
    lock.unlock();
    const std::string out_head = web::ClientResponseHead(response, chunked, !keep);
    bool client = web::SendAll(s, out_head.data(), out_head.size());
    std::uint64_t bytes = 0;
    bool timed_out = false;
    lock.lock();
    if (!client) ex->gone = true;
    for (;;) {
        if (!wait(lock, [&] { return !ex->pieces.empty() || ex->done; })) {
            timed_out = true;
            break;
        }
        if (ex->pieces.empty()) break;  // done
        std::string piece = std::move(ex->pieces.front());
        ex->pieces.pop_front();
        ex->buffered -= piece.size();
        lock.unlock();
        ex->cv.notify_all();
        bytes += piece.size();
        if (client) {
            if (chunked) piece = web::ChunkHeader(piece.size()) + piece + "\r\n";
            client = web::SendAll(s, piece.data(), piece.size());
        }
        lock.lock();
        if (!client) ex->gone = true;  // the rest is read and dropped by the channel's thread
    }
    const bool broken = ex->broken;
    const std::string broke_why = ex->why;
    if (timed_out) ex->gone = true;
    lock.unlock();
    ex->cv.notify_all();
    if (timed_out) {
        channel->Reset(ex);
        Log(method, target, response.status, bytes, start,
            "the device stopped within the response; the connection was closed and the channel opened anew");
        return false;
    }
    if (broken) {
        Log(method, target, response.status, bytes, start, broke_why + "; the connection was closed");
        return false;
    }
    if (client && chunked) client = web::SendAll(s, web::kLastChunk.data(), web::kLastChunk.size());
    Log(method, target, response.status, bytes, start, client ? "" : "(the browser went away; the rest was dropped)");
    return keep && client;
}

void Server::Serve(web::Socket& s) {
    {
        std::lock_guard<std::mutex> lock(conn_mu);
        sockets.insert(&s);
    }
    ClientSource in(s);
    while (!stopping && ServeOne(s, in)) {
    }
    // What the browser sent and the proxy did not read (a refused request's
    // body) is read and dropped before the close, for a while: closed with
    // it unread, the connection would be reset, and the browser might lose
    // the answer.
    web::ShutdownSend(s, 1000);
    char drop[4096];
    for (std::size_t total = 0; total < (1u << 20);) {
        const long n = web::Receive(s, drop, sizeof(drop));
        if (n <= 0) break;
        total += static_cast<std::size_t>(n);
    }
    std::lock_guard<std::mutex> lock(conn_mu);
    sockets.erase(&s);
}

struct Connection {
    web::Socket socket;
    std::thread thread;
    std::atomic<bool> finished{false};
};

}  // namespace

int RunWeb(const Output& out, const Parsed& args) {
    if (!args.positional.empty()) return out.Usage("web takes no arguments besides its options");
    std::uint32_t port = 8080;
    if (args.Has("--port") && (!ParseNumber(args.Value("--port"), port) || port > 65535))
        return out.Usage("--port takes a number of 0 to 65535");
    Server server;
    if (args.Has("--device-timeout") && !ParseSeconds(args.Value("--device-timeout"), server.device_timeout))
        return out.Usage("--device-timeout takes a number of seconds above 0 (at most 1000000)");
    std::vector<std::string> addresses = {"127.0.0.1", "::1"};
    if (args.Has("--listen")) addresses = args.options.at("--listen");

    std::string error;
    if (!web::StartSockets(error)) return out.Fail(kUnavailable, "sockets", "cannot use the network: " + error);
    std::vector<web::Socket> listeners;
    std::uint16_t chosen = static_cast<std::uint16_t>(port);
    for (const std::string& address : addresses) {
        web::Socket s;
        std::string why;
        // The addresses after the first take the port the first was given.
        if (!web::Listen(address, chosen, s, why)) {
            // A machine without IPv6 has no ::1: the default carries on
            // without it.
            if (!args.Has("--listen") && address == "::1") continue;
            return out.Fail(kUnavailable, "listen", "cannot listen on " + address + " port " +
                                                        std::to_string(chosen) + ": " + why);
        }
        if (!web::IsLoopback(address))
            std::fprintf(stderr,
                         "warning: listening on %s: other machines may reach the device's pages, and its settings\n",
                         address.c_str());
        chosen = web::LocalPort(s);
        listeners.push_back(std::move(s));
    }

    const std::string url = "http://localhost:" + std::to_string(chosen) + "/";
    if (out.json) {
        JsonObject o;
        o.Str("url", url).Num("port", chosen);
        std::printf("%s\n", o.Text().c_str());
    } else {
        std::printf("serving the device's web pages at %s\n", url.c_str());
    }
    std::fflush(stdout);

    OnStopSignals([&server](int) { server.stopping = true; });
    std::vector<const web::Socket*> waiting;
    for (const web::Socket& l : listeners) waiting.push_back(&l);
    std::list<Connection> connections;
    while (!server.stopping) {
        for (auto it = connections.begin(); it != connections.end();) {
            if (it->finished) {
                it->thread.join();
                it = connections.erase(it);
            } else {
                ++it;
            }
        }
        const int ready = web::WaitForConnection(waiting, 200);
        if (ready < 0) continue;
        web::Socket s = web::Accept(*waiting[static_cast<std::size_t>(ready)], kSendMs, kIdleMs);
        if (!s.Valid()) continue;
        if (connections.size() >= kMaxConnections) {
            const std::string busy = web::OwnResponse(503, "too many connections at once", false, true);
            web::SendAll(s, busy.data(), busy.size());
            continue;
        }
        Connection& c = connections.emplace_back();
        c.socket = std::move(s);
        c.thread = std::thread([&server, &c] {
            server.Serve(c.socket);
            c.finished = true;
        });
    }
    RestoreStopSignals();
    {
        std::lock_guard<std::mutex> lock(server.conn_mu);
        for (const web::Socket* s : server.sockets) web::Shutdown(*s);
    }
    for (Connection& c : connections) c.thread.join();
    server.channel->Stop();
    return 0;
}

}  // namespace cli
