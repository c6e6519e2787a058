// Whether a TIFF is a fax image, from what a reader tells of its pages: the
// rule that the libtiff reader and the Windows Imaging Component share.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "tools/documents/fax_page.h"

namespace {

using doc::TiffPage;

TiffPage FaxPage(double ydpi = 196) {
    TiffPage p;
    p.compression = doc::kTiffCompressionG4;
    p.photometric = doc::kTiffWhiteIsZero;
    p.width = 1728;
    p.height = 2200;
    p.xdpi = 204;
    p.ydpi = ydpi;
    return p;
}

TEST(FaxPage, EachFieldOfAFaxPageIsChecked) {
    const struct {
        const char* what;
        void (*change)(TiffPage&);
        const char* fault;  // "" for a fax page
    } cases[] = {
        {"G4, white is zero", [](TiffPage&) {}, ""},
        {"G3, black is zero",
         [](TiffPage& p) {
             p.compression = doc::kTiffCompressionG3;
             p.photometric = doc::kTiffBlackIsZero;
         },
         ""},
        {"resolutions within their tolerance",
         [](TiffPage& p) {
             p.xdpi = 202;
             p.ydpi = 198;
         },
         ""},
        {"normal resolution", [](TiffPage& p) { p.ydpi = 97.5; }, ""},
        {"grey", [](TiffPage& p) { p.bits_per_sample = 8; }, "page 3 is not bilevel"},
        {"colour", [](TiffPage& p) { p.samples_per_pixel = 3; }, "page 3 is not bilevel"},
        {"no photometric", [](TiffPage& p) { p.photometric.reset(); }, "page 3 is not bilevel"},
        {"a palette", [](TiffPage& p) { p.photometric = 3; }, "page 3 is not bilevel"},
        {"uncompressed", [](TiffPage& p) { p.compression = 1; }, "page 3 is not CCITT G3 or G4 compressed"},
        {"CCITT RLE", [](TiffPage& p) { p.compression = 2; }, "page 3 is not CCITT G3 or G4 compressed"},
        {"too narrow", [](TiffPage& p) { p.width = 1727; }, "page 3 is 1727 pixels wide, not 1728"},
        {"wrong across", [](TiffPage& p) { p.xdpi = 200; },
         "page 3 has a resolution of 200 x 196 dpi, not 204 x 196 or 204 x 98"},
        {"between the two", [](TiffPage& p) { p.ydpi = 150; },
         "page 3 has a resolution of 204 x 150 dpi, not 204 x 196 or 204 x 98"},
        {"normal, out of tolerance", [](TiffPage& p) { p.ydpi = 99.5; },
         "page 3 has a resolution of 204 x 100 dpi, not 204 x 196 or 204 x 98"},
        {"no resolution", [](TiffPage& p) { p.xdpi = p.ydpi = 0; },
         "page 3 has a resolution of 0 x 0 dpi, not 204 x 196 or 204 x 98"},
        {"not a number", [](TiffPage& p) { p.ydpi = std::numeric_limits<double>::quiet_NaN(); },
         "page 3 has a resolution of 204 x 0 dpi, not 204 x 196 or 204 x 98"},
        {"no rows", [](TiffPage& p) { p.height = 0; }, "page 3 has no rows"},
        {"tiled", [](TiffPage& p) { p.tiled = true; }, "page 3 is tiled"},
    };
    for (const auto& c : cases) {
        TiffPage p = FaxPage();
        c.change(p);
        EXPECT_EQ(doc::FaxPageFault(p, 2), c.fault) << c.what;
    }
}

TEST(FaxPage, AFaxImageHasPagesAllOfThemFaxPagesAndTheResolutionOfItsFirst) {
    TiffPage grey = FaxPage();
    grey.bits_per_sample = 8;
    const struct {
        const char* what;
        std::vector<TiffPage> pages;
        bool fax_image;
        int pages_counted;
        doc::Resolution resolution;
        const char* why;
    } cases[] = {
        {"no page", {}, false, 0, doc::Resolution::Fine, "it holds no page"},
        {"one fine page", {FaxPage()}, true, 1, doc::Resolution::Fine, ""},
        {"two normal pages", {FaxPage(98), FaxPage(98)}, true, 2, doc::Resolution::Normal, ""},
        {"mixed: the first page's", {FaxPage(98), FaxPage(196)}, true, 2, doc::Resolution::Normal, ""},
        {"a grey second page", {FaxPage(), grey, FaxPage()}, false, 0, doc::Resolution::Fine, "page 2 is not bilevel"},
    };
    for (const auto& c : cases) {
        const doc::TiffVerdict v = doc::JudgeTiff(c.pages);
        EXPECT_EQ(v.fax_image, c.fax_image) << c.what;
        EXPECT_EQ(v.pages, c.pages_counted) << c.what;
        EXPECT_EQ(v.resolution, c.resolution) << c.what;
        EXPECT_EQ(v.why, c.why) << c.what;
    }
}

}  // namespace
