// The EWS side of the simulated firmware: a small HTTP/1.1 server on the EWS
// channel with a status page (HTML, or JSON for tests), and the transfer
// faults scripted for that channel.
#include "sim/firmware_ews.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "sim/device_state.h"
#include "sim/fault_script.h"
#include "sim/firmware_parts.h"
#include "sim/json_text.h"
#include "sim/traffic_recorder.h"

namespace sim {
using namespace fw;
namespace {

constexpr std::size_t kMaxHttpRequest = 64 * 1024;

std::string HtmlEscape(const std::string& in) {
    std::string out;
    for (char c : in) {
        switch (c) {
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '&': out += "&amp;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

}  // namespace

Outcome EwsServer::Write(Session& s, const std::uint8_t* data, std::uint32_t len) {
    Outcome o;
    if (const Rule* rule = script_.FireEws(Stage::Write, s.writes++)) {
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
    for (;;) {
        static const char kEnd[] = "\r\n\r\n";
        auto end = std::search(s.in.begin(), s.in.end(), kEnd, kEnd + 4);
        if (end == s.in.end()) {
            if (s.in.size() > kMaxHttpRequest) {
                s.in.clear();
                const std::string r =
                    "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\n\r\n";
                s.Push(Bytes(r.begin(), r.end()));
            }
            break;
        }
        const std::string head(s.in.begin(), end);
        std::size_t consumed = static_cast<std::size_t>(end - s.in.begin()) + 4;
        // Skip a body the client sent; its length is in Content-Length.
        std::size_t body = 0;
        for (std::size_t p = head.find("\r\n"); p != std::string::npos; p = head.find("\r\n", p + 2)) {
            std::string line = head.substr(p + 2, head.find("\r\n", p + 2) - (p + 2));
            std::string lower = line;
            std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
            if (lower.rfind("content-length:", 0) == 0) body = std::strtoul(line.c_str() + 15, nullptr, 10);
        }
        if (s.in.size() < consumed + body) break;
        s.in.erase(s.in.begin(), s.in.begin() + static_cast<std::ptrdiff_t>(consumed + body));

        const std::string request_line = head.substr(0, head.find("\r\n"));
        char method[16] = {}, path[1024] = {}, version[16] = {};
        int code = 200;
        std::string type = "text/html; charset=utf-8", body_text;
        if (std::sscanf(request_line.c_str(), "%15s %1023s %15s", method, path, version) != 3 ||
            std::strncmp(version, "HTTP/1.", 7) != 0) {
            code = 400;
            type = "text/plain";
            body_text = "bad request\n";
        } else if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0) {
            code = 405;
            type = "text/plain";
            body_text = "method not allowed\n";
        } else {
            body_text = StatusPage(path, code, type);
        }
        traffic_.Request(s.id, Channel::Ews, 0, std::string(method) + " " + path);
        traffic_.Replied(s.id, static_cast<std::uint32_t>(code));
        const char* reason = code == 200 ? "OK" : code == 404 ? "Not Found" : code == 405 ? "Method Not Allowed"
                                                                                          : "Bad Request";
        std::string response = "HTTP/1.1 " + std::to_string(code) + " " + reason + "\r\nServer: tessaline-simd\r\n" +
                               "Content-Type: " + type + "\r\nContent-Length: " +
                               std::to_string(body_text.size()) + "\r\n\r\n";
        if (std::strcmp(method, "HEAD") != 0) response += body_text;
        s.Push(Bytes(response.begin(), response.end()));
    }
    o.count = len;
    return o;
}

Outcome EwsServer::Read(Session& s, std::uint32_t max) {
    Outcome o;
    if (max == 0) return o;
    if (const Rule* rule = script_.FireEws(Stage::Read, s.reads++)) {
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

std::string EwsServer::StatusPage(const std::string& path, int& code, std::string& type) const {
    const std::string fax_name = FieldString(state_.settings_ + 96, 128);
    const std::string fax_number = FieldString(state_.settings_ + 224, 32);
    if (path == "/status.json") {
        type = "application/json";
        return "{\"device\":\"" + JsonEscape(state_.title_) + "\",\"fax_name\":\"" + JsonEscape(fax_name) +
               "\",\"fax_number\":\"" + JsonEscape(fax_number) + "\",\"received_faxes\":" +
               std::to_string(state_.received_.size()) + ",\"sent_jobs\":" + std::to_string(state_.jobs_.size()) + "}\n";
    }
    if (path != "/" && path != "/index.html") {
        code = 404;
        type = "text/plain";
        return "not found\n";
    }
    return "<!DOCTYPE html>\n<html><head><title>" + HtmlEscape(state_.title_) + "</title></head><body>\n<h1>" +
           HtmlEscape(state_.title_) + "</h1>\n<table>\n<tr><th>Fax name</th><td>" + HtmlEscape(fax_name) +
           "</td></tr>\n<tr><th>Fax number</th><td>" + HtmlEscape(fax_number) +
           "</td></tr>\n<tr><th>Received faxes</th><td>" + std::to_string(state_.received_.size()) +
           "</td></tr>\n<tr><th>Sent jobs</th><td>" + std::to_string(state_.jobs_.size()) +
           "</td></tr>\n</table>\n</body></html>\n";
}

}  // namespace sim
