// tessaline-mktiff: writes a multi-page fax image (bilevel, CCITT G4
// compressed through libtiff, 1728 pixels wide, 204 x 196 or 204 x 98 dpi),
// for trying the fax path end to end without a scanner. Each page carries a
// frame and as many bars as its page number, so pages can be told apart.
//
//   tessaline-mktiff [--resolution=fine|normal] [--paper=a4|letter] OUTPUT [PAGES]
//   (--help, --version)
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/documents/raster.h"
#include "tools/options.h"

namespace {

constexpr int kUsageError = 64;
constexpr std::uint32_t kWidth = 1728;
constexpr std::uint32_t kRowBytes = kWidth / 8;

const char kUsage[] =
    "Usage: tessaline-mktiff [--resolution=fine|normal] [--paper=a4|letter] OUTPUT [PAGES]\n"
    "\n"
    "Writes PAGES (1 to 100, default 3) fax pages to OUTPUT: a TIFF image, bilevel, CCITT G4\n"
    "compressed, 1728 pixels wide, at 204 x 196 dpi (fine, the default) or 204 x 98 dpi (normal),\n"
    "as long as an A4 (the default) or Letter page. Each page shows a frame and as many bars as\n"
    "its number.\n"
    "\n"
    "  --version  the version\n"
    "Every option may be written --option=VALUE or --option VALUE; -- ends the options.\n"
    "\n"
    "Exit status: 0 when the file was written, 1 when it could not be, 64 for a usage error.\n";

// A whole number from 1 to 100, written in plain decimal digits.
bool ParsePages(const char* text, int& pages) {
    const std::size_t n = std::strlen(text);
    if (n == 0 || n > 3) return false;
    int v = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + (text[i] - '0');
    }
    if (v < 1 || v > 100) return false;
    pages = v;
    return true;
}

// One page, drawn on a 196-dpi grid and scaled to the page's rows.
doc::BilevelPage DrawPage(int page, std::uint32_t height, double ydpi) {
    doc::BilevelPage p;
    p.width = kWidth;
    p.height = height;
    p.xdpi = 204;
    p.ydpi = ydpi;
    p.bits.assign(kRowBytes * height, 0);
    const double scale = ydpi / 196.0;
    auto black = [&](std::uint32_t x0, std::uint32_t y0, std::uint32_t x1, std::uint32_t y1) {
        const auto r0 = static_cast<std::uint32_t>(y0 * scale), r1 = static_cast<std::uint32_t>(y1 * scale);
        for (std::uint32_t y = r0; y < r1 && y < height; ++y)
            for (std::uint32_t x = x0; x < x1 && x < kWidth; ++x) p.bits[y * kRowBytes + x / 8] |= 0x80 >> (x % 8);
    };
    const auto h = static_cast<std::uint32_t>(height / scale);
    black(40, 40, kWidth - 40, 56);  // frame
    black(40, h - 56, kWidth - 40, h - 40);
    black(40, 40, 56, h - 40);
    black(kWidth - 56, 40, kWidth - 40, h - 40);
    for (int bar = 0; bar < page; ++bar) black(200 + bar * 120, 300, 260 + bar * 120, 900);
    for (std::uint32_t y = 1000; y < 2000; y += 48) black(200, y, kWidth - 200 - (y % 300), y + 16);  // "text"
    return p;
}

int Usage(const char* message) {
    std::fprintf(stderr, "tessaline-mktiff: %s\nRun 'tessaline-mktiff --help' for usage.\n", message);
    return kUsageError;
}

}  // namespace

int main(int argc, char** argv) {
    cli::Parsed args;
    std::string error;
    if (!cli::ParseOptions(std::vector<std::string>(argv + 1, argv + argc),
                           {{"--resolution", 0, true}, {"--paper", 0, true}, {"--version", 0, false}}, args, error))
        return Usage(error.c_str());
    if (args.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (args.Has("--version")) {
        std::printf("tessaline-mktiff %s\n", TESSALINE_VERSION);
        return 0;
    }
    if (args.json) return Usage("unknown option --json");
    double ydpi = 196;
    if (args.Has("--resolution")) {
        const std::string v = args.Value("--resolution");
        if (v != "fine" && v != "normal") return Usage("--resolution takes fine or normal");
        ydpi = v == "fine" ? 196 : 98;
    }
    bool letter = false;
    if (args.Has("--paper")) {
        const std::string v = args.Value("--paper");
        if (v != "a4" && v != "letter") return Usage("--paper takes a4 or letter");
        letter = v == "letter";
    }
    const std::vector<std::string>& positional = args.positional;
    if (positional.empty() || positional.size() > 2) return Usage("give OUTPUT and, optionally, PAGES");
    int pages = 3;
    if (positional.size() == 2 && !ParsePages(positional[1].c_str(), pages))
        return Usage("PAGES is a whole number from 1 to 100");
    const double inches = letter ? 11.0 : 297.0 / 25.4;
    const auto height = static_cast<std::uint32_t>(inches * ydpi + 0.5);
    std::vector<doc::BilevelPage> out;
    for (int page = 1; page <= pages; ++page) out.push_back(DrawPage(page, height, ydpi));
    if (!doc::WriteFaxTiff(positional[0], out, error)) {
        std::fprintf(stderr, "tessaline-mktiff: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
