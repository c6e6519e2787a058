// The simulated device's web pages (see ews_pages.h).
#include "sim/ews_pages.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/byte_order.h"

namespace sim {
namespace ews {
namespace {

struct TextField {
    const char* name;
    const char* label;
    std::size_t offset;
    std::size_t width;
};
constexpr TextField kTextFields[] = {
    {"FaxName", "Fax name", 96, 128},
    {"FaxNumber", "Fax number", 224, 32},
    {"Prefix", "Dialling prefix", 32, 32},
    {"OutsideLineAccess", "Outside line access", 64, 32},
};

struct NumberField {
    const char* name;
    const char* label;
    std::size_t offset;
};
constexpr NumberField kNumberFields[] = {
    {"RingPattern", "Ring pattern (0 all, 1 single, 2 double, 3 triple, 4 double and triple)", 256},
    {"PulseDialing", "Pulse dialling (0 or 1)", 260},
    {"bThumbFirst", "Thumbnail first (0 or 1)", 264},
    {"bPrintConfigReport", "Print configuration report (0 or 1)", 268},
    {"AutoAnswer", "Answer mode (0 manual, 1 auto, 2 fax/tel, 3 answering machine)", 272},
};

std::string Field(const std::uint8_t* p, std::size_t width) {
    const void* nul = std::memchr(p, 0, width);
    return std::string(reinterpret_cast<const char*>(p),
                       nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - p) : width);
}

std::string Html(const std::string& in) {
    std::string out;
    for (char c : in) {
        switch (c) {
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '&': out += "&amp;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string Json(const std::string& in) {
    std::string out;
    for (unsigned char c : in) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof(buf), "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// A fax name as one segment of a path: everything but unreserved bytes as %XX.
std::string PathSegment(const std::string& in) {
    std::string out;
    for (unsigned char c : in) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
            c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            char buf[4];
            std::snprintf(buf, sizeof(buf), "%%%02X", c);
            out += buf;
        }
    }
    return out;
}

int Hex(char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

bool Decode(const std::string& in, bool plus_is_space, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] == '%') {
            if (i + 2 >= in.size()) return false;
            const int hi = Hex(in[i + 1]), lo = Hex(in[i + 2]);
            if (hi < 0 || lo < 0) return false;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += plus_is_space && in[i] == '+' ? ' ' : in[i];
        }
    }
    return true;
}

std::string Layout(const DeviceView& view, const std::string& heading, const std::string& content) {
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>" + Html(heading) + " - " +
           Html(view.title) +
           "</title>\n<link rel=\"stylesheet\" href=\"/style.css\">\n</head><body>\n"
           "<header><img src=\"/logo.png\" width=\"40\" height=\"40\" alt=\"\"><span class=\"device\">" +
           Html(view.title) +
           "</span>\n<nav><a href=\"/\">Home</a> <a href=\"/settings\">Settings</a> "
           "<a href=\"/faxes\">Received faxes</a></nav></header>\n<main>\n<h1>" +
           Html(heading) + "</h1>\n" + content + "</main>\n</body></html>\n";
}

std::string Home(const DeviceView& view) {
    const std::string name = Field(view.settings + 96, 128);
    const std::string number = Field(view.settings + 224, 32);
    return Layout(view, "Device",
                  "<table class=\"facts\">\n<tr><th>Fax name</th><td id=\"fax-name\">" + Html(name) +
                      "</td></tr>\n<tr><th>Fax number</th><td id=\"fax-number\">" + Html(number) +
                      "</td></tr>\n<tr><th>Device date</th><td>" + Html(view.device_time) +
                      "</td></tr>\n<tr><th>Received faxes</th><td><a href=\"/faxes\">" +
                      std::to_string(view.faxes.size()) + "</a></td></tr>\n<tr><th>Sent jobs</th><td>" +
                      std::to_string(view.sent_jobs) +
                      "</td></tr>\n</table>\n<p><a href=\"/settings\">Change the settings</a> - "
                      "<a href=\"/status.json\">status for programs</a></p>\n");
}

std::string SettingsPage(const DeviceView& view, const std::string& message) {
    std::string rows;
    for (const TextField& f : kTextFields)
        rows += "<tr><th><label for=\"" + std::string(f.name) + "\">" + f.label + "</label></th><td><input id=\"" +
                f.name + "\" name=\"" + f.name + "\" maxlength=\"" + std::to_string(f.width - 1) + "\" value=\"" +
                Html(Field(view.settings + f.offset, f.width)) + "\"></td></tr>\n";
    for (const NumberField& f : kNumberFields)
        rows += "<tr><th><label for=\"" + std::string(f.name) + "\">" + f.label + "</label></th><td><input id=\"" +
                f.name + "\" name=\"" + f.name + "\" type=\"number\" min=\"0\" max=\"4294967295\" value=\"" +
                std::to_string(wire::LoadBE32(view.settings + f.offset)) + "\"></td></tr>\n";
    return Layout(view, "Settings",
                  (message.empty() ? std::string() : "<p class=\"error\">" + Html(message) + "</p>\n") +
                      "<form method=\"post\" action=\"/settings\">\n<table class=\"form\">\n" + rows +
                      "</table>\n<p><button type=\"submit\">Save</button></p>\n</form>\n");
}

std::string LogTime(const std::uint8_t* log) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), "20%02u-%02u-%02u %02u:%02u:%02u", log[6] % 100u, log[5] % 100u, log[4] % 100u,
                  log[0] % 100u, log[1] % 100u, log[2] % 100u);
    return buf;
}

// The fax list in pieces: the page's start, one piece a fax, its end.
Reply Faxes(const DeviceView& view) {
    Reply r;
    r.chunked = true;
    std::string page = Layout(view, "Received faxes", "@@");
    const std::size_t split = page.find("@@");
    r.body = page.substr(0, split);
    if (view.faxes.empty()) {
        r.body += "<p id=\"no-faxes\">The device holds no received faxes.</p>\n";
    } else {
        r.body += "<table class=\"faxes\">\n<tr><th>Name</th><th>Bytes</th><th>Received</th><th>Pages</th>"
                  "<th>Seconds</th><th>Sender</th></tr>\n";
        for (const FaxEntry& f : view.faxes) {
            r.body += "<tr><td><a class=\"fax\" href=\"/faxes/" + PathSegment(f.name) + "\">" + Html(f.name) +
                      "</a></td><td>" + std::to_string(f.data ? f.data->size() : 0) + "</td><td>" + LogTime(f.log) +
                      "</td><td>" + std::to_string(f.log[20]) + "</td><td>" +
                      std::to_string(wire::LoadBE32(f.log + 8)) + "</td><td>" + Html(Field(f.log + 22, 20)) +
                      "</td></tr>\n";
        }
        r.body += "</table>\n";
    }
    r.body += page.substr(split + 2);
    return r;
}

const char kStyle[] =
    "body{font-family:sans-serif;margin:0;background:#f4f6f8;color:#1d2733}\n"
    "header{display:flex;align-items:center;gap:12px;background:#1f4e79;color:#fff;padding:8px 16px}\n"
    "header .device{font-size:1.2em;font-weight:bold}\n"
    "nav{margin-left:auto}nav a{color:#fff;margin-left:16px;text-decoration:none}\n"
    "main{padding:16px 24px}table{border-collapse:collapse;background:#fff}\n"
    "th,td{border:1px solid #c9d3dd;padding:6px 10px;text-align:left}\n"
    "input{width:22em}.error{color:#a40000;font-weight:bold}\n";

std::uint32_t Crc32(const std::uint8_t* p, std::size_t n, std::uint32_t crc = 0) {
    crc = ~crc;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void Chunk(Bytes& png, const char* type, const Bytes& data) {
    std::uint8_t len[4];
    wire::StoreBE32(len, static_cast<std::uint32_t>(data.size()));
    png.insert(png.end(), len, len + 4);
    const std::size_t start = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    std::uint8_t crc[4];
    wire::StoreBE32(crc, Crc32(png.data() + start, png.size() - start));
    png.insert(png.end(), crc, crc + 4);
}

Bytes MakeLogo() {
    constexpr int kSize = 40;
    // The picture: a sheet of paper with lines of text on a blue tile.
    Bytes raw;
    for (int y = 0; y < kSize; ++y) {
        raw.push_back(0);  // filter: none
        for (int x = 0; x < kSize; ++x) {
            std::uint8_t r = 0x1f, g = 0x4e, b = 0x79;
            const bool paper = x >= 10 && x < 30 && y >= 6 && y < 34;
            const bool line = paper && x >= 13 && x < 27 && (y - 11) % 5 == 0 && y >= 11 && y < 30;
            if (paper) r = g = b = 0xff;
            if (line) r = 0x1f, g = 0x4e, b = 0x79;
            raw.insert(raw.end(), {r, g, b});
        }
    }
    // zlib: header, stored blocks of at most 65535 bytes, Adler-32.
    Bytes z = {0x78, 0x01};
    for (std::size_t at = 0; at < raw.size() || at == 0;) {
        const std::size_t n = std::min<std::size_t>(raw.size() - at, 65535);
        const bool last = at + n == raw.size();
        z.push_back(last ? 1 : 0);
        z.push_back(static_cast<std::uint8_t>(n & 0xFF));
        z.push_back(static_cast<std::uint8_t>(n >> 8));
        z.push_back(static_cast<std::uint8_t>(~n & 0xFF));
        z.push_back(static_cast<std::uint8_t>((~n >> 8) & 0xFF));
        z.insert(z.end(), raw.begin() + static_cast<std::ptrdiff_t>(at), raw.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
        if (last) break;
    }
    std::uint32_t a = 1, b = 0;
    for (std::uint8_t c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    std::uint8_t adler[4];
    wire::StoreBE32(adler, (b << 16) | a);
    z.insert(z.end(), adler, adler + 4);

    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes ihdr(13, 0);
    wire::StoreBE32(ihdr.data(), kSize);
    wire::StoreBE32(ihdr.data() + 4, kSize);
    ihdr[8] = 8;  // bits per sample
    ihdr[9] = 2;  // truecolour
    Chunk(png, "IHDR", ihdr);
    Chunk(png, "IDAT", z);
    Chunk(png, "IEND", {});
    return png;
}

}  // namespace

const Bytes& LogoPng() {
    static const Bytes logo = MakeLogo();
    return logo;
}

Reply Status(int status, const std::string& text) {
    Reply r;
    r.status = status;
    r.type = "text/plain; charset=utf-8";
    r.body = text + "\n";
    return r;
}

Reply Page(const std::string& path, const DeviceView& view) {
    Reply r;
    if (path == "/" || path == "/index.html") {
        r.body = Home(view);
    } else if (path == "/settings") {
        r.body = SettingsPage(view, "");
    } else if (path == "/faxes") {
        r = Faxes(view);
    } else if (path.rfind("/faxes/", 0) == 0) {
        std::string name;
        if (!Decode(path.substr(7), false, name)) return Status(400, "a malformed fax name");
        for (const FaxEntry& f : view.faxes) {
            if (f.name != name || !f.data) continue;
            r.type = "image/tiff";
            r.body.assign(f.data->begin(), f.data->end());
            return r;
        }
        return Status(404, "no received fax of that name");
    } else if (path == "/style.css") {
        r.type = "text/css; charset=utf-8";
        r.body = kStyle;
    } else if (path == "/logo.png") {
        r.type = "image/png";
        r.body.assign(LogoPng().begin(), LogoPng().end());
    } else if (path == "/status.json") {
        r.type = "application/json";
        r.body = "{\"device\":\"" + Json(view.title) + "\",\"fax_name\":\"" + Json(Field(view.settings + 96, 128)) +
                 "\",\"fax_number\":\"" + Json(Field(view.settings + 224, 32)) + "\",\"received_faxes\":" +
                 std::to_string(view.faxes.size()) + ",\"sent_jobs\":" + std::to_string(view.sent_jobs) + "}\n";
    } else {
        return Status(404, "not found");
    }
    return r;
}

bool ParseForm(const std::string& body, std::vector<std::pair<std::string, std::string>>& out) {
    out.clear();
    std::size_t at = 0;
    while (at <= body.size()) {
        std::size_t amp = body.find('&', at);
        if (amp == std::string::npos) amp = body.size();
        const std::string pair = body.substr(at, amp - at);
        if (!pair.empty()) {
            const std::size_t eq = pair.find('=');
            std::string name, value;
            if (!Decode(pair.substr(0, eq), true, name)) return false;
            if (eq != std::string::npos && !Decode(pair.substr(eq + 1), true, value)) return false;
            out.emplace_back(std::move(name), std::move(value));
        }
        at = amp + 1;
    }
    return true;
}

Reply SettingsForm(const std::string& body, std::uint8_t (&settings)[kSettingsSize], bool& save) {
    save = false;
    std::vector<std::pair<std::string, std::string>> form;
    if (!ParseForm(body, form)) return Status(400, "the form is not application/x-www-form-urlencoded");
    std::uint8_t changed[kSettingsSize];
    std::memcpy(changed, settings, kSettingsSize);
    for (const auto& [name, value] : form) {
        bool known = false;
        for (const TextField& f : kTextFields) {
            if (name != f.name) continue;
            known = true;
            if (value.size() >= f.width || value.find('\0') != std::string::npos)
                return Status(400, name + " takes at most " + std::to_string(f.width - 1) + " bytes");
            std::memset(changed + f.offset, 0, f.width);
            std::memcpy(changed + f.offset, value.data(), value.size());
        }
        for (const NumberField& f : kNumberFields) {
            if (name != f.name) continue;
            known = true;
            std::uint64_t n = 0;
            bool ok = !value.empty() && value.size() <= 10;
            for (char c : value) {
                ok = ok && c >= '0' && c <= '9';
                n = n * 10 + static_cast<std::uint64_t>(c - '0');
            }
            if (!ok || n > 0xFFFFFFFFu) return Status(400, name + " takes a number of 0 to 4294967295");
            wire::StoreBE32(changed + f.offset, static_cast<std::uint32_t>(n));
        }
        if (!known) return Status(400, "the settings have no field " + name);
    }
    std::memcpy(settings, changed, kSettingsSize);
    save = true;
    Reply r;
    r.status = 303;
    r.type = "text/plain; charset=utf-8";
    r.headers.emplace_back("Location", "/settings");
    r.body = "saved\n";
    return r;
}

std::string Serialize(const Reply& r, bool head_only, bool close) {
    const char* reason = r.status == 200   ? "OK"
                         : r.status == 303 ? "See Other"
                         : r.status == 400 ? "Bad Request"
                         : r.status == 404 ? "Not Found"
                         : r.status == 405 ? "Method Not Allowed"
                         : r.status == 411 ? "Length Required"
                         : r.status == 431 ? "Request Header Fields Too Large"
                                           : "Status";
    std::string out = "HTTP/1.1 " + std::to_string(r.status) + " " + reason + "\r\nServer: tessaline-simd\r\n" +
                      "Content-Type: " + r.type + "\r\n";
    for (const auto& [name, value] : r.headers) out += name + ": " + value + "\r\n";
    out += r.chunked ? std::string("Transfer-Encoding: chunked\r\n")
                     : "Content-Length: " + std::to_string(r.body.size()) + "\r\n";
    if (close) out += "Connection: close\r\n";
    out += "\r\n";
    if (head_only) return out;
    if (!r.chunked) return out + r.body;
    // Pieces of at most 1 KiB, as a device that writes its page as it goes.
    for (std::size_t at = 0; at < r.body.size(); at += 1024) {
        const std::size_t n = std::min<std::size_t>(1024, r.body.size() - at);
        char size[16];
        std::snprintf(size, sizeof(size), "%zx\r\n", n);
        out += size + r.body.substr(at, n) + "\r\n";
    }
    return out + "0\r\n\r\n";
}

}  // namespace ews
}  // namespace sim
