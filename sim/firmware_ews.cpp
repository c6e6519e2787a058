// The EWS side of the simulated firmware: a small HTTP/1.1 server on the EWS
// channel serving the device's pages (ews_pages.h) from its state, the
// settings form saved into its record, and the transfer faults scripted for
// that channel.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "sim/ews_pages.h"
#include "sim/firmware.h"
#include "sim/firmware_parts.h"

namespace sim {
using namespace fw;
namespace {

constexpr std::size_t kMaxHttpRequest = 64 * 1024;

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A transfer fault scripted for the EWS channel at the index-th request of
// its kind on the connection.
const Rule* MatchEws(std::vector<Rule>& rules, Stage stage, int index) {
    for (Rule& r : rules) {
        if (r.times == 0 || r.channel != Channel::Ews || r.stage != stage || r.index != index) continue;
        if (!IsTransferFault(r.fault)) continue;
        if (r.times > 0) --r.times;
        return &r;
    }
    return nullptr;
}

}  // namespace

Outcome Firmware::EwsWrite(Session& s, const std::uint8_t* data, std::uint32_t len) {
    Outcome o;
    if (const Rule* rule = MatchEws(rules_, Stage::Write, s.writes++)) {
        switch (rule->fault) {
            case Fault::FailTransfer: return Outcome::Failed(rule->value ? rule->value : kErrorGenFailure);
            case Fault::DropConnection: return Outcome::With(Outcome::Drop);
            case Fault::Stall: return Outcome::With(Outcome::Stall);
            case Fault::ShortTransfer: len = len == 0 ? 0 : std::min(rule->value, len - 1); break;
            case Fault::Delay: o.delay_ms = rule->value; break;
            default: break;
        }
    }
    s.in.insert(s.in.end(), data, data + len);
    // After a request that asked to close, the device takes no more on
    // this connection: what follows is dropped.
    if (s.ews_closed) s.in.clear();
    for (;;) {
        static const char kEnd[] = "\r\n\r\n";
        auto end = std::search(s.in.begin(), s.in.end(), kEnd, kEnd + 4);
        if (end == s.in.end()) {
            if (s.in.size() > kMaxHttpRequest) {
                s.in.clear();
                s.Push(ToBytes(ews::Serialize(ews::Status(431, "request head too large"), false, false)));
            }
            break;
        }
        const std::string head(s.in.begin(), end);
        const std::size_t consumed = static_cast<std::size_t>(end - s.in.begin()) + 4;
        std::size_t body = 0;
        bool chunked = false, close = false, form = false;
        for (std::size_t p = head.find("\r\n"); p != std::string::npos; p = head.find("\r\n", p + 2)) {
            std::string line = head.substr(p + 2, head.find("\r\n", p + 2) - (p + 2));
            std::string lower = line;
            std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
            if (lower.rfind("content-length:", 0) == 0) body = std::strtoul(line.c_str() + 15, nullptr, 10);
            if (lower.rfind("transfer-encoding:", 0) == 0) chunked = true;
            if (lower.rfind("connection:", 0) == 0 && lower.find("close") != std::string::npos) close = true;
            if (lower.rfind("content-type:", 0) == 0 &&
                lower.find("application/x-www-form-urlencoded") != std::string::npos)
                form = true;
        }
        if (chunked) {
            // The device takes request bodies with a length only.
            s.in.clear();
            s.Push(ToBytes(ews::Serialize(ews::Status(411, "a request body needs a Content-Length"), false, true)));
            s.ews_closed = true;
            break;
        }
        if (s.in.size() < consumed + body) break;
        const std::string content(s.in.begin() + static_cast<std::ptrdiff_t>(consumed),
                                  s.in.begin() + static_cast<std::ptrdiff_t>(consumed + body));
        s.in.erase(s.in.begin(), s.in.begin() + static_cast<std::ptrdiff_t>(consumed + body));

        const std::string request_line = head.substr(0, head.find("\r\n"));
        char method[16] = {}, target[1024] = {}, version[16] = {};
        ews::Reply reply;
        if (std::sscanf(request_line.c_str(), "%15s %1023s %15s", method, target, version) != 3 ||
            std::strncmp(version, "HTTP/1.", 7) != 0) {
            reply = ews::Status(400, "bad request");
        } else {
            reply = EwsReply(method, std::string(target).substr(0, std::string(target).find('?')), content, form);
        }
        s.Push(ToBytes(ews::Serialize(reply, std::strcmp(method, "HEAD") == 0, close)));
        if (close) {
            s.ews_closed = true;
            s.in.clear();
            break;
        }
    }
    o.count = len;
    return o;
}

Outcome Firmware::EwsRead(Session& s, std::uint32_t max) {
    Outcome o;
    if (max == 0) return o;
    if (const Rule* rule = MatchEws(rules_, Stage::Read, s.reads++)) {
        switch (rule->fault) {
            case Fault::FailTransfer: return Outcome::Failed(rule->value ? rule->value : kErrorGenFailure);
            case Fault::DropConnection: return Outcome::With(Outcome::Drop);
            case Fault::Stall: return Outcome::With(Outcome::Stall);
            case Fault::ShortTransfer: {
                // Completes at once, moving fewer bytes than it could: none
                // when nothing is queued.
                const std::size_t full = std::min<std::size_t>(max, s.Available());
                o.data = s.Take(full == 0 ? 0 : std::min<std::size_t>(rule->value, full - 1));
                return o;
            }
            case Fault::Delay: o.delay_ms = rule->value; break;
            default: break;
        }
    }
    if (s.Available() == 0) {
        o.action = Outcome::Pend;
        return o;
    }
    o.data = s.Take(std::min<std::size_t>(max, s.Available()));
    return o;
}

ews::Reply Firmware::EwsReply(const std::string& method, const std::string& path, const std::string& body,
                              bool form) {
    if (method == "POST" && path == "/settings") {
        if (!form) return ews::Status(400, "the settings form is application/x-www-form-urlencoded");
        // Saved as a host's save of the record would be, the device's clock
        // left as it runs (the form does not carry it).
        bool save = false;
        ews::Reply r = ews::SettingsForm(body, settings_, save);
        if (save) Changed();
        return r;
    }
    if (method != "GET" && method != "HEAD") {
        ews::Reply r = ews::Status(405, "method not allowed");
        r.headers.emplace_back("Allow", path == "/settings" ? "GET, HEAD, POST" : "GET, HEAD");
        return r;
    }
    ews::DeviceView view;
    view.title = title_;
    view.settings = settings_;
    view.device_time = DeviceTimeText(DeviceNow());
    view.sent_jobs = jobs_.size();
    for (const ReceivedFax& f : received_) {
        ews::FaxEntry e;
        e.name = f.name;
        e.data = &f.data;
        std::memcpy(e.log, f.log, sizeof(e.log));
        view.faxes.push_back(std::move(e));
    }
    return ews::Page(path, view);
}

}  // namespace sim
