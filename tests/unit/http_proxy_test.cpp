// The web command's HTTP rules and the simulated device's pages, without
// sockets: what the proxy refuses and why, which headers cross, where a
// response ends, and the pages' form, logo and framing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/byte_order.h"
#include "sim/ews_pages.h"
#include "tools/http_proxy.h"

namespace {

// Gives a string's bytes exactly as asked, then fails: a device or browser
// that sent exactly this and nothing more.
class StringSource : public web::ByteSource {
public:
    explicit StringSource(std::string s) : s_(std::move(s)) {}
    bool Read(std::uint8_t* data, std::size_t count) override {
        ++reads;
        if (count > s_.size() - pos_) return false;
        std::memcpy(data, s_.data() + pos_, count);
        pos_ += count;
        return true;
    }
    std::size_t Left() const { return s_.size() - pos_; }
    int reads = 0;

private:
    std::string s_;
    std::size_t pos_ = 0;
};

struct RequestCase {
    const char* head;
    int status;
};

TEST(HttpProxy, RequestHeadsAreRefusedWithTheirStatus) {
    const RequestCase cases[] = {
        {"GET / HTTP/1.1\r\nHost: localhost:8080\r\n\r\n", 0},
        {"GET /a?b=c HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 0},
        {"HEAD / HTTP/1.1\r\nHost: [::1]:1\r\n\r\n", 0},
        {"GET / HTTP/1.0\r\nHost: LOCALHOST\r\n\r\n", 0},
        {"OPTIONS * HTTP/1.1\r\nHost: localhost\r\n\r\n", 0},
        {"POST /settings HTTP/1.1\r\nHost: localhost\r\nContent-Length: 5, 5\r\n\r\n", 0},
        // DNS rebinding: every method is checked, before anything else.
        {"GET / HTTP/1.1\r\nHost: evil.example\r\n\r\n", 421},
        {"POST /settings HTTP/1.1\r\nHost: evil.example:8080\r\nContent-Length: 3\r\n\r\n", 421},
        {"GET / HTTP/1.1\r\nHost: localhost.evil.example\r\n\r\n", 421},
        {"GET / HTTP/1.1\r\nHost: 127.0.0.2\r\n\r\n", 421},
        {"GET / HTTP/1.1\r\nHost: localhost:99999\r\n\r\n", 421},
        {"GET / HTTP/1.1\r\nHost: localhost:\r\n\r\n", 421},
        {"GET / HTTP/1.1\r\nHost: [::1\r\n\r\n", 421},
        {"CONNECT localhost:443 HTTP/1.1\r\nHost: localhost\r\n\r\n", 405},
        {"GET http://localhost/ HTTP/1.1\r\nHost: localhost\r\n\r\n", 501},
        {"GET / HTTP/1.1\r\nHost: localhost\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n\r\n", 501},
        {"POST / HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", 501},
        {"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: -1\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 3, 4\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 99999999999999999999\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 999999999\r\n\r\n", 413},
        {"POST / HTTP/1.0\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: localhost\r\nHost: localhost\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: localhost\r\n folded\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost : localhost\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: local\x01host\r\n\r\n", 400},
        {"GET  / HTTP/1.1\r\nHost: localhost\r\n\r\n", 400},
        {"GET / HTTP/2.0\r\nHost: localhost\r\n\r\n", 505},
        {"GET / FTP/1.1\r\nHost: localhost\r\n\r\n", 400},
        {"GET foo HTTP/1.1\r\nHost: localhost\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: localhost\r\nExpect: something\r\n\r\n", 417},
    };
    for (const RequestCase& c : cases) {
        web::Request r;
        std::string why;
        EXPECT_EQ(web::ParseRequestHead(c.head, r, why), c.status) << c.head << " (" << why << ")";
        if (c.status != 0) {
            EXPECT_FALSE(why.empty()) << c.head;
        }
    }
}

TEST(HttpProxy, TheDeviceSeesEndToEndHeadersAndALength) {
    web::Request r;
    std::string why;
    ASSERT_EQ(web::ParseRequestHead("POST /settings HTTP/1.1\r\nHost: localhost\r\nConnection: close, X-Private\r\n"
                                    "X-Private: 1\r\nKeep-Alive: 5\r\nTE: trailers\r\nProxy-Authorization: x\r\n"
                                    "Transfer-Encoding: chunked\r\nExpect: 100-continue\r\nCookie: a=b\r\n\r\n",
                                    r, why),
              0)
        << why;
    EXPECT_EQ(r.body, web::BodyKind::Chunked);
    EXPECT_TRUE(r.expect_continue);
    EXPECT_FALSE(r.keep_alive);
    EXPECT_EQ(web::DeviceRequestHead(r, 7),
              "POST /settings HTTP/1.1\r\nHost: localhost\r\nCookie: a=b\r\nContent-Length: 7\r\n\r\n");

    ASSERT_EQ(web::ParseRequestHead("GET / HTTP/1.0\r\nHost: localhost\r\n\r\n", r, why), 0);
    EXPECT_FALSE(r.keep_alive);  // HTTP/1.0 closes after each response
    EXPECT_EQ(web::DeviceRequestHead(r, 0), "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n");
}

struct ResponseCase {
    const char* head;
    const char* method;
    int status;  // of the parse: 0 or 502
    web::BodyKind body;
    std::uint64_t length;
};

TEST(HttpProxy, AResponseEndsWhereItsFramingSays) {
    using web::BodyKind;
    const ResponseCase cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\n", "GET", 0, BodyKind::Length, 12},
        {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", "GET", 0, BodyKind::None, 0},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", "GET", 0, BodyKind::Chunked, 0},
        {"HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\n", "HEAD", 0, BodyKind::None, 0},
        {"HTTP/1.1 204 No Content\r\n\r\n", "GET", 0, BodyKind::None, 0},
        {"HTTP/1.1 304 Not Modified\r\nContent-Length: 99\r\n\r\n", "GET", 0, BodyKind::None, 0},
        {"HTTP/1.1 100 Continue\r\n\r\n", "POST", 0, BodyKind::None, 0},
        {"HTTP/1.0 200 OK\r\n\r\n", "GET", 502, BodyKind::None, 0},  // ends at close, which the channel never does
        {"HTTP/1.1 200 OK\r\nContent-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n", "GET", 502, BodyKind::None, 0},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n", "GET", 502, BodyKind::None, 0},
        {"HTTP/1.1 200 OK\r\nContent-Length: x\r\n\r\n", "GET", 502, BodyKind::None, 0},
        {"HTTP/1.1 101 Switching Protocols\r\n\r\n", "GET", 502, BodyKind::None, 0},
        {"HTTP/1.1 20 OK\r\n\r\n", "GET", 502, BodyKind::None, 0},
        {"SPAM\r\n\r\n", "GET", 502, BodyKind::None, 0},
    };
    for (const ResponseCase& c : cases) {
        web::Response r;
        std::string why;
        EXPECT_EQ(web::ParseResponseHead(c.head, c.method, r, why), c.status) << c.head << " (" << why << ")";
        if (c.status == 0) {
            EXPECT_EQ(r.body, c.body) << c.head;
            EXPECT_EQ(r.length, c.length) << c.head;
        }
    }
}

TEST(HttpProxy, TheBrowserSeesNoHopByHopHeaders) {
    web::Response r;
    std::string why;
    ASSERT_EQ(web::ParseResponseHead("HTTP/1.1 200 Fine\r\nConnection: close, X-Hop\r\nX-Hop: 1\r\nKeep-Alive: 1\r\n"
                                     "Content-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n",
                                     "GET", r, why),
              0);
    EXPECT_TRUE(r.device_closes);
    EXPECT_EQ(web::ClientResponseHead(r, true, false),
              "HTTP/1.1 200 Fine\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n");
    ASSERT_EQ(web::ParseResponseHead("HTTP/1.1 404 \r\nContent-Length: 3\r\n\r\n", "GET", r, why), 0);
    EXPECT_EQ(web::ClientResponseHead(r, false, true),
              "HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\nConnection: close\r\n\r\n");
}

struct BodyCase {
    const char* bytes;
    web::BodyKind kind;
    std::uint64_t length;
    web::ReadResult result;
    const char* data;  // what the sink got
    std::size_t left;  // bytes of the source not read: the next message's
};

TEST(HttpProxy, BodiesAreReadToTheirEndAndNoFurther) {
    using web::BodyKind;
    using web::ReadResult;
    const BodyCase cases[] = {
        {"hello world", BodyKind::Length, 5, ReadResult::Ok, "hello", 6},
        {"4\r\nwiki\r\n5;x=y\r\npedia\r\n0\r\n\r\nNEXT", BodyKind::Chunked, 0, ReadResult::Ok, "wikipedia", 4},
        {"A\r\n0123456789\r\n0\r\nTrailer: x\r\n\r\n", BodyKind::Chunked, 0, ReadResult::Ok, "0123456789", 0},
        {"4\r\nwiki\r\n", BodyKind::Chunked, 0, ReadResult::Failed, "wiki", 0},
        {"4\r\nwikiXX0\r\n\r\n", BodyKind::Chunked, 0, ReadResult::Malformed, "wiki", 5},
        {"g\r\n", BodyKind::Chunked, 0, ReadResult::Malformed, "", 0},
        {"4\nwiki", BodyKind::Chunked, 0, ReadResult::Malformed, "", 4},
        {"1000000000000000\r\n", BodyKind::Chunked, 0, ReadResult::Malformed, "", 0},
        {"abc", BodyKind::Length, 5, ReadResult::Failed, "", 3},
    };
    for (const BodyCase& c : cases) {
        StringSource in(c.bytes);
        std::string got;
        const ReadResult r = web::ReadBody(in, c.kind, c.length, [&](const std::uint8_t* d, std::size_t n) {
            got.append(reinterpret_cast<const char*>(d), n);
        }, 4);
        EXPECT_EQ(r, c.result) << c.bytes;
        EXPECT_EQ(got, c.data) << c.bytes;
        EXPECT_EQ(in.Left(), c.left) << c.bytes;
    }
    // A limit on what a body may hold.
    StringSource big("10\r\n0123456789abcdef\r\n0\r\n\r\n");
    EXPECT_EQ(web::ReadBody(big, BodyKind::Chunked, 0, [](const std::uint8_t*, std::size_t) {}, 4, 15),
              ReadResult::TooLong);
}

TEST(HttpProxy, AHeadIsReadToItsEndAndNotAByteFurther) {
    // Heads whose ends come in every shape a partial CR LF CR LF can take,
    // each followed by the next message's bytes, which must stay unread.
    const char* heads[] = {
        "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n",
        "HTTP/1.1 200 OK\r\nX: \r\r\r\n\r\n",
        "HTTP/1.1 200 OK\r\nX: a\r\nY: \r\n\r\n",
        "HTTP/1.1 204\r\n\r\n",
        "X\r\n\r\n",
        "X\n\r\n\r\n",
    };
    for (const char* h : heads) {
        StringSource in(std::string("\r\n") + h + "hi");
        std::string head;
        ASSERT_EQ(web::ReadHead(in, head), web::ReadResult::Ok) << h;
        EXPECT_EQ(head, h);
        EXPECT_EQ(in.Left(), 2u) << h;  // the body is still the source's
    }
    // Far fewer reads than bytes: the channel's requests are what a head costs.
    StringSource in("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 2000\r\n\r\n");
    std::string head;
    ASSERT_EQ(web::ReadHead(in, head), web::ReadResult::Ok);
    EXPECT_LT(in.reads, static_cast<int>(head.size()) / 3);

    StringSource endless(std::string("GET / HTTP/1.1\r\nX: ") + std::string(70000, 'a'));
    EXPECT_EQ(web::ReadHead(endless, head), web::ReadResult::TooLong);
    StringSource empty("");
    EXPECT_EQ(web::ReadHead(empty, head), web::ReadResult::Closed);
    StringSource cut("GET / HTTP/1.1\r\n");
    EXPECT_EQ(web::ReadHead(cut, head), web::ReadResult::Failed);
}

// -- The simulated device's pages

TEST(EwsPages, TheSettingsFormSavesItsFieldsAndRefusesWhatDoesNotFit) {
    std::uint8_t settings[sim::ews::kSettingsSize] = {};
    std::memcpy(settings + 96, "Old name", 8);
    bool save = false;
    sim::ews::Reply r = sim::ews::SettingsForm("FaxName=New+name%21&FaxNumber=555%2001&RingPattern=3", settings, save);
    EXPECT_EQ(r.status, 303);
    EXPECT_TRUE(save);
    EXPECT_STREQ(reinterpret_cast<const char*>(settings + 96), "New name!");
    EXPECT_STREQ(reinterpret_cast<const char*>(settings + 224), "555 01");
    EXPECT_EQ(wire::LoadBE32(settings + 256), 3u);

    const char* refused[] = {
        "FaxNumber=012345678901234567890123456789012",  // 33 bytes in a 32-byte field
        "RingPattern=-1", "RingPattern=4294967296", "RingPattern=", "Password=x", "FaxName=%zz", "FaxName=%4",
        "FaxName=a%00b",
    };
    for (const char* form : refused) {
        std::uint8_t before[sim::ews::kSettingsSize];
        std::memcpy(before, settings, sizeof(before));
        r = sim::ews::SettingsForm(form, settings, save);
        EXPECT_EQ(r.status, 400) << form;
        EXPECT_FALSE(save) << form;
        EXPECT_EQ(std::memcmp(before, settings, sizeof(before)), 0) << form;
    }
}

TEST(EwsPages, TheLogoIsAWellFormedPng) {
    const sim::ews::Bytes& png = sim::ews::LogoPng();
    ASSERT_GT(png.size(), 8u + 25 + 12 + 12);
    EXPECT_EQ(std::memcmp(png.data(), "\x89PNG\r\n\x1a\n", 8), 0);
    // Every chunk's CRC, and IHDR then IDAT then IEND.
    std::vector<std::string> types;
    std::size_t at = 8;
    auto crc = [](const std::uint8_t* p, std::size_t n) {
        std::uint32_t c = 0xFFFFFFFFu;
        for (std::size_t i = 0; i < n; ++i) {
            c ^= p[i];
            for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        }
        return ~c;
    };
    std::vector<std::uint8_t> idat;
    while (at + 12 <= png.size()) {
        const std::uint32_t len = wire::LoadBE32(&png[at]);
        ASSERT_LE(at + 12 + len, png.size());
        types.emplace_back(reinterpret_cast<const char*>(&png[at + 4]), 4);
        EXPECT_EQ(wire::LoadBE32(&png[at + 8 + len]), crc(&png[at + 4], len + 4)) << types.back();
        if (types.back() == "IDAT") idat.assign(&png[at + 8], &png[at + 8] + len);
        at += 12 + len;
    }
    EXPECT_EQ(at, png.size());
    EXPECT_EQ(types, (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
    // The stored blocks hold every scanline: 40 rows of a filter byte and
    // 40 RGB pixels, and the Adler-32 of them.
    const std::uint32_t width = wire::LoadBE32(&png[16]), height = wire::LoadBE32(&png[20]);
    ASSERT_EQ(width, 40u);
    ASSERT_EQ(height, 40u);
    std::vector<std::uint8_t> raw;
    std::size_t p = 2;
    bool last = false;
    while (!last && p + 5 <= idat.size()) {
        last = idat[p] & 1;
        const std::size_t n = idat[p + 1] | idat[p + 2] << 8;
        ASSERT_EQ(n ^ 0xFFFF, static_cast<std::size_t>(idat[p + 3] | idat[p + 4] << 8));
        raw.insert(raw.end(), idat.begin() + static_cast<std::ptrdiff_t>(p + 5),
                   idat.begin() + static_cast<std::ptrdiff_t>(p + 5 + n));
        p += 5 + n;
    }
    ASSERT_TRUE(last);
    ASSERT_EQ(raw.size(), height * (1 + width * 3));
    std::uint32_t a = 1, b = 0;
    for (std::uint8_t c : raw) a = (a + c) % 65521, b = (b + a) % 65521;
    EXPECT_EQ(wire::LoadBE32(&idat[p]), (b << 16) | a);
    EXPECT_EQ(p + 4, idat.size());
}

TEST(EwsPages, PagesAreFramedAsTheProxyReadsThem) {
    std::uint8_t settings[sim::ews::kSettingsSize] = {};
    std::memcpy(settings + 96, "A <b>name</b>", 13);
    sim::ews::Bytes fax(5000, 'F');
    sim::ews::DeviceView view;
    view.title = "Device";
    view.settings = settings;
    for (int i = 0; i < 30; ++i) {
        sim::ews::FaxEntry e;
        e.name = "fax " + std::to_string(i) + ".tif";
        e.data = &fax;
        view.faxes.push_back(e);
    }
    const sim::ews::Reply home = sim::ews::Page("/", view);
    EXPECT_NE(home.body.find("A &lt;b&gt;name&lt;/b&gt;"), std::string::npos);
    const sim::ews::Reply list = sim::ews::Page("/faxes", view);
    ASSERT_TRUE(list.chunked);
    EXPECT_NE(list.body.find("href=\"/faxes/fax%2029.tif\""), std::string::npos);
    EXPECT_EQ(sim::ews::Page("/faxes/fax%2029.tif", view).body.size(), 5000u);
    EXPECT_EQ(sim::ews::Page("/faxes/nothing", view).status, 404);
    EXPECT_EQ(sim::ews::Page("/elsewhere", view).status, 404);

    // The chunked page, read back by the proxy's own reader, is the page.
    const std::string bytes = sim::ews::Serialize(list, false, false);
    StringSource in(bytes);
    std::string head, body;
    ASSERT_EQ(web::ReadHead(in, head), web::ReadResult::Ok);
    web::Response r;
    std::string why;
    ASSERT_EQ(web::ParseResponseHead(head, "GET", r, why), 0) << why;
    ASSERT_EQ(r.body, web::BodyKind::Chunked);
    ASSERT_EQ(web::ReadBody(in, r.body, 0, [&](const std::uint8_t* d, std::size_t n) {
        body.append(reinterpret_cast<const char*>(d), n);
    }), web::ReadResult::Ok);
    EXPECT_EQ(body, list.body);
    EXPECT_EQ(in.Left(), 0u);
    // HEAD: the same head, no body.
    const std::string head_only = sim::ews::Serialize(home, true, true);
    EXPECT_EQ(head_only.substr(head_only.size() - 4), "\r\n\r\n");
    EXPECT_NE(head_only.find("Content-Length: " + std::to_string(home.body.size())), std::string::npos);
    EXPECT_NE(head_only.find("Connection: close"), std::string::npos);
}

}  // namespace
