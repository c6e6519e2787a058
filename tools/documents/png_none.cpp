// The PNG decoder of a build without libpng: it says so.
#include "tools/documents/raster.h"

namespace doc {

Outcome DecodePng(const std::string& path, GrayImage&, std::string& error) {
    error = path + " is a PNG image, and this build of the command reads none (it was built without libpng)";
    return Outcome::Unavailable;
}

}  // namespace doc
