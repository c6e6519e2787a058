// A fax image as a PDF: one page per image page, each page's picture kept
// at full resolution and compressed with zlib, the page as large as the
// picture at its own resolution.
#include <zlib.h>

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

class PdfFile {
public:
    explicit PdfFile(std::FILE* f) : f_(f) {}

    bool ok() const { return ok_; }

    // Starts object `n` (objects are numbered from 1).
    void Begin(std::size_t n) {
        if (offsets_.size() < n) offsets_.resize(n, 0);
        offsets_[n - 1] = at_;
        Put(std::to_string(n) + " 0 obj\n");
    }
    void Put(const std::string& s) { PutBytes(s.data(), s.size()); }
    void PutBytes(const void* p, std::size_t n) {
        if (ok_ && std::fwrite(p, 1, n, f_) != n) ok_ = false;
        at_ += n;
    }
    // A stream object: `entries` are its dictionary's other entries.
    void Stream(const std::string& entries, const std::vector<std::uint8_t>& data) {
        Put("<< " + entries + " /Length " + std::to_string(data.size()) + " >>\nstream\n");
        PutBytes(data.data(), data.size());
        Put("\nendstream\nendobj\n");
    }
    void Finish(std::size_t root) {
        const std::size_t xref = at_;
        Put("xref\n0 " + std::to_string(offsets_.size() + 1) + "\n0000000000 65535 f \n");
        for (std::size_t off : offsets_) {
            char line[32];
            std::snprintf(line, sizeof(line), "%010zu 00000 n \n", off);
            Put(line);
        }
        Put("trailer\n<< /Size " + std::to_string(offsets_.size() + 1) + " /Root " + std::to_string(root) +
            " 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n");
    }

private:
    std::FILE* f_;
    bool ok_ = true;
    std::size_t at_ = 0;
    std::vector<std::size_t> offsets_;
};

bool Deflate(const std::uint8_t* p, std::size_t n, std::vector<std::uint8_t>& out) {
    uLongf size = compressBound(static_cast<uLong>(n));
    out.resize(size);
    if (compress2(out.data(), &size, p, static_cast<uLong>(n), 6) != Z_OK) return false;
    out.resize(size);
    return true;
}

std::string Number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%.3f", v);
    return buf;
}

}  // namespace

bool PdfAvailable(std::string&) { return true; }

Outcome FaxToPdf(const std::string& tiff, const std::string& pdf, int& pages, std::string& message) {
    pages = 0;
    std::unique_ptr<std::FILE, FileCloser> f(std::fopen(pdf.c_str(), "wb"));
    if (!f) {
        message = "cannot write " + pdf + ": " + std::strerror(errno);
        return Outcome::Failed;
    }
    PdfFile out(f.get());
    out.Put("%PDF-1.4\n%\xE2\xE3\xCF\xD3\n");
    // Objects 1 and 2 are the catalog and the page tree; each page takes
    // three more: the page, its content and its picture.
    std::string kids;
    std::string error;
    const bool walked = ForEachPage(
        tiff,
        [&](const DecodedPage& d) {
            const std::uint32_t w = d.bilevel ? d.bits.width : d.gray.width;
            const std::uint32_t h = d.bilevel ? d.bits.height : d.gray.height;
            double xdpi = d.bilevel ? d.bits.xdpi : d.gray.xdpi;
            double ydpi = d.bilevel ? d.bits.ydpi : d.gray.ydpi;
            if (xdpi <= 0) xdpi = 204;  // a fax image that tells no resolution: take the usual one
            if (ydpi <= 0) ydpi = 196;
            std::vector<std::uint8_t> data;
            const bool packed = d.bilevel ? Deflate(d.bits.bits.data(), d.bits.bits.size(), data)
                                          : Deflate(d.gray.pixels.data(), d.gray.pixels.size(), data);
            if (!packed) {
                error = "cannot compress page " + std::to_string(pages + 1);
                return false;
            }
            const std::size_t page_obj = 3 + 3 * static_cast<std::size_t>(pages);
            const std::string pw = Number(w * 72.0 / xdpi), ph = Number(h * 72.0 / ydpi);
            kids += std::to_string(page_obj) + " 0 R ";
            out.Begin(page_obj);
            out.Put("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + pw + " " + ph + "] /Resources << /XObject << /P " +
                    std::to_string(page_obj + 2) + " 0 R >> >> /Contents " + std::to_string(page_obj + 1) +
                    " 0 R >>\nendobj\n");
            const std::string content = "q " + pw + " 0 0 " + ph + " 0 0 cm /P Do Q\n";
            out.Begin(page_obj + 1);
            out.Stream("", std::vector<std::uint8_t>(content.begin(), content.end()));
            out.Begin(page_obj + 2);
            // Bilevel rows hold 1 for black; PDF's grey has 0 for black.
            out.Stream("/Type /XObject /Subtype /Image /Width " + std::to_string(w) + " /Height " +
                           std::to_string(h) +
                           (d.bilevel ? " /ColorSpace /DeviceGray /BitsPerComponent 1 /Decode [1 0]"
                                      : " /ColorSpace /DeviceGray /BitsPerComponent 8") +
                           " /Filter /FlateDecode",
                       data);
            ++pages;
            return out.ok();
        },
        error);
    if (walked && pages > 0) {
        out.Begin(1);
        out.Put("<< /Type /Catalog /Pages 2 0 R >>\nendobj\n");
        out.Begin(2);
        out.Put("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages) + " >>\nendobj\n");
        out.Finish(1);
    }
    const bool written = out.ok() && std::fclose(f.release()) == 0;
    if (!walked || pages == 0) {
        message = tiff + " cannot be made a PDF: " + (error.empty() ? "it holds no page" : error);
        return Outcome::Refused;
    }
    if (!written) {
        message = "cannot write " + pdf + ": " + std::strerror(errno);
        return Outcome::Failed;
    }
    return Outcome::Ok;
}

bool VerifyFaxImage(const std::string& path, int& pages, std::string& message) {
    pages = 0;
    std::string error;
    const bool ok = ForEachPage(
        path,
        [&](const DecodedPage&) {
            ++pages;
            return true;
        },
        error);
    if (!ok || pages == 0) {
        message = error.empty() ? path + " holds no page" : error;
        return false;
    }
    return true;
}

}  // namespace doc
