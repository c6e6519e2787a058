// Whether a TIFF is a fax image, judged from what a TIFF reader tells of its
// pages: the one rule for every reader (libtiff on Linux, the platform's
// imaging component on Windows).
#ifndef TESSALINE_TOOLS_DOCUMENTS_FAX_PAGE_H
#define TESSALINE_TOOLS_DOCUMENTS_FAX_PAGE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/documents/documents.h"

namespace doc {

// TIFF's values of the Compression and PhotometricInterpretation fields
// that a fax page may have.
inline constexpr std::uint16_t kTiffCompressionG3 = 3;
inline constexpr std::uint16_t kTiffCompressionG4 = 4;
inline constexpr std::uint16_t kTiffWhiteIsZero = 0;
inline constexpr std::uint16_t kTiffBlackIsZero = 1;

// One page of a TIFF as its reader describes it.
struct TiffPage {
    std::uint16_t compression = 1;  // 1: none
    std::uint16_t bits_per_sample = 1;
    std::uint16_t samples_per_pixel = 1;
    std::optional<std::uint16_t> photometric;  // none when the page gives none
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    double xdpi = 0;  // 0 when the page gives none
    double ydpi = 0;
    bool tiled = false;
};

// Empty when the page is a fax page: bilevel, CCITT G3 or G4 compressed,
// 1728 pixels wide, 204 dpi across and 196 or 98 dpi down, in strips, with
// rows. Otherwise why not, naming the page (`index` counts from 0):
// "page 2 is not bilevel".
std::string FaxPageFault(const TiffPage& page, int index);

// The fax resolution of a fax page.
Resolution FaxPageResolution(const TiffPage& page);

// A TIFF judged from its pages: a fax image when it has pages and every one
// is a fax page; its resolution is that of its first page. Otherwise `why`
// says what is not.
struct TiffVerdict {
    bool fax_image = false;
    int pages = 0;
    Resolution resolution = Resolution::Fine;
    std::string why;
};
TiffVerdict JudgeTiff(const std::vector<TiffPage>& pages);

// A TIFF reader of the platform, for a build without libtiff.
enum class TiffRead {
    Ok,          // `pages` describes every page, and every page decoded
    NoReader,    // this build has no TIFF reader
    Unreadable,  // not a TIFF the reader can read, or a page that does not decode; `error` says why
};
TiffRead ReadTiffPages(const std::string& path, std::vector<TiffPage>& pages, std::string& error);
// The reader ReadTiffPages uses, for the help ("the Windows Imaging
// Component"); null when there is none.
const char* TiffReaderName();

}  // namespace doc

#endif
