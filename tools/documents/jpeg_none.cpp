// The JPEG decoder of a build without libjpeg: it says so.
#include "tools/documents/raster.h"

namespace doc {

Outcome DecodeJpeg(const std::string& path, GrayImage&, std::string& error) {
    error = path + " is a JPEG image, and this build of the command reads none (it was built without libjpeg)";
    return Outcome::Unavailable;
}

}  // namespace doc
