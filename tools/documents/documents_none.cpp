// The document functions of a build without libtiff: files are still named
// by their content, a TIFF is told a fax image or not where the platform
// reads TIFF images (ReadTiffPages), and everything that needs a converter
// says that this build has none.
#include <cstdio>
#include <vector>

#include "tools/documents/documents.h"
#include "tools/documents/fax_page.h"

namespace doc {
namespace {

const char kNoConverter[] = "this build of the command converts nothing (it was built without libtiff)";

}  // namespace

Outcome PrepareForFax(const std::string& path, const FaxOptions& options, Prepared& out, std::string& message) {
    out = Prepared{};
    std::string error;
    if (!Detect(path, out.detected, error)) {
        message = error;
        return Outcome::Unreadable;
    }
    if (out.detected.kind == Kind::Tiff) {
        std::vector<TiffPage> pages;
        const TiffRead read = ReadTiffPages(path, pages, error);
        if (read == TiffRead::NoReader) {
            // A TIFF goes as it stands: without a TIFF reader the command
            // cannot tell a fax image from another TIFF, and the device
            // judges it. Its pages are not counted (0).
            if (!options.resolution_given) {
                out.path = path;
                return Outcome::Ok;
            }
        } else if (read == TiffRead::Unreadable) {
            message = "cannot send " + path + ": it is a TIFF image that cannot be read (" + error + ")";
            return Outcome::Refused;
        } else {
            const TiffVerdict verdict = JudgeTiff(pages);
            if (verdict.fax_image && (!options.resolution_given || verdict.resolution == options.resolution)) {
                out.path = path;
                out.detected = {Kind::FaxTiff, "a fax image"};
                out.pages = verdict.pages;
                return Outcome::Ok;
            }
            // Anything else would have to be converted into a fax image.
            const std::string what = verdict.fax_image ? "a fax image of the other resolution"
                                                       : "a TIFF image, not a fax image: " + verdict.why;
            message = "cannot send " + path + " (" + what + "): converting it into a fax image (bilevel, CCITT G4, " +
                      "1728 pixels wide, 204 x 196 or 204 x 98 dpi) takes libtiff and Ghostscript, and " +
                      kNoConverter + "; any file is sent unexamined with --raw";
            return Outcome::Unavailable;
        }
    }
    if (out.detected.kind == Kind::Empty || out.detected.kind == Kind::Unknown) {
        message = "cannot send " + path + ": it is " + out.detected.description + "; tessaline sends " +
                  AcceptedKinds() + " (and any file unexamined with --raw)";
        return Outcome::Refused;
    }
    message = "cannot send " + path + " (" + out.detected.description + "): " + kNoConverter +
              "; a TIFF is sent as it stands (without --resolution), any file with --raw";
    return Outcome::Unavailable;
}

Abilities BuildAbilities() { return {false, false, TiffReaderName()}; }

bool PdfAvailable(std::string& why) {
    why = std::string("cannot write a PDF: ") + kNoConverter;
    return false;
}

Outcome FaxToPdf(const std::string&, const std::string&, int& pages, std::string& message) {
    pages = 0;
    message = std::string("cannot write a PDF: ") + kNoConverter;
    return Outcome::Unavailable;
}

bool VerifyFaxImage(const std::string& path, int& pages, std::string& message) {
    // Without a TIFF reader the check is what the download itself promises:
    // a whole, non-empty file, here of a TIFF's signature.
    pages = 0;
    Detected d;
    if (!Detect(path, d, message)) return false;
    if (d.kind != Kind::Tiff) {
        message = path + " is " + d.description + ", not a fax image";
        return false;
    }
    return true;
}

}  // namespace doc
