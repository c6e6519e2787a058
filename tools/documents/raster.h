// The converters' inner pieces: images in memory, and the steps between a
// document and a fax image.
#ifndef TESSALINE_TOOLS_RASTER_H
#define TESSALINE_TOOLS_RASTER_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/documents/documents.h"

namespace doc {

// An 8-bit grey image, 0 black to 255 white, rows top to bottom. A
// resolution of 0 means the file told none.
struct GrayImage {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    double xdpi = 0;
    double ydpi = 0;
    std::vector<std::uint8_t> pixels;
};

// The largest image the converters take, in pixels: far beyond any page at
// any resolution, and small enough that a hostile header can't make the
// command allocate without bound.
inline constexpr std::uint64_t kMaxPixels = 200u * 1000u * 1000u;

// A fax page as mktiff and the converters make it: 1 bit a pixel, 1 black,
// rows of (width + 7) / 8 bytes.
struct BilevelPage {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    double xdpi = 204;
    double ydpi = 196;
    std::vector<std::uint8_t> bits;
};

// libtiff ------------------------------------------------------------------

// Whether the TIFF at `path` already is a fax image: every page bilevel,
// CCITT G3 or G4 compressed, 1728 pixels wide, 204 dpi across and 196 or 98
// dpi down, and every page decodes. `why` says what is not, `pages` counts
// the pages, `resolution` is that of the first page.
bool IsFaxImage(const std::string& path, int& pages, Resolution& resolution, std::string& why);
// Every page of a TIFF as grey images.
bool ReadTiffPages(const std::string& path, std::vector<GrayImage>& pages, std::string& error);
// Each page of a fax image in turn, decoded: bilevel pages as BilevelPage
// bits, any other as grey. `visit` returning false stops the walk (and the
// result is false, with `error` as `visit` left it).
struct DecodedPage {
    bool bilevel = true;
    BilevelPage bits;  // when bilevel
    GrayImage gray;    // otherwise
};
bool ForEachPage(const std::string& path, const std::function<bool(const DecodedPage&)>& visit, std::string& error);
// Writes pages as one CCITT G4 fax image.
bool WriteFaxTiff(const std::string& path, const std::vector<BilevelPage>& pages, std::string& error);

// Image decoders (one file each, or a file that says the build has none) -----

// Outcome::Refused for a damaged image, Outcome::Unavailable from a build
// without the decoder.
Outcome DecodePng(const std::string& path, GrayImage& image, std::string& error);
Outcome DecodeJpeg(const std::string& path, GrayImage& image, std::string& error);

// PostScript programs that Ghostscript renders --------------------------------

// The text file as a PostScript program: monospaced lines, tabs every 8
// columns, long lines wrapped, a form feed starting a new page. UTF-8 text
// is shown in Latin-1 (characters beyond it as '?'); text that is not UTF-8
// is taken as Latin-1.
bool TextToPostScript(const std::string& text_path, const std::string& ps_path, std::string& error);
// Each image as one page, fitted to the page and turned when that shows it
// larger.
bool ImagesToPostScript(const std::vector<GrayImage>& images, const std::string& ps_path, std::string& error);

// Ghostscript -----------------------------------------------------------------

// Renders a PDF or PostScript document into a CCITT G4 fax image. On
// success `error` holds what Ghostscript said, if anything.
Outcome RenderWithGhostscript(const std::string& input, const FaxOptions& options,
                              const std::string& output, std::string& error);

}  // namespace doc

#endif
