// Telling what a file is from its first bytes.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tools/documents/documents.h"

namespace doc {
namespace {

constexpr std::size_t kSniff = 4096;

bool StartsWith(const std::vector<unsigned char>& d, const char* magic, std::size_t n, std::size_t at = 0) {
    return d.size() >= at + n && std::memcmp(d.data() + at, magic, n) == 0;
}

// Plain text: no zero byte and no control character other than tab, line
// feed, carriage return, form feed and escape. Bytes above 0x7F are allowed
// (UTF-8 or a legacy 8-bit code page), as is a UTF-8 byte-order mark.
bool LooksLikeText(const std::vector<unsigned char>& d) {
    for (unsigned char c : d) {
        if (c >= 0x20 && c != 0x7F) continue;
        if (c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == 0x1B) continue;
        return false;
    }
    return true;
}

struct Signature {
    const char* magic;
    std::size_t length;
    std::size_t at;
    const char* description;
};

// Kinds the command does not take, named so that the refusal can say what
// the file is.
const Signature kOthers[] = {
    {"PK\x03\x04", 4, 0, "a ZIP archive (or an office document, which is one)"},
    {"\x1f\x8b", 2, 0, "a gzip-compressed file"},
    {"GIF87a", 6, 0, "a GIF image"},
    {"GIF89a", 6, 0, "a GIF image"},
    {"BM", 2, 0, "a BMP image"},
    {"RIFF", 4, 0, "a RIFF file (WebP image, WAV or AVI)"},
    {"\x7f" "ELF", 4, 0, "an ELF program"},
    {"MZ", 2, 0, "a Windows program"},
    {"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1", 8, 0, "an old Microsoft Office document"},
    {"{\\rtf", 5, 0, "an RTF document"},
    {"ftyp", 4, 4, "an ISO media file (HEIC image, MP4 video)"},
    {"\x00\x00\x01\x00", 4, 0, "a Windows icon"},
    {"8BPS", 4, 0, "a Photoshop image"},
};

}  // namespace

const char* AcceptedKinds() {
    return "PDF, PostScript, plain text, PNG, JPEG and TIFF images";
}

bool Detect(const std::string& path, Detected& out, std::string& error) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    std::vector<unsigned char> d(kSniff);
    const std::size_t n = std::fread(d.data(), 1, d.size(), f);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    d.resize(n);

    out = Detected{};
    if (d.empty()) {
        out = {Kind::Empty, "an empty file"};
    } else if (StartsWith(d, "II*\0", 4) || StartsWith(d, "MM\0*", 4)) {
        out = {Kind::Tiff, "a TIFF image"};
    } else if (StartsWith(d, "II+\0", 4) || StartsWith(d, "MM\0+", 4)) {
        out = {Kind::Tiff, "a BigTIFF image"};
    } else if (StartsWith(d, "\x89PNG\r\n\x1a\n", 8)) {
        out = {Kind::Png, "a PNG image"};
    } else if (StartsWith(d, "\xff\xd8\xff", 3)) {
        out = {Kind::Jpeg, "a JPEG image"};
    } else if (StartsWith(d, "%!", 2) || StartsWith(d, "\xc5\xd0\xd3\xc6", 4)) {
        out = {Kind::PostScript, "a PostScript document"};
    } else {
        // A PDF may carry a few bytes of something else before its header;
        // readers look for it within the first kilobyte.
        const std::size_t window = d.size() < 1024 ? d.size() : 1024;
        for (std::size_t i = 0; i + 5 <= window; ++i) {
            if (std::memcmp(d.data() + i, "%PDF-", 5) == 0) {
                out = {Kind::Pdf, "a PDF document"};
                return true;
            }
        }
        for (const Signature& s : kOthers) {
            if (StartsWith(d, s.magic, s.length, s.at)) {
                out = {Kind::Unknown, s.description};
                return true;
            }
        }
        if (LooksLikeText(d)) {
            out = {Kind::Text, "a plain text file"};
        } else {
            out = {Kind::Unknown, "binary data of a kind the command does not know"};
        }
    }
    return true;
}

}  // namespace doc
