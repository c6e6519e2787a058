// The web figure: `tessaline web` in a process of its own, fetched from over
// TCP as a browser would, against a raw client of the EWS channel reading
// the same responses. The raw client writes the request and reads in
// requests of up to 4096 bytes that complete with what the device has; the
// proxy reaches the channel through the IUSBEWS object, whose reads wait
// for every byte they ask for, so it reads a response's head in reads no
// longer than the head's end still needs: a request per one to four bytes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "bench/figures.h"
#include "bench/processes.h"
#include "bench/raw_channel.h"
#include "tools/http_proxy.h"

extern char** environ;

namespace bench {
namespace {

constexpr double kMinWebRatio = 0.8;

// One response, read to the end its Content-Length gives; the head's size
// and the channel requests it took go to the caller.
struct Fetched {
    std::string head;
    std::size_t body = 0;
    std::uint32_t requests = 0;
};

std::size_t ContentLength(const std::string& head) {
    const std::size_t at = head.find("Content-Length: ");
    return at == std::string::npos ? 0 : std::stoul(head.substr(at + 16));
}

// Reads from `read_some` (up to n bytes into p, the count) a head and the
// body it announces; the body's bytes go to `body`.
template <class ReadSome>
bool ReadResponse(ReadSome read_some, std::vector<std::uint8_t>& buf, Fetched& f) {
    std::size_t have = 0, head_end = std::string::npos;
    while (head_end == std::string::npos) {
        if (have == buf.size()) return false;
        const long n = read_some(buf.data() + have, std::min<std::size_t>(buf.size() - have, 4096));
        if (n <= 0) return false;
        have += static_cast<std::size_t>(n);
        const std::string seen(reinterpret_cast<const char*>(buf.data()), have);
        head_end = seen.find("\r\n\r\n");
        if (head_end != std::string::npos) f.head = seen.substr(0, head_end + 4);
    }
    const std::size_t total = f.head.size() + ContentLength(f.head);
    if (total > buf.size()) return false;
    while (have < total) {
        const long n = read_some(buf.data() + have, std::min<std::size_t>(total - have, 4096));
        if (n <= 0) return false;
        have += static_cast<std::size_t>(n);
    }
    f.body = total - f.head.size();
    return have == total;
}

bool RawFetch(const std::string& ews_path, const std::string& request, std::vector<std::uint8_t>& buf, Fetched& f) {
    RawChannel c;
    if (!c.Connect(ews_path) || !c.Write(request.data(), static_cast<std::uint32_t>(request.size()))) return false;
    f.requests = 1;
    return ReadResponse([&](std::uint8_t* p, std::size_t n) -> long {
        std::uint32_t moved = 0;
        ++f.requests;
        return c.ReadSome(p, static_cast<std::uint32_t>(n), &moved) ? static_cast<long>(moved) : -1;
    }, buf, f);
}

// A kept-alive connection to the proxy.
struct Browser {
    int fd = -1;
    ~Browser() {
        if (fd >= 0) close(fd);
    }
    bool Connect(int port) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        return connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    }
    bool Fetch(const std::string& request, std::vector<std::uint8_t>& buf, Fetched& f) {
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
            return false;
        return ReadResponse([&](std::uint8_t* p, std::size_t n) -> long { return recv(fd, p, n, 0); }, buf, f);
    }
};

struct Proxy {
    pid_t pid = -1;
    int port = 0;
    ~Proxy() {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
};

void StartProxy(Proxy& p) {
    int out[2];
    if (pipe(out) != 0) Die("cannot make a pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    // The log, one line a request, would cost the proxy a write each.
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", 0, 0);
    std::string program = TESSALINE_CLI_PATH, web = "web", port = "--port", zero = "0";
    char* argv[] = {program.data(), web.data(), port.data(), zero.data(), nullptr};
    if (posix_spawn(&p.pid, argv[0], &actions, nullptr, argv, environ) != 0) Die("cannot start " + program);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string line;
    char c;
    pollfd pfd{out[0], POLLIN, 0};
    while (poll(&pfd, 1, 10000) == 1 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    const std::size_t colon = line.rfind(':');
    if (line.rfind("serving", 0) != 0 || colon == std::string::npos) Die("tessaline web did not start: " + line);
    p.port = std::stoi(line.substr(colon + 1));
}

// The channel requests the proxy's head reader takes for `head`, counted by
// running it over the head.
std::uint32_t HeadReads(const std::string& head) {
    struct Counting : web::ByteSource {
        const std::string& h;
        std::size_t at = 0;
        std::uint32_t reads = 0;
        explicit Counting(const std::string& s) : h(s) {}
        bool Read(std::uint8_t* p, std::size_t n) override {
            if (n > h.size() - at) return false;
            std::memcpy(p, h.data() + at, n);
            at += n;
            ++reads;
            return true;
        }
    } source(head);
    std::string got;
    web::ReadHead(source, got);
    return source.reads;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

void WebFigure(const Setup& s, bool quick, Report& report) {
    std::fprintf(stderr, "tessaline-bench: web pages\n");
    Proxy proxy;
    StartProxy(proxy);
    Browser browser;
    if (!browser.Connect(proxy.port)) Die("cannot connect to tessaline web");
    std::vector<std::uint8_t> buf(kSmallSize + 65536);
    const std::string large = "GET /faxes/" + std::string(kSmallFax) + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
    const std::string small = "GET /status.json HTTP/1.1\r\nHost: localhost\r\n\r\n";

    // Both sides give the same response before anything is measured.
    Fetched via_proxy, raw;
    if (!browser.Fetch(large, buf, via_proxy) || via_proxy.body != kSmallSize ||
        std::memcmp(buf.data() + via_proxy.head.size(), s.small_data.data(), kSmallSize) != 0)
        Die("the 1 MiB page through tessaline web is not the fax");
    if (!RawFetch(s.ews_path, large, buf, raw) || raw.body != kSmallSize ||
        std::memcmp(buf.data() + raw.head.size(), s.small_data.data(), kSmallSize) != 0)
        Die("the raw EWS client's 1 MiB page is not the fax");

    std::vector<double> proxy_rate, raw_rate, ratios;
    for (int round = 0; round < (quick ? 5 : 20); ++round) {
        auto t0 = Clock::now();
        if (!browser.Fetch(large, buf, via_proxy)) Die("a 1 MiB page through tessaline web failed");
        const double p = kSmallSize / 1e6 / Seconds(Clock::now() - t0);
        t0 = Clock::now();
        if (!RawFetch(s.ews_path, large, buf, raw)) Die("a raw 1 MiB page failed");
        const double r = kSmallSize / 1e6 / Seconds(Clock::now() - t0);
        proxy_rate.push_back(p);
        raw_rate.push_back(r);
        ratios.push_back(p / r);
    }
    Row row;
    row.figure = "Web: a 1 MiB page through tessaline web";
    row.library = Format("%.1f MB/s", Median(proxy_rate));
    row.raw = Format("%.1f MB/s", Median(raw_rate));
    row.ratio = Format("%.2f", Median(ratios));
    row.channel = "-";
    row.goal = Format(">= %.2f x raw", kMinWebRatio);
    row.met = Median(ratios) >= kMinWebRatio ? "yes" : "NO";
    report.rows.push_back(row);

    std::vector<double> proxy_us, raw_us;
    for (int round = 0; round < (quick ? 50 : 300); ++round) {
        auto t0 = Clock::now();
        if (!browser.Fetch(small, buf, via_proxy)) Die("a small page through tessaline web failed");
        proxy_us.push_back(Seconds(Clock::now() - t0) * 1e6);
        t0 = Clock::now();
        if (!RawFetch(s.ews_path, small, buf, raw)) Die("a raw small page failed");
        raw_us.push_back(Seconds(Clock::now() - t0) * 1e6);
    }
    // The proxy's channel requests: the request's one write, the head's
    // reads, and the body in reads of at most 4096 bytes. Read a byte at a
    // time, the head alone would take a request per byte.
    const std::uint32_t body_requests = static_cast<std::uint32_t>((via_proxy.body + 4095) / 4096);
    const std::uint32_t proxy_requests = 1 + HeadReads(via_proxy.head) + body_requests;
    const std::uint32_t bytewise_requests = 1 + static_cast<std::uint32_t>(via_proxy.head.size()) + body_requests;
    const double p = Median(proxy_us), r = Median(raw_us);
    row = Row();
    row.figure = "Web: a small page (/status.json), median";
    row.library = Format("%.0f us, %.0f channel requests", p, proxy_requests);
    row.raw = Format("%.0f us, %.0f requests", r, raw.requests);
    row.ratio = Format("%.2f", p / r);
    row.channel = "-";
    row.goal = "-";
    row.met = "-";
    report.rows.push_back(row);
    const double extra = static_cast<double>(proxy_requests) - raw.requests;
    const double per_request = extra > 0 ? (p - r) / extra : 0.0;
    report.notes.push_back(
        "Web: the IUSBEWS object's reads wait for every byte they ask for, so the proxy cannot ask for more of a "
        "head than is sure to come. " +
        Format("The small page's %.0f-byte head would take a request per byte (%.0f requests for the page); ",
               static_cast<double>(via_proxy.head.size()), bytewise_requests) +
        Format("reading as much as the head's end still needs takes %.0f, against the raw client's %.0f. ",
               proxy_requests, raw.requests) +
        Format("The proxy's %.0f us more come to about %.1f us a request (the TCP hop and the proxy's threads "
               "included), ", p - r, per_request) +
        Format("so a byte-at-a-time head would cost about %.0f us a page more.",
               per_request * (bytewise_requests - proxy_requests)));
}

}  // namespace bench
