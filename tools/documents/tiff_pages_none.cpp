// A build with neither libtiff nor a platform imaging component reads no TIFF.
#include "tools/documents/fax_page.h"

namespace doc {

const char* TiffReaderName() { return nullptr; }

TiffRead ReadTiffPages(const std::string&, std::vector<TiffPage>& pages, std::string& error) {
    pages.clear();
    error = "this build reads no TIFF";
    return TiffRead::NoReader;
}

}  // namespace doc
