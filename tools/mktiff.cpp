// tessaline-mktiff: writes a multi-page bilevel TIFF at fax resolution
// (1728 pixels wide, 204 x 196 dpi), for trying the fax path end to end
// without a scanner. Each page carries a frame and as many bars as its page
// number, so pages can be told apart.
//
//   tessaline-mktiff OUTPUT [PAGES]    (--help, --version)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kWidth = 1728;
constexpr std::uint32_t kHeight = 2200;
constexpr std::uint32_t kRowBytes = kWidth / 8;

void Put16(std::vector<std::uint8_t>& out, std::uint32_t at, std::uint16_t v) {
    out[at] = static_cast<std::uint8_t>(v);
    out[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void Append(std::vector<std::uint8_t>& out, std::size_t n) { out.resize(out.size() + n, 0); }

// One page: 1 bit a pixel, 1 = black (WhiteIsZero).
std::vector<std::uint8_t> DrawPage(int page) {
    std::vector<std::uint8_t> image(kRowBytes * kHeight, 0);
    auto black = [&](std::uint32_t x0, std::uint32_t y0, std::uint32_t x1, std::uint32_t y1) {
        for (std::uint32_t y = y0; y < y1 && y < kHeight; ++y)
            for (std::uint32_t x = x0; x < x1 && x < kWidth; ++x) image[y * kRowBytes + x / 8] |= 0x80 >> (x % 8);
    };
    black(40, 40, kWidth - 40, 56);                  // frame
    black(40, kHeight - 56, kWidth - 40, kHeight - 40);
    black(40, 40, 56, kHeight - 40);
    black(kWidth - 56, 40, kWidth - 40, kHeight - 40);
    for (int bar = 0; bar < page; ++bar) black(200 + bar * 120, 300, 260 + bar * 120, 900);
    for (std::uint32_t y = 1000; y < 2000; y += 48) black(200, y, kWidth - 200 - (y % 300), y + 16);  // "text"
    return image;
}

int Usage(const char* message) {
    std::fprintf(stderr, "tessaline-mktiff: %s\nRun 'tessaline-mktiff --help' for usage.\n", message);
    return 64;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<const char*> operands;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::printf(
                "Usage: tessaline-mktiff OUTPUT [PAGES]\n\n"
                "Writes a bilevel TIFF of PAGES pages (1 to 100, default 3) at fax resolution\n"
                "(1728 pixels wide, 204 x 196 dpi) to OUTPUT. Page N shows a frame and N bars.\n\n"
                "Exit status: 0 when written; 1 when OUTPUT cannot be written; 64 for a usage error.\n");
            return 0;
        }
        if (arg == "--version") {
            std::printf("tessaline-mktiff %s\n", TESSALINE_VERSION);
            return 0;
        }
        if (arg.size() > 1 && arg[0] == '-' && arg != "--") return Usage(("unknown option " + arg).c_str());
        if (arg != "--") operands.push_back(argv[i]);
    }
    if (operands.empty() || operands.size() > 2) return Usage("give OUTPUT and, optionally, PAGES");
    int pages = 3;
    if (operands.size() == 2) {
        char* end = nullptr;
        const long n = std::strtol(operands[1], &end, 10);
        if (!*operands[1] || *end || n < 1 || n > 100) return Usage("PAGES is a number from 1 to 100");
        pages = static_cast<int>(n);
    }
    std::vector<std::uint8_t> out(8, 0);
    out[0] = 'I';
    out[1] = 'I';
    Put16(out, 2, 42);
    std::uint32_t link = 4;  // where the next IFD's offset goes

    for (int page = 1; page <= pages; ++page) {
        const std::vector<std::uint8_t> image = DrawPage(page);
        const auto data_at = static_cast<std::uint32_t>(out.size());
        out.insert(out.end(), image.begin(), image.end());
        const auto res_at = static_cast<std::uint32_t>(out.size());
        Append(out, 16);
        Put32(out, res_at, 204);
        Put32(out, res_at + 4, 1);
        Put32(out, res_at + 8, 196);
        Put32(out, res_at + 12, 1);

        struct Entry {
            std::uint16_t tag, type;
            std::uint32_t count, value;
        };
        const Entry entries[] = {
            {256, 4, 1, kWidth},        {257, 4, 1, kHeight},  {258, 3, 1, 1},
            {259, 3, 1, 1},             {262, 3, 1, 0},        {266, 3, 1, 1},
            {273, 4, 1, data_at},       {277, 3, 1, 1},        {278, 4, 1, kHeight},
            {279, 4, 1, static_cast<std::uint32_t>(image.size())},
            {282, 5, 1, res_at},        {283, 5, 1, res_at + 8}, {296, 3, 1, 2},
            {297, 3, 2, static_cast<std::uint32_t>((page - 1) | (pages << 16))},
        };
        if (out.size() % 2) Append(out, 1);  // IFDs start on a word boundary
        const auto ifd_at = static_cast<std::uint32_t>(out.size());
        Put32(out, link, ifd_at);
        const auto n = static_cast<std::uint16_t>(sizeof(entries) / sizeof(entries[0]));
        Append(out, 2 + 12 * n + 4);
        Put16(out, ifd_at, n);
        for (std::uint16_t i = 0; i < n; ++i) {
            const std::uint32_t at = ifd_at + 2 + 12 * i;
            Put16(out, at, entries[i].tag);
            Put16(out, at + 2, entries[i].type);
            Put32(out, at + 4, entries[i].count);
            if (entries[i].type == 3 && entries[i].count == 1) {
                Put16(out, at + 8, static_cast<std::uint16_t>(entries[i].value));
            } else {
                Put32(out, at + 8, entries[i].value);
            }
        }
        link = ifd_at + 2 + 12 * n;  // stays 0 after the last page
    }

    std::FILE* f = std::fopen(operands[0], "wb");
    if (!f || std::fwrite(out.data(), 1, out.size(), f) != out.size() || std::fclose(f) != 0) {
        std::perror(operands[0]);
        return 1;
    }
    return 0;
}
