#include "tools/documents/fax_page.h"

#include <cmath>
#include <cstdio>

namespace doc {
namespace {

bool Near(double value, double target, double tolerance) { return std::fabs(value - target) <= tolerance; }

}  // namespace

std::string FaxPageFault(const TiffPage& p, int index) {
    const std::string page = "page " + std::to_string(index + 1);
    if (p.bits_per_sample != 1 || p.samples_per_pixel != 1 || !p.photometric ||
        (*p.photometric != kTiffWhiteIsZero && *p.photometric != kTiffBlackIsZero))
        return page + " is not bilevel";
    if (p.compression != kTiffCompressionG3 && p.compression != kTiffCompressionG4)
        return page + " is not CCITT G3 or G4 compressed";
    if (p.width != 1728) return page + " is " + std::to_string(p.width) + " pixels wide, not 1728";
    if (!(std::isfinite(p.xdpi) && std::isfinite(p.ydpi)) || !Near(p.xdpi, 204, 2) ||
        !(Near(p.ydpi, 196, 2) || Near(p.ydpi, 98, 1))) {
        char buf[96];
        std::snprintf(buf, sizeof(buf), " has a resolution of %.0f x %.0f dpi, not 204 x 196 or 204 x 98",
                      std::isfinite(p.xdpi) ? p.xdpi : 0.0, std::isfinite(p.ydpi) ? p.ydpi : 0.0);
        return page + buf;
    }
    if (p.height == 0) return page + " has no rows";
    if (p.tiled) return page + " is tiled";
    return "";
}

Resolution FaxPageResolution(const TiffPage& page) {
    return Near(page.ydpi, 98, 1) ? Resolution::Normal : Resolution::Fine;
}

TiffVerdict JudgeTiff(const std::vector<TiffPage>& pages) {
    TiffVerdict v;
    if (pages.empty()) {
        v.why = "it holds no page";
        return v;
    }
    for (std::size_t i = 0; i < pages.size(); ++i) {
        v.why = FaxPageFault(pages[i], static_cast<int>(i));
        if (!v.why.empty()) return v;
    }
    v.fax_image = true;
    v.pages = static_cast<int>(pages.size());
    v.resolution = FaxPageResolution(pages.front());
    return v;
}

}  // namespace doc
