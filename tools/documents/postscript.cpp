// Text and images as PostScript programs, for Ghostscript to lay out and
// render like any other document.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "tools/documents/raster.h"

namespace doc {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

constexpr int kColumns = 80;  // a line is wrapped after this many characters
constexpr int kTabStop = 8;

// The page's size comes from the device Ghostscript renders for: the
// programs below read it, so that one program fits A4 and Letter alike.
const char kProlog[] =
    "%!PS-Adobe-3.0\n"
    "/pw currentpagedevice /PageSize get 0 get def\n"
    "/ph currentpagedevice /PageSize get 1 get def\n"
    "/margin 36 def\n";

const char kTextProlog[] =
    "/Courier findfont dup length dict begin\n"
    "  { 1 index /FID ne { def } { pop pop } ifelse } forall\n"
    "  /Encoding ISOLatin1Encoding def currentdict end\n"
    "/TessalineCourier exch definefont pop\n"
    "/size pw 2 margin mul sub 80 div 0.6 div dup 11 gt { pop 11 } if def\n"
    "/lead size 1.2 mul def\n"
    "/top ph margin sub size sub def\n"
    "/y top def /used false def\n"
    "/TessalineCourier findfont size scalefont setfont\n"
    "/F { used { showpage } if /y top def /used false def } def\n"
    "/L { y margin lt { F } if margin y moveto show /y y lead sub def /used true def } def\n";

void PutPsString(std::string& out, const std::string& latin1) {
    out += '(';
    for (unsigned char c : latin1) {
        if (c == '(' || c == ')' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof(buf), "\\%03o", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += ')';
}

// The text as Latin-1: UTF-8 decoded (characters beyond Latin-1 as '?'),
// anything that is not valid UTF-8 taken byte for byte.
std::string ToLatin1(const std::string& in) {
    std::string out;
    std::size_t i = 0;
    if (in.compare(0, 3, "\xEF\xBB\xBF") == 0) i = 3;  // byte-order mark
    for (; i < in.size();) {
        const auto c = static_cast<unsigned char>(in[i]);
        int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
        if (extra < 0 || i + static_cast<std::size_t>(extra) >= in.size() + (extra == 0)) return in;
        std::uint32_t cp = extra == 0 ? c : c & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            const auto d = static_cast<unsigned char>(in[i + k]);
            if ((d & 0xC0) != 0x80) return in;
            cp = cp << 6 | (d & 0x3F);
        }
        if ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) || cp > 0x10FFFF)
            return in;  // an overlong form is no UTF-8
        out += cp <= 0xFF ? static_cast<char>(cp) : '?';
        i += static_cast<std::size_t>(extra) + 1;
    }
    return out;
}

bool WriteAll(std::FILE* f, const std::string& s) { return std::fwrite(s.data(), 1, s.size(), f) == s.size(); }

void Ascii85(std::string& out, const std::uint8_t* p, std::size_t n) {
    int column = 0;
    auto put = [&](char c) {
        out += c;
        if (++column == 75) {
            out += '\n';
            column = 0;
        }
    };
    for (std::size_t i = 0; i < n; i += 4) {
        const std::size_t k = n - i < 4 ? n - i : 4;
        std::uint32_t v = 0;
        for (std::size_t j = 0; j < 4; ++j) v = v << 8 | (j < k ? p[i + j] : 0);
        if (k == 4 && v == 0) {
            put('z');
            continue;
        }
        char digits[5];
        for (int j = 4; j >= 0; --j) {
            digits[j] = static_cast<char>('!' + v % 85);
            v /= 85;
        }
        for (std::size_t j = 0; j < k + 1; ++j) put(digits[j]);
    }
    out += "~>\n";
}

}  // namespace

bool TextToPostScript(const std::string& text_path, const std::string& ps_path, std::string& error) {
    File in(std::fopen(text_path.c_str(), "rb"));
    if (!in) {
        error = "cannot open " + text_path + ": " + std::strerror(errno);
        return false;
    }
    std::string raw;
    char buf[65536];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof(buf), in.get())) > 0;) raw.append(buf, n);
    if (std::ferror(in.get())) {
        error = "cannot read " + text_path + ": " + std::strerror(errno);
        return false;
    }
    // Only the start was looked at to call it text: the whole must be.
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const auto c = static_cast<unsigned char>(raw[i]);
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != 0x1B) || c == 0x7F) {
            error = text_path + " starts as plain text but holds binary data at byte " + std::to_string(i);
            return false;
        }
    }
    const std::string text = ToLatin1(raw);

    std::string ps = std::string(kProlog) + kTextProlog;
    std::string line;
    int column = 0;
    auto flush_line = [&] {
        PutPsString(ps, line);
        ps += " L\n";
        line.clear();
        column = 0;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\n') {
            flush_line();
        } else if (c == '\r') {
            if (i + 1 < text.size() && text[i + 1] == '\n') continue;
            flush_line();  // a lone carriage return ends a line too
        } else if (c == '\f') {
            if (!line.empty()) flush_line();
            ps += "F\n";
        } else if (c == 0x1B) {
            continue;  // printer escapes are not shown
        } else {
            if (column == kColumns) flush_line();
            if (c == '\t') {
                do {
                    line += ' ';
                    ++column;
                } while (column % kTabStop != 0 && column < kColumns);
            } else {
                line += c;
                ++column;
            }
        }
    }
    if (!line.empty()) flush_line();
    ps += "used { showpage } if\n";

    File out(std::fopen(ps_path.c_str(), "wb"));
    if (!out || !WriteAll(out.get(), ps) || std::fclose(out.release()) != 0) {
        error = "cannot write " + ps_path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool ImagesToPostScript(const std::vector<GrayImage>& images, const std::string& ps_path, std::string& error) {
    File out(std::fopen(ps_path.c_str(), "wb"));
    if (!out) {
        error = "cannot write " + ps_path + ": " + std::strerror(errno);
        return false;
    }
    // `place` maps the unit square onto the image's place on the page: the
    // image's own size when the file gives its resolution and it fits, else
    // as large as the page allows; turned a quarter when it is wider than
    // high and the page is not.
    std::string ps = std::string(kProlog) +
                     "/place { /sh exch def /sw exch def\n"
                     "  /aw pw 2 margin mul sub def /ah ph 2 margin mul sub def\n"
                     "  /rot sw sh gt aw ah lt and def\n"
                     "  rot { /t sw def /sw sh def /sh t def } if\n"
                     "  /s aw sw div ah sh div 2 copy gt { exch } if pop def\n"
                     "  known s 1 gt and { /s 1 def } if\n"
                     "  /dw sw s mul def /dh sh s mul def\n"
                     "  pw dw sub 2 div ph dh sub 2 div translate dw dh scale\n"
                     "  rot { 0 1 translate -90 rotate } if } def\n";
    bool ok = WriteAll(out.get(), ps);
    for (const GrayImage& g : images) {
        if (!ok) break;
        const bool known = g.xdpi > 0 && g.ydpi > 0;
        const double sw = known ? g.width * 72.0 / g.xdpi : g.width;
        const double sh = known ? g.height * 72.0 / g.ydpi : g.height;
        char head[256];
        std::snprintf(head, sizeof(head),
                      "gsave /known %s def %.4f %.4f place\n%u %u 8 [%u 0 0 -%u 0 %u] currentfile /ASCII85Decode "
                      "filter image\n",
                      known ? "true" : "false", sw, sh, g.width, g.height, g.width, g.height, g.height);
        std::string page = head;
        Ascii85(page, g.pixels.data(), g.pixels.size());
        page += "grestore showpage\n";
        ok = WriteAll(out.get(), page);
    }
    if (!ok || std::fclose(out.release()) != 0) {
        error = "cannot write " + ps_path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace doc
