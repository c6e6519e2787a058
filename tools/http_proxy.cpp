// The HTTP side of `tessaline web`: parsing, checks and framing. Everything
// here works on bytes that came from a browser or from the device, and
// neither is trusted: every length is checked before it is used.
#include "tools/http_proxy.h"

#include <algorithm>
#include <cstdio>

namespace web {
namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

bool IsTokenChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsToken(std::string_view s) { return !s.empty() && std::all_of(s.begin(), s.end(), IsTokenChar); }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// The comma-separated elements of a list header, trimmed, empty ones left out.
std::vector<std::string> ListElements(std::string_view value) {
    std::vector<std::string> out;
    while (true) {
        const std::size_t comma = value.find(',');
        const std::string_view item = Trim(value.substr(0, comma));
        if (!item.empty()) out.emplace_back(item);
        if (comma == std::string_view::npos) break;
        value.remove_prefix(comma + 1);
    }
    return out;
}

// A decimal length: digits only, at most 15 of them (far beyond any body
// this proxy carries, and far from overflow).
bool ParseLength(std::string_view s, std::uint64_t& out) {
    if (s.empty() || s.size() > 15) return false;
    std::uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    out = v;
    return true;
}

// Content-Length as sent: one value, or a list of the same value repeated.
bool ParseContentLength(const std::vector<std::string_view>& values, std::uint64_t& out) {
    bool have = false;
    for (std::string_view v : values) {
        std::vector<std::string> items = ListElements(v);
        if (items.empty()) return false;
        for (const std::string& item : items) {
            std::uint64_t n = 0;
            if (!ParseLength(item, n) || (have && n != out)) return false;
            out = n;
            have = true;
        }
    }
    return have;
}

// The lines of a head after its first, split into headers. False for a
// line that is no header: no colon, a name that is no token (so no space
// before the colon), a line folded onto the one before, a control byte in
// a value.
bool SplitHeaders(std::string_view rest, std::vector<Header>& out, std::string& why) {
    while (!rest.empty()) {
        const std::size_t eol = rest.find("\r\n");
        const std::string_view line = rest.substr(0, eol);
        rest.remove_prefix(eol == std::string_view::npos ? rest.size() : eol + 2);
        if (line.empty()) break;  // the blank line that ends the head
        if (line.front() == ' ' || line.front() == '\t') {
            why = "a folded header line";
            return false;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || !IsToken(line.substr(0, colon))) {
            why = "a header line that is not NAME: VALUE";
            return false;
        }
        const std::string_view value = Trim(line.substr(colon + 1));
        for (char c : value) {
            if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F) {
                why = "a control character in a header value";
                return false;
            }
        }
        out.push_back({std::string(line.substr(0, colon)), std::string(value)});
    }
    return true;
}

std::vector<std::string_view> Values(const std::vector<Header>& headers, std::string_view name) {
    std::vector<std::string_view> out;
    for (const Header& h : headers)
        if (EqualNoCase(h.name, name)) out.push_back(h.value);
    return out;
}

std::vector<std::string> ConnectionTokens(const std::vector<Header>& headers) {
    std::vector<std::string> tokens;
    for (std::string_view v : Values(headers, "Connection"))
        for (std::string& t : ListElements(v)) tokens.push_back(std::move(t));
    return tokens;
}

bool HasToken(const std::vector<std::string>& tokens, std::string_view token) {
    return std::any_of(tokens.begin(), tokens.end(), [&](const std::string& t) { return EqualNoCase(t, token); });
}

// The transfer codings end in chunked, and chunked alone is understood.
enum class Coding { Chunked, Other };
Coding TransferCoding(const std::vector<std::string_view>& values) {
    std::vector<std::string> codings;
    for (std::string_view v : values)
        for (std::string& c : ListElements(v)) codings.push_back(std::move(c));
    return codings.size() == 1 && EqualNoCase(codings[0], "chunked") ? Coding::Chunked : Coding::Other;
}

// The end-to-end headers: neither hop-by-hop nor one of `also_drop`.
std::vector<Header> EndToEnd(const std::vector<Header>& headers, std::initializer_list<std::string_view> also_drop) {
    const std::vector<std::string> tokens = ConnectionTokens(headers);
    std::vector<Header> out;
    for (const Header& h : headers) {
        if (IsHopByHop(h.name, tokens)) continue;
        if (std::any_of(also_drop.begin(), also_drop.end(), [&](std::string_view d) { return EqualNoCase(h.name, d); }))
            continue;
        out.push_back(h);
    }
    return out;
}

std::string_view HeadLines(std::string_view head, std::string_view& first) {
    const std::size_t eol = head.find("\r\n");
    first = head.substr(0, eol);
    return eol == std::string_view::npos ? std::string_view() : head.substr(eol + 2);
}

}  // namespace

bool IsHopByHop(std::string_view name, const std::vector<std::string>& connection_tokens) {
    static constexpr std::string_view kFixed[] = {"Connection", "Keep-Alive", "Proxy-Connection", "TE", "Trailer",
                                                  "Transfer-Encoding", "Upgrade", "Proxy-Authenticate",
                                                  "Proxy-Authorization"};
    for (std::string_view f : kFixed)
        if (EqualNoCase(name, f)) return true;
    return HasToken(connection_tokens, name);
}

bool HostAllowed(std::string_view host) {
    std::string_view name = host;
    std::string_view port;
    if (!host.empty() && host.front() == '[') {
        const std::size_t close = host.find(']');
        if (close == std::string_view::npos) return false;
        name = host.substr(0, close + 1);
        const std::string_view after = host.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') return false;
            port = after.substr(1);
        }
    } else if (const std::size_t colon = host.find(':'); colon != std::string_view::npos) {
        name = host.substr(0, colon);
        port = host.substr(colon + 1);
        if (port.empty()) return false;
    }
    if (host.size() > name.size()) {  // a port was given: digits, at most 65535
        std::uint64_t n = 0;
        if (port.empty() || port.size() > 5 || !ParseLength(port, n) || n > 65535) return false;
    }
    return EqualNoCase(name, "localhost") || name == "127.0.0.1" || name == "[::1]";
}

int ParseRequestHead(std::string_view head, Request& out, std::string& why) {
    out = Request();
    std::string_view line;
    const std::string_view rest = HeadLines(head, line);

    // METHOD SP TARGET SP HTTP/1.x, single spaces.
    const std::size_t sp1 = line.find(' ');
    const std::size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || line.find(' ', sp2 + 1) != std::string_view::npos) {
        why = "a request line that is not METHOD TARGET VERSION";
        return 400;
    }
    const std::string_view method = line.substr(0, sp1);
    const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string_view version = line.substr(sp2 + 1);
    if (!IsToken(method) || target.empty() ||
        std::any_of(target.begin(), target.end(), [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F; })) {
        why = "a malformed method or target";
        return 400;
    }
    if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || version[6] != '.' || version[5] < '0' ||
        version[5] > '9' || version[7] < '0' || version[7] > '9') {
        why = "a malformed HTTP version";
        return 400;
    }
    if (version[5] != '1' || (version[7] != '0' && version[7] != '1')) {
        why = "HTTP versions other than 1.0 and 1.1 are not served";
        return 505;
    }
    out.method = std::string(method);
    out.target = std::string(target);
    out.minor = version[7] - '0';

    std::vector<Header> headers;
    if (!SplitHeaders(rest, headers, why)) return 400;

    // The loopback check comes before anything else the request asks for:
    // a page of another site reaching this port by a rebound name is turned
    // away whatever it sends.
    const std::vector<std::string_view> hosts = Values(headers, "Host");
    if (hosts.size() != 1) {
        why = hosts.empty() ? "no Host header" : "more than one Host header";
        return 400;
    }
    if (!HostAllowed(hosts[0])) {
        why = "Host " + std::string(hosts[0]) + " is not this machine's loopback";
        return 421;
    }
    if (method == "CONNECT") {
        why = "CONNECT: this is no forward proxy";
        return 405;
    }
    if (target.front() != '/' && !(target == "*" && method == "OPTIONS")) {
        why = target.find("://") != std::string_view::npos ? "an absolute-form target: this is no forward proxy"
                                                            : "a target that is not a path";
        return target.find("://") != std::string_view::npos ? 501 : 400;
    }
    if (!Values(headers, "Upgrade").empty()) {
        why = "Upgrade: the device's channel carries HTTP/1.1 alone";
        return 501;
    }

    const std::vector<std::string_view> lengths = Values(headers, "Content-Length");
    const std::vector<std::string_view> codings = Values(headers, "Transfer-Encoding");
    if (!lengths.empty() && !codings.empty()) {
        why = "both Content-Length and Transfer-Encoding";
        return 400;
    }
    if (!codings.empty()) {
        if (out.minor == 0) {
            why = "Transfer-Encoding in an HTTP/1.0 request";
            return 400;
        }
        if (TransferCoding(codings) != Coding::Chunked) {
            why = "a transfer coding other than chunked";
            return 501;
        }
        out.body = BodyKind::Chunked;
    } else if (!lengths.empty()) {
        if (!ParseContentLength(lengths, out.length)) {
            why = "a bad Content-Length";
            return 400;
        }
        if (out.length > kMaxRequestBody) {
            why = "a body longer than " + std::to_string(kMaxRequestBody) + " bytes";
            return 413;
        }
        out.body = out.length > 0 ? BodyKind::Length : BodyKind::None;
    }

    for (std::string_view e : Values(headers, "Expect")) {
        if (!EqualNoCase(Trim(e), "100-continue")) {
            why = "an Expect other than 100-continue";
            return 417;
        }
        out.expect_continue = out.minor == 1;
    }

    const std::vector<std::string> tokens = ConnectionTokens(headers);
    out.keep_alive = out.minor == 1 && !HasToken(tokens, "close");
    out.headers = EndToEnd(headers, {"Content-Length", "Expect"});
    return 0;
}

std::string DeviceRequestHead(const Request& r, std::uint64_t body_length) {
    std::string head = r.method + " " + r.target + " HTTP/1.1\r\n";
    for (const Header& h : r.headers) head += h.name + ": " + h.value + "\r\n";
    const bool sends_body = body_length > 0 || r.body != BodyKind::None || r.method == "POST" || r.method == "PUT";
    if (sends_body) head += "Content-Length: " + std::to_string(body_length) + "\r\n";
    head += "\r\n";
    return head;
}

int ParseResponseHead(std::string_view head, const std::string& method, Response& out, std::string& why) {
    out = Response();
    std::string_view line;
    const std::string_view rest = HeadLines(head, line);
    // HTTP/1.x SP 3DIGIT [SP reason]
    if (line.size() < 12 || line.substr(0, 7) != "HTTP/1." || line[7] < '0' || line[7] > '9' || line[8] != ' ' ||
        !std::all_of(line.begin() + 9, line.begin() + 12, [](char c) { return c >= '0' && c <= '9'; }) ||
        (line.size() > 12 && line[12] != ' ')) {
        why = "a status line that is not HTTP/1.x";
        return 502;
    }
    out.status = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
    out.reason = line.size() > 13 ? std::string(line.substr(13)) : std::string();
    if (out.status < 100) {
        why = "a status below 100";
        return 502;
    }
    std::vector<Header> headers;
    if (!SplitHeaders(rest, headers, why)) return 502;
    if (out.status == 101) {
        why = "a switch of protocols that was not asked for";
        return 502;
    }
    out.device_closes = HasToken(ConnectionTokens(headers), "close");
    out.headers = EndToEnd(headers, {});

    const std::vector<std::string_view> lengths = Values(headers, "Content-Length");
    const std::vector<std::string_view> codings = Values(headers, "Transfer-Encoding");
    std::uint64_t length = 0;
    const bool length_ok = lengths.empty() || ParseContentLength(lengths, length);
    if (!length_ok) {
        why = "a bad Content-Length";
        return 502;
    }
    // A response that has no body whatever its headers say.
    if (method == "HEAD" || out.status < 200 || out.status == 204 || out.status == 304) return 0;
    if (!codings.empty()) {
        if (!lengths.empty()) {
            why = "both Content-Length and Transfer-Encoding";
            return 502;
        }
        if (TransferCoding(codings) != Coding::Chunked) {
            why = "a transfer coding that does not end the body";
            return 502;
        }
        out.body = BodyKind::Chunked;
        return 0;
    }
    if (lengths.empty()) {
        why = "no framing: the channel never says where such a body ends";
        return 502;
    }
    out.length = length;
    out.body = length > 0 ? BodyKind::Length : BodyKind::None;
    return 0;
}

std::string ClientResponseHead(const Response& r, bool chunked, bool close) {
    std::string head = "HTTP/1.1 " + std::to_string(r.status) + " " +
                       (r.reason.empty() ? std::string(ReasonPhrase(r.status)) : r.reason) + "\r\n";
    for (const Header& h : r.headers) {
        if (chunked && EqualNoCase(h.name, "Content-Length")) continue;
        head += h.name + ": " + h.value + "\r\n";
    }
    if (chunked) head += "Transfer-Encoding: chunked\r\n";
    if (close) head += "Connection: close\r\n";
    head += "\r\n";
    return head;
}

const char* ReasonPhrase(int status) {
    switch (status) {
        case 100: return "Continue";
        case 200: return "OK";
        case 204: return "No Content";
        case 303: return "See Other";
        case 304: return "Not Modified";
        case 400: return "Bad Request";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 413: return "Content Too Large";
        case 417: return "Expectation Failed";
        case 421: return "Misdirected Request";
        case 431: return "Request Header Fields Too Large";
        case 500: return "Internal Server Error";
        case 501: return "Not Implemented";
        case 502: return "Bad Gateway";
        case 503: return "Service Unavailable";
        case 504: return "Gateway Timeout";
        case 505: return "HTTP Version Not Supported";
        default: return "Status";
    }
}

std::string OwnResponse(int status, const std::string& text, bool head_request, bool close, const std::string& extra) {
    const std::string body = text + "\n";
    std::string r = "HTTP/1.1 " + std::to_string(status) + " " + ReasonPhrase(status) +
                    "\r\nServer: tessaline-web\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                    std::to_string(body.size()) + "\r\n" + extra;
    if (close) r += "Connection: close\r\n";
    r += "\r\n";
    if (!head_request) r += body;
    return r;
}

namespace {

// The fewest bytes that must still come before `got` can end in `end`: the
// part of `end` that the longest tail of `got` does not yet match. Reading
// that many never reads past the end, and spares a read per byte.
std::size_t Needed(const std::string& got, std::string_view end) {
    for (std::size_t m = std::min(got.size(), end.size() - 1); m > 0; --m)
        if (got.compare(got.size() - m, m, end.data(), m) == 0) return end.size() - m;
    return end.size();
}

}  // namespace

ReadResult ReadHead(ByteSource& in, std::string& head, std::size_t max) {
    head.clear();
    std::uint8_t c = 0;
    // Blank lines before the head are no part of it; a source that ends
    // among them ends between messages.
    std::size_t skipped = 0;
    do {
        if (!in.Read(&c, 1)) return ReadResult::Closed;
        if ((c == '\r' || c == '\n') && ++skipped > 64) return ReadResult::Malformed;
    } while (c == '\r' || c == '\n');
    head.assign(1, static_cast<char>(c));
    static constexpr std::string_view kEnd = "\r\n\r\n";
    while (head.size() < 4 || head.compare(head.size() - 4, 4, kEnd.data(), 4) != 0) {
        if (head.size() >= max) return ReadResult::TooLong;
        std::uint8_t buf[4];
        const std::size_t n = std::min(Needed(head, kEnd), max - head.size());
        if (!in.Read(buf, n)) return ReadResult::Failed;
        head.append(reinterpret_cast<const char*>(buf), n);
    }
    return ReadResult::Ok;
}

namespace {

// A line of the chunked coding (a size line or a trailer line), CRLF
// removed; at most 4096 bytes. Read two bytes at a time, or one after a CR,
// so never past the line's end.
ReadResult ReadLine(ByteSource& in, std::string& line) {
    line.clear();
    while (true) {
        std::uint8_t buf[2];
        const std::size_t n = !line.empty() && line.back() == '\r' ? 1 : 2;
        if (!in.Read(buf, n)) return ReadResult::Failed;
        for (std::size_t i = 0; i < n; ++i) {
            if (buf[i] == '\n') {
                if (line.empty() || line.back() != '\r' || i + 1 != n) return ReadResult::Malformed;
                line.pop_back();
                return ReadResult::Ok;
            }
            if (line.size() >= 4096) return ReadResult::Malformed;
            line += static_cast<char>(buf[i]);
        }
    }
}

ReadResult ReadData(ByteSource& in, std::uint64_t count,
                    const std::function<void(const std::uint8_t*, std::size_t)>& sink, std::size_t piece) {
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(std::min<std::uint64_t>(count, piece)));
    while (count > 0) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, buf.size()));
        if (!in.Read(buf.data(), n)) return ReadResult::Failed;
        sink(buf.data(), n);
        count -= n;
    }
    return ReadResult::Ok;
}

}  // namespace

ReadResult ReadBody(ByteSource& in, BodyKind kind, std::uint64_t length,
                    const std::function<void(const std::uint8_t*, std::size_t)>& sink, std::size_t piece,
                    std::uint64_t max_total) {
    if (piece == 0) piece = 1;
    if (kind == BodyKind::None) return ReadResult::Ok;
    if (kind == BodyKind::Length) {
        if (length > max_total) return ReadResult::TooLong;
        return ReadData(in, length, sink, piece);
    }
    std::uint64_t total = 0;
    std::string line;
    while (true) {
        if (ReadResult r = ReadLine(in, line); r != ReadResult::Ok) return r;
        // chunk-size [; extensions], hexadecimal, at most 15 digits.
        const std::string_view size_text = Trim(std::string_view(line).substr(0, line.find(';')));
        if (size_text.empty() || size_text.size() > 15) return ReadResult::Malformed;
        std::uint64_t size = 0;
        for (char c : size_text) {
            const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (d < 0) return ReadResult::Malformed;
            size = size * 16 + static_cast<std::uint64_t>(d);
        }
        if (size == 0) break;
        if (size > max_total - total) return ReadResult::TooLong;
        total += size;
        if (ReadResult r = ReadData(in, size, sink, piece); r != ReadResult::Ok) return r;
        std::uint8_t crlf[2];
        if (!in.Read(crlf, 2)) return ReadResult::Failed;
        if (crlf[0] != '\r' || crlf[1] != '\n') return ReadResult::Malformed;
    }
    // The trailer: header lines up to a blank one, dropped.
    std::size_t trailer = 0;
    while (true) {
        if (ReadResult r = ReadLine(in, line); r != ReadResult::Ok) return r;
        if (line.empty()) return ReadResult::Ok;
        trailer += line.size() + 2;
        if (trailer > kMaxHead) return ReadResult::TooLong;
    }
}

std::string ChunkHeader(std::size_t size) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%zx\r\n", size);
    return buf;
}

}  // namespace web
