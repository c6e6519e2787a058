// Reading and writing TIFF images with libtiff.
#include <tiffio.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <memory>

#include "tools/documents/fax_page.h"
#include "tools/documents/raster.h"

namespace doc {
namespace {

// libtiff reports through global handlers; the command keeps the last
// message for its own, instead of letting libtiff print.
thread_local std::string g_tiff_error;

void OnTiffError(const char* module, const char* format, va_list args) {
    char buf[512];
    std::vsnprintf(buf, sizeof(buf), format, args);
    g_tiff_error = module && *module ? std::string(module) + ": " + buf : std::string(buf);
}

void OnTiffWarning(const char*, const char*, va_list) {}

struct TiffCloser {
    void operator()(TIFF* t) const { TIFFClose(t); }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

TiffPtr Open(const std::string& path, const char* mode, std::string& error) {
    TIFFSetErrorHandler(OnTiffError);
    TIFFSetWarningHandler(OnTiffWarning);
    g_tiff_error.clear();
    TiffPtr t(TIFFOpen(path.c_str(), mode));
    if (!t) error = "libtiff cannot open " + path + (g_tiff_error.empty() ? "" : ": " + g_tiff_error);
    return t;
}

std::string LastTiffError() { return g_tiff_error.empty() ? "the image data is damaged" : g_tiff_error; }

// The page's resolution in dots per inch, 0 for a direction it doesn't give.
void ReadResolution(TIFF* t, double& x, double& y) {
    float xr = 0, yr = 0;
    std::uint16_t unit = RESUNIT_INCH;
    TIFFGetFieldDefaulted(t, TIFFTAG_RESOLUTIONUNIT, &unit);
    if (!TIFFGetField(t, TIFFTAG_XRESOLUTION, &xr)) xr = 0;
    if (!TIFFGetField(t, TIFFTAG_YRESOLUTION, &yr)) yr = 0;
    const double scale = unit == RESUNIT_CENTIMETER ? 2.54 : unit == RESUNIT_INCH ? 1.0 : 0.0;
    x = std::isfinite(xr) && xr > 0 ? xr * scale : 0;
    y = std::isfinite(yr) && yr > 0 ? yr * scale : 0;
}

}  // namespace

bool IsFaxImage(const std::string& path, int& pages, Resolution& resolution, std::string& why) {
    pages = 0;
    TiffPtr t = Open(path, "r", why);
    if (!t) return false;
    do {
        TiffPage facts;
        std::uint16_t photometric = 0;
        TIFFGetFieldDefaulted(t.get(), TIFFTAG_COMPRESSION, &facts.compression);
        TIFFGetFieldDefaulted(t.get(), TIFFTAG_BITSPERSAMPLE, &facts.bits_per_sample);
        TIFFGetFieldDefaulted(t.get(), TIFFTAG_SAMPLESPERPIXEL, &facts.samples_per_pixel);
        TIFFGetField(t.get(), TIFFTAG_IMAGEWIDTH, &facts.width);
        TIFFGetField(t.get(), TIFFTAG_IMAGELENGTH, &facts.height);
        if (TIFFGetField(t.get(), TIFFTAG_PHOTOMETRIC, &photometric) == 1) facts.photometric = photometric;
        ReadResolution(t.get(), facts.xdpi, facts.ydpi);
        facts.tiled = TIFFIsTiled(t.get()) != 0;
        why = FaxPageFault(facts, pages);
        if (why.empty()) {
            const std::string page = "page " + std::to_string(pages + 1);
            const std::uint32_t height = facts.height;
            if (pages == 0) resolution = FaxPageResolution(facts);
            std::vector<std::uint8_t> row(static_cast<std::size_t>(TIFFScanlineSize(t.get())));
            for (std::uint32_t r = 0; r < height; ++r) {
                if (TIFFReadScanline(t.get(), row.data(), r) < 0) {
                    why = page + " cannot be decoded: " + LastTiffError();
                    return false;
                }
            }
            ++pages;
            continue;
        }
        return false;
    } while (TIFFReadDirectory(t.get()));
    if (!g_tiff_error.empty()) {
        why = "the chain of pages is damaged: " + g_tiff_error;
        return false;
    }
    return pages > 0;
}

bool WriteFaxTiff(const std::string& path, const std::vector<BilevelPage>& pages, std::string& error) {
    TiffPtr t = Open(path, "w", error);
    if (!t) return false;
    const auto count = static_cast<std::uint16_t>(pages.size());
    for (std::uint16_t n = 0; n < count; ++n) {
        const BilevelPage& p = pages[n];
        TIFF* f = t.get();
        TIFFSetField(f, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        TIFFSetField(f, TIFFTAG_IMAGEWIDTH, p.width);
        TIFFSetField(f, TIFFTAG_IMAGELENGTH, p.height);
        TIFFSetField(f, TIFFTAG_BITSPERSAMPLE, 1);
        TIFFSetField(f, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(f, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
        TIFFSetField(f, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
        TIFFSetField(f, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB);
        TIFFSetField(f, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(f, TIFFTAG_ROWSPERSTRIP, p.height);
        TIFFSetField(f, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        TIFFSetField(f, TIFFTAG_XRESOLUTION, static_cast<float>(p.xdpi));
        TIFFSetField(f, TIFFTAG_YRESOLUTION, static_cast<float>(p.ydpi));
        TIFFSetField(f, TIFFTAG_PAGENUMBER, n, count);
        const std::size_t row_bytes = (p.width + 7) / 8;
        if (p.bits.size() < row_bytes * p.height) {
            error = "page " + std::to_string(n + 1) + " holds fewer rows than it announces";
            return false;
        }
        std::vector<std::uint8_t> row(row_bytes);
        for (std::uint32_t r = 0; r < p.height; ++r) {
            std::copy(p.bits.begin() + r * row_bytes, p.bits.begin() + (r + 1) * row_bytes, row.begin());
            if (TIFFWriteScanline(f, row.data(), r, 0) < 0) {
                error = "cannot write " + path + ": " + LastTiffError();
                return false;
            }
        }
        if (!TIFFWriteDirectory(f)) {
            error = "cannot write " + path + ": " + LastTiffError();
            return false;
        }
    }
    TIFF* raw = t.release();
    TIFFClose(raw);
    if (!g_tiff_error.empty()) {
        error = "cannot write " + path + ": " + g_tiff_error;
        return false;
    }
    return true;
}

}  // namespace doc

namespace doc {

bool ForEachPage(const std::string& path, const std::function<bool(const DecodedPage&)>& visit, std::string& error) {
    TiffPtr t = Open(path, "r", error);
    if (!t) return false;
    int n = 0;
    do {
        ++n;
        const std::string page = "page " + std::to_string(n) + " of " + path;
        std::uint16_t bits = 1, samples = 1, photometric = PHOTOMETRIC_MINISWHITE;
        std::uint32_t width = 0, height = 0;
        TIFFGetFieldDefaulted(t.get(), TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetFieldDefaulted(t.get(), TIFFTAG_SAMPLESPERPIXEL, &samples);
        TIFFGetField(t.get(), TIFFTAG_PHOTOMETRIC, &photometric);
        TIFFGetField(t.get(), TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(t.get(), TIFFTAG_IMAGELENGTH, &height);
        if (width == 0 || height == 0 || std::uint64_t{width} * height > kMaxPixels) {
            error = page + " has a size of " + std::to_string(width) + " x " + std::to_string(height) +
                    " pixels, which the command does not take";
            return false;
        }
        DecodedPage d;
        double x = 0, y = 0;
        ReadResolution(t.get(), x, y);
        const bool bilevel = bits == 1 && samples == 1 && !TIFFIsTiled(t.get()) &&
                             (photometric == PHOTOMETRIC_MINISWHITE || photometric == PHOTOMETRIC_MINISBLACK);
        if (bilevel) {
            d.bits.width = width;
            d.bits.height = height;
            d.bits.xdpi = x;
            d.bits.ydpi = y;
            const std::size_t row_bytes = (width + 7) / 8;
            if (static_cast<std::size_t>(TIFFScanlineSize(t.get())) != row_bytes) {
                error = page + " has rows of an unexpected size";
                return false;
            }
            d.bits.bits.resize(row_bytes * height);
            for (std::uint32_t r = 0; r < height; ++r) {
                std::uint8_t* row = d.bits.bits.data() + r * row_bytes;
                if (TIFFReadScanline(t.get(), row, r) < 0) {
                    error = page + " cannot be decoded: " + LastTiffError();
                    return false;
                }
                if (photometric == PHOTOMETRIC_MINISBLACK)
                    for (std::size_t i = 0; i < row_bytes; ++i) row[i] = static_cast<std::uint8_t>(~row[i]);
            }
        } else {
            d.bilevel = false;
            d.gray.width = width;
            d.gray.height = height;
            d.gray.xdpi = x;
            d.gray.ydpi = y;
            std::vector<std::uint32_t> rgba(std::size_t{width} * height);
            if (!TIFFReadRGBAImageOriented(t.get(), width, height, rgba.data(), ORIENTATION_TOPLEFT, 0)) {
                error = page + " cannot be decoded: " + LastTiffError();
                return false;
            }
            d.gray.pixels.resize(rgba.size());
            for (std::size_t i = 0; i < rgba.size(); ++i) {
                const std::uint32_t p = rgba[i];
                const std::uint32_t luma = (TIFFGetR(p) * 299 + TIFFGetG(p) * 587 + TIFFGetB(p) * 114) / 1000;
                const std::uint32_t a = TIFFGetA(p);
                d.gray.pixels[i] = static_cast<std::uint8_t>((luma * a + 255 * (255 - a)) / 255);
            }
        }
        if (!visit(d)) return false;
    } while (TIFFReadDirectory(t.get()));
    if (!g_tiff_error.empty()) {
        error = "the chain of pages of " + path + " is damaged: " + g_tiff_error;
        return false;
    }
    return true;
}

}  // namespace doc

namespace doc {

bool ReadTiffPages(const std::string& path, std::vector<GrayImage>& pages, std::string& error) {
    pages.clear();
    return ForEachPage(
        path,
        [&](const DecodedPage& d) {
            if (!d.bilevel) {
                pages.push_back(d.gray);
                return true;
            }
            GrayImage g;
            g.width = d.bits.width;
            g.height = d.bits.height;
            g.xdpi = d.bits.xdpi;
            g.ydpi = d.bits.ydpi;
            g.pixels.resize(std::size_t{g.width} * g.height);
            const std::size_t row_bytes = (g.width + 7) / 8;
            for (std::uint32_t y = 0; y < g.height; ++y)
                for (std::uint32_t x = 0; x < g.width; ++x)
                    g.pixels[std::size_t{y} * g.width + x] =
                        d.bits.bits[y * row_bytes + x / 8] & (0x80 >> (x % 8)) ? 0 : 255;
            pages.push_back(std::move(g));
            return true;
        },
        error);
}

}  // namespace doc
