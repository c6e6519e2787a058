// `tessaline web` in a process of its own against the simulated device in
// this one, whose EWS channel can be scripted to misbehave: kept-alive
// connections, browsers at once, what is refused before the device sees
// it, a device that stalls or fails, and a browser that goes away.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim_fixture.h"
#include "tools/http_proxy.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { Close(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

// A browser's connection, reading exactly what is asked for.
class Client : public web::ByteSource {
public:
    explicit Client(int port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
        timeval tv{15, 0};
        setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    }
    bool connected() const { return connected_; }
    bool Send(const std::string& bytes) {
        return send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    bool Read(std::uint8_t* data, std::size_t count) override {
        while (count > 0) {
            const ssize_t n = recv(fd_.get(), data, count, 0);
            if (n <= 0) return false;
            data += n;
            count -= static_cast<std::size_t>(n);
        }
        return true;
    }
    // Whether the proxy closed the connection (nothing more arrives).
    bool ClosedByPeer() {
        char c;
        return recv(fd_.get(), &c, 1, 0) == 0;
    }
    void Close() { fd_.Close(); }

    struct Answer {
        int status = 0;
        std::string head;
        std::string body;
        bool complete = false;  // the body arrived to its framing's end
    };
    Answer Receive(const std::string& method = "GET") {
        Answer a;
        if (web::ReadHead(*this, a.head) != web::ReadResult::Ok) return a;
        web::Response r;
        std::string why;
        if (web::ParseResponseHead(a.head, method, r, why) != 0) return a;
        a.status = r.status;
        a.complete = web::ReadBody(*this, r.body, r.length, [&](const std::uint8_t* d, std::size_t n) {
            a.body.append(reinterpret_cast<const char*>(d), n);
        }) == web::ReadResult::Ok;
        return a;
    }
    Answer Get(const std::string& path, const std::string& extra = "") {
        if (!Send("GET " + path + " HTTP/1.1\r\nHost: localhost\r\n" + extra + "\r\n")) return {};
        return Receive();
    }

private:
    Fd fd_;
    bool connected_ = false;
};

class WebProxyTest : public SimTest {
protected:
    void TearDown() override {
        Stop();
        SimTest::TearDown();
    }

    // Starts the command on a free port; its standard error goes to a file.
    void Start(const std::vector<std::string>& options = {}) {
        err_path_ = dir_ + "/web.err";
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addopen(&actions, 2, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<std::string> args = {TESSALINE_CLI_PATH, "web", "--port", "0"};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ASSERT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        std::string line;
        char c;
        pollfd p{out[0], POLLIN, 0};
        while (poll(&p, 1, 10000) == 1 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
        close(out[0]);
        const std::string prefix = "serving the device's web pages at http://localhost:";
        ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
        port_ = std::stoi(line.substr(prefix.size()));
        ASSERT_GT(port_, 0);
    }

    // Stops it as Ctrl+C would: it exits 0.
    void Stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGINT);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n" << Log();
    }

    std::string Log() const {
        std::ifstream f(err_path_);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }

    std::size_t EwsWrites() const {
        std::size_t n = 0;
        for (const sim::Transfer& t : device_->firmware().traffic().Transfers())
            if (t.channel == sim::Channel::Ews && t.kind == sim::Kind::Write) ++n;
        return n;
    }

    std::string FaxName() {
        std::uint8_t s[308];
        fw().state().GetSettingsWire(s);
        return reinterpret_cast<const char*>(s + 96);
    }

    pid_t pid_ = -1;
    int port_ = 0;
    std::string err_path_;
};

sim::Bytes Pattern(std::size_t size, unsigned seed) {
    sim::Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>((i * 131 + seed * 7 + (i >> 9)) & 0xFF);
    return b;
}

TEST_F(WebProxyTest, ServesSeveralRequestsOnOneKeptAliveConnection) {
    fw().state().AddReceivedFax("fax0001.tif", Pattern(10000, 1));
    Start();
    Client c(port_);
    ASSERT_TRUE(c.connected());
    Client::Answer a = c.Get("/status.json");
    EXPECT_EQ(a.status, 200);
    EXPECT_NE(a.body.find("\"received_faxes\":1"), std::string::npos) << a.body;
    // HEAD: a length and no body, and the connection stays in step.
    ASSERT_TRUE(c.Send("HEAD / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    a = c.Receive("HEAD");
    EXPECT_EQ(a.status, 200);
    EXPECT_TRUE(a.body.empty());
    // A chunked page, passed on in the chunked coding.
    a = c.Get("/faxes");
    EXPECT_EQ(a.status, 200);
    EXPECT_NE(a.head.find("Transfer-Encoding: chunked"), std::string::npos) << a.head;
    EXPECT_NE(a.body.find("/faxes/fax0001.tif"), std::string::npos);
    a = c.Get("/faxes/fax0001.tif");
    const sim::Bytes fax = Pattern(10000, 1);
    EXPECT_EQ(a.body, std::string(fax.begin(), fax.end()));
    // Connection: close is honoured, and not passed to the device.
    a = c.Get("/", "Connection: close\r\n");
    EXPECT_EQ(a.status, 200);
    EXPECT_NE(a.head.find("Connection: close"), std::string::npos);
    EXPECT_TRUE(c.ClosedByPeer());
    const std::string log = Log();
    EXPECT_NE(log.find("GET /faxes/fax0001.tif 200 10000 "), std::string::npos) << log;
    EXPECT_NE(log.find("HEAD / 200 0 "), std::string::npos) << log;
}

TEST_F(WebProxyTest, AnswersEightBrowsersAtOnce) {
    for (unsigned i = 0; i < 8; ++i) fw().state().AddReceivedFax("fax" + std::to_string(i) + ".tif", Pattern(150000, i));
    Start();
    std::vector<std::thread> threads;
    std::vector<int> right(8, 0);
    for (unsigned i = 0; i < 8; ++i) {
        threads.emplace_back([&, i] {
            Client c(port_);
            const sim::Bytes fax = Pattern(150000, i);
            for (int round = 0; round < 3; ++round) {
                const Client::Answer a = c.Get("/faxes/fax" + std::to_string(i) + ".tif");
                const Client::Answer s = c.Get("/status.json");
                if (a.status == 200 && a.body == std::string(fax.begin(), fax.end()) && s.status == 200 &&
                    s.body.find("\"received_faxes\":8") != std::string::npos)
                    ++right[i];
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(right, std::vector<int>(8, 3));
}

TEST_F(WebProxyTest, RefusesWhatItMustBeforeTheDeviceSeesIt) {
    Start();
    const std::string before = FaxName();
    struct Case {
        std::string request;
        int status;
    };
    const Case cases[] = {
        {"GET / HTTP/1.1\r\nHost: attacker.example\r\n\r\n", 421},
        {"POST /settings HTTP/1.1\r\nHost: attacker.example:8080\r\nContent-Type: "
         "application/x-www-form-urlencoded\r\nContent-Length: 11\r\n\r\nFaxName=Bad",
         421},
        {"GET / HTTP/1.1\r\nHost: localhost\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n\r\n", 501},
        {"CONNECT localhost:443 HTTP/1.1\r\nHost: localhost\r\n\r\n", 405},
        {"GET http://localhost/ HTTP/1.1\r\nHost: localhost\r\n\r\n", 501},
        {"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 2\r\nTransfer-Encoding: chunked\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: localhost\r\nX-Big: " + std::string(70000, 'x') + "\r\n\r\n", 431},
    };
    for (const Case& k : cases) {
        Client c(port_);
        ASSERT_TRUE(c.Send(k.request));
        const Client::Answer a = c.Receive();
        EXPECT_EQ(a.status, k.status) << k.request.substr(0, 60);
        EXPECT_TRUE(c.ClosedByPeer());
    }
    EXPECT_EQ(EwsWrites(), 0u);
    EXPECT_EQ(FaxName(), before);
}

TEST_F(WebProxyTest, AnswersExpectItselfAndSavesTheForm) {
    Start();
    Client c(port_);
    const std::string form = "FaxName=Front+desk&FaxNumber=5550199";
    ASSERT_TRUE(c.Send("POST /settings HTTP/1.1\r\nHost: localhost:" + std::to_string(port_) +
                       "\r\nContent-Type: application/x-www-form-urlencoded\r\nExpect: 100-continue\r\n"
                       "Content-Length: " + std::to_string(form.size()) + "\r\n\r\n"));
    Client::Answer a = c.Receive("POST");
    EXPECT_EQ(a.status, 100);
    EXPECT_EQ(EwsWrites(), 0u);  // nothing went to the device before the body arrived
    ASSERT_TRUE(c.Send(form));
    a = c.Receive("POST");
    EXPECT_EQ(a.status, 303);
    EXPECT_NE(a.head.find("Location: /settings"), std::string::npos);
    EXPECT_EQ(FaxName(), "Front desk");
    // A chunked body reaches the device with its length.
    const std::string chunked = "POST /settings HTTP/1.1\r\nHost: localhost\r\nContent-Type: "
                                "application/x-www-form-urlencoded\r\nTransfer-Encoding: chunked\r\n\r\n"
                                "8\r\nFaxName=\r\n4\r\nDesk\r\n0\r\n\r\n";
    ASSERT_TRUE(c.Send(chunked));
    EXPECT_EQ(c.Receive("POST").status, 303);
    EXPECT_EQ(FaxName(), "Desk");
}

TEST_F(WebProxyTest, AStallingDeviceGets504InTimeAndTheNextRequestSucceeds) {
    sim::Rule stall;
    stall.channel = sim::Channel::Ews;
    stall.stage = sim::Stage::Read;
    stall.index = 3;  // within the response's head
    stall.fault = sim::Fault::Stall;
    stall.times = 1;
    fw().script().Add(stall);
    Start({"--device-timeout", "1"});
    Client c(port_);
    const Clock::time_point start = Clock::now();
    Client::Answer a = c.Get("/status.json");
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(a.status, 504);
    EXPECT_GE(seconds, 0.9);
    // The limit, not the device's stall, which would never end: the bound is
    // loose, for a loaded machine.
    EXPECT_LT(seconds, 20.0);
    EXPECT_EQ(fw().script().Pending(), 0u);
    // The same connection goes on, on a channel opened anew.
    a = c.Get("/status.json");
    EXPECT_EQ(a.status, 200);
    EXPECT_NE(a.body.find("\"fax_name\""), std::string::npos);

    // A stall within a body: the head has gone, so the connection closes;
    // the next connection is served.
    fw().state().AddReceivedFax("big.tif", Pattern(2 << 20, 3));
    stall.index = 120;  // the connection's reads: a page before, a head of some 30, then 512 of the body
    fw().script().Add(stall);
    Client d(port_);
    ASSERT_TRUE(d.Send("GET /faxes/big.tif HTTP/1.1\r\nHost: localhost\r\n\r\n"));
    a = d.Receive();
    EXPECT_EQ(a.status, 200);
    EXPECT_FALSE(a.complete);
    Client e(port_);
    a = e.Get("/faxes/big.tif");
    EXPECT_EQ(a.status, 200);
    EXPECT_TRUE(a.complete);
    EXPECT_EQ(a.body.size(), 2u << 20);
}

TEST_F(WebProxyTest, AFailedChannelGets502AndIsOpenedAnew) {
    sim::Rule fail;
    fail.channel = sim::Channel::Ews;
    fail.stage = sim::Stage::Read;
    fail.index = 2;
    fail.fault = sim::Fault::FailTransfer;
    fail.times = 1;
    fw().script().Add(fail);
    Start();
    Client c(port_);
    EXPECT_EQ(c.Get("/").status, 502);
    EXPECT_EQ(c.Get("/").status, 200);
}

TEST_F(WebProxyTest, ABrowserThatGoesAwayLeavesTheChannelInStep) {
    const sim::Bytes big = Pattern(4 << 20, 5);
    fw().state().AddReceivedFax("big.tif", big);
    Start();
    {
        Client c(port_);
        ASSERT_TRUE(c.Send("GET /faxes/big.tif HTTP/1.1\r\nHost: localhost\r\n\r\n"));
        std::string head;
        ASSERT_EQ(web::ReadHead(c, head), web::ReadResult::Ok);
        std::uint8_t some[1000];
        ASSERT_TRUE(c.Read(some, sizeof(some)));
        c.Close();
    }
    Client d(port_);
    const Client::Answer a = d.Get("/status.json");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body.rfind("{\"device\"", 0), 0u) << a.body.substr(0, 100);
    // The whole of the abandoned response was read from the device.
    std::uint64_t read = 0;
    for (const sim::Transfer& t : fw().traffic().Transfers())
        if (t.channel == sim::Channel::Ews && t.kind == sim::Kind::Read) read += t.out.size();
    EXPECT_GT(read, big.size());
}

}  // namespace
