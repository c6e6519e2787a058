// Fuzz target: arbitrary bytes as the web command's HTTP traffic and as the
// simulated device's settings form.
//
// The first byte picks what the rest is: a browser's request (head, then a
// body read as the head frames it), a device's response to a GET or a HEAD
// (the same), or a form posted to the device. Beyond memory safety it
// checks what the proxy relies on:
// - a request that passes is one the proxy could send on: its Host is a
//   loopback name, and the head made for the device parses again, to the
//   same method and target, with no framing of its own but a length;
// - a response that passes keeps its status in the head made for the
//   browser, which parses again;
// - a body reader never hands on more bytes than there were, nor reads past
//   what it was given;
// - a refused form leaves the settings record as it was.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/ews_pages.h"
#include "tools/http_proxy.h"

namespace {

class Source : public web::ByteSource {
public:
    Source(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Read(std::uint8_t* out, std::size_t count) override {
        if (count > size_ - pos_) return false;
        std::memcpy(out, data_ + pos_, count);
        pos_ += count;
        return true;
    }
    std::size_t pos() const { return pos_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

void Check(bool ok) {
    if (!ok) std::abort();
}

void ReadBodyAfter(Source& in, std::size_t size, web::BodyKind kind, std::uint64_t length) {
    std::uint64_t handed = 0;
    const std::size_t before = in.pos();
    web::ReadBody(in, kind, length, [&](const std::uint8_t*, std::size_t n) { handed += n; }, 7, 1 << 20);
    Check(handed <= in.pos() - before);
    Check(in.pos() <= size);
}

void Request(const std::uint8_t* data, std::size_t size) {
    Source in(data, size);
    std::string head;
    if (web::ReadHead(in, head, 4096) != web::ReadResult::Ok) return;
    web::Request r;
    std::string why;
    if (web::ParseRequestHead(head, r, why) != 0) return;
    bool host = false;
    for (const web::Header& h : r.headers)
        if (h.name.size() == 4 && strncasecmp(h.name.c_str(), "host", 4) == 0) host = web::HostAllowed(h.value);
    Check(host);
    const std::string device = web::DeviceRequestHead(r, 3);
    web::Request again;
    Check(web::ParseRequestHead(device, again, why) == 0);
    Check(again.method == r.method && again.target == r.target && again.length == 3 &&
          again.body == web::BodyKind::Length);
    ReadBodyAfter(in, size, r.body, r.length);
}

void Response(const std::uint8_t* data, std::size_t size, const char* method) {
    Source in(data, size);
    std::string head;
    if (web::ReadHead(in, head, 4096) != web::ReadResult::Ok) return;
    web::Response r;
    std::string why;
    if (web::ParseResponseHead(head, method, r, why) != 0) return;
    web::Response again;
    Check(web::ParseResponseHead(web::ClientResponseHead(r, r.body == web::BodyKind::Chunked, false), method, again,
                                 why) == 0);
    Check(again.status == r.status && again.body == r.body);
    ReadBodyAfter(in, size, r.body, r.length);
}

void Form(const std::uint8_t* data, std::size_t size) {
    std::uint8_t settings[sim::ews::kSettingsSize];
    for (std::size_t i = 0; i < sizeof(settings); ++i) settings[i] = static_cast<std::uint8_t>(i * 7);
    std::uint8_t before[sizeof(settings)];
    std::memcpy(before, settings, sizeof(settings));
    bool save = false;
    const sim::ews::Reply reply =
        sim::ews::SettingsForm(std::string(reinterpret_cast<const char*>(data), size), settings, save);
    Check(save == (reply.status == 303));
    if (!save) Check(std::memcmp(before, settings, sizeof(settings)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    switch (data[0] % 4) {
        case 0: Request(data + 1, size - 1); break;
        case 1: Response(data + 1, size - 1, "GET"); break;
        case 2: Response(data + 1, size - 1, "HEAD"); break;
        default: Form(data + 1, size - 1); break;
    }
    return 0;
}
