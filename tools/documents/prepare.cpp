// Making a file ready to send as a fax.
#include "tools/documents/raster.h"

namespace doc {
namespace {

std::string Refusal(const std::string& path, const std::string& what) {
    return "cannot send " + path + ": it is " + what + "; tessaline sends " + AcceptedKinds() +
           " (and any file unexamined with --raw)";
}

// Renders `input` (a PDF or PostScript program) into the prepared record's
// temporary fax image, and checks that what came out is one.
Outcome Render(const std::string& input, const std::string& path, const FaxOptions& options, Prepared& out,
               std::string& message) {
    std::string error;
    if (!out.temp.Create("", ".tif", error)) {
        message = error;
        return Outcome::Failed;
    }
    const Outcome rendered = RenderWithGhostscript(input, options, out.temp.Path(), error);
    if (rendered == Outcome::Unavailable) {
        message = "cannot convert " + path + " (" + out.detected.description + "): " + error;
        return rendered;
    }
    if (rendered != Outcome::Ok) {
        message = "cannot send " + path + " (" + out.detected.description + "): " + error;
        return Outcome::Refused;
    }
    Resolution resolution = options.resolution;
    std::string why;
    if (!IsFaxImage(out.temp.Path(), out.pages, resolution, why)) {
        message = "cannot send " + path + " (" + out.detected.description + "): Ghostscript rendered no page" +
                  (error.empty() ? "" : " (it said: " + error + ")");
        return Outcome::Refused;
    }
    out.path = out.temp.Path();
    out.converted = true;
    return Outcome::Ok;
}

Outcome RenderImages(const std::vector<GrayImage>& images, const std::string& path, const FaxOptions& options,
                     Prepared& out, std::string& message) {
    TempFile program;
    std::string error;
    if (!program.Create("", ".ps", error) || !ImagesToPostScript(images, program.Path(), error)) {
        message = error;
        return Outcome::Failed;
    }
    return Render(program.Path(), path, options, out, message);
}

}  // namespace

Outcome PrepareForFax(const std::string& path, const FaxOptions& options, Prepared& out, std::string& message) {
    out = Prepared{};
    std::string error;
    if (!Detect(path, out.detected, error)) {
        message = error;
        return Outcome::Unreadable;
    }
    switch (out.detected.kind) {
        case Kind::Tiff: {
            Resolution resolution = Resolution::Fine;
            std::string why;
            if (IsFaxImage(path, out.pages, resolution, why)) {
                if (!options.resolution_given || resolution == options.resolution) {
                    out.path = path;
                    out.detected = {Kind::FaxTiff, "a fax image"};
                    return Outcome::Ok;
                }
            }
            std::vector<GrayImage> pages;
            if (!ReadTiffPages(path, pages, error) || pages.empty()) {
                message = "cannot send " + path + ": it is a TIFF image that cannot be read (" +
                          (error.empty() ? "it holds no page" : error) + ")";
                return Outcome::Refused;
            }
            return RenderImages(pages, path, options, out, message);
        }
        case Kind::Pdf:
        case Kind::PostScript:
            return Render(path, path, options, out, message);
        case Kind::Text: {
            TempFile program;
            if (!program.Create("", ".ps", error)) {
                message = error;
                return Outcome::Failed;
            }
            if (!TextToPostScript(path, program.Path(), error)) {
                message = "cannot send " + path + ": " + error;
                return Outcome::Refused;
            }
            return Render(program.Path(), path, options, out, message);
        }
        case Kind::Png:
        case Kind::Jpeg: {
            GrayImage image;
            const Outcome decoded = out.detected.kind == Kind::Png ? DecodePng(path, image, error)
                                                                   : DecodeJpeg(path, image, error);
            if (decoded != Outcome::Ok) {
                message = "cannot send " + path + ": " + error;
                return decoded;
            }
            return RenderImages({image}, path, options, out, message);
        }
        case Kind::Empty:
        case Kind::FaxTiff:
        case Kind::Unknown:
            break;
    }
    message = Refusal(path, out.detected.description);
    return Outcome::Refused;
}

Abilities BuildAbilities() { return {true, true, "libtiff"}; }

}  // namespace doc
