// JPEG images through libjpeg, as grey.
#include <cstdio>
#include <csetjmp>
#include <memory>

#include <jpeglib.h>

#include "tools/documents/raster.h"

namespace doc {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void OnJpegError(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

void OnJpegMessage(j_common_ptr, int) {}

}  // namespace

Outcome DecodeJpeg(const std::string& path, GrayImage& image, std::string& error) {
    std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path.c_str(), "rb"));
    if (!f) {
        error = "cannot open " + path;
        return Outcome::Unreadable;
    }
    jpeg_decompress_struct cinfo{};
    ErrorManager err{};
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = OnJpegError;
    err.pub.emit_message = OnJpegMessage;
    // Only plain data lives across the jump: the output buffer is the
    // caller's image, already sized when rows are read.
    GrayImage out;
    std::vector<JSAMPLE> row;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        error = path + " is a damaged JPEG image: " + err.message;
        return Outcome::Refused;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, f.get());
    jpeg_read_header(&cinfo, TRUE);
    if (std::uint64_t{cinfo.image_width} * cinfo.image_height > kMaxPixels) {
        jpeg_destroy_decompress(&cinfo);
        error = path + " is a JPEG image of " + std::to_string(cinfo.image_width) + " x " +
                std::to_string(cinfo.image_height) + " pixels, more than the command takes";
        return Outcome::Refused;
    }
    // libjpeg turns YCbCr and grey into grey itself; a CMYK image it leaves
    // in four channels, which are combined below.
    const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
    cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_GRAYSCALE;
    jpeg_start_decompress(&cinfo);
    out.width = cinfo.output_width;
    out.height = cinfo.output_height;
    out.pixels.resize(std::size_t{out.width} * out.height);
    row.resize(std::size_t{out.width} * static_cast<std::size_t>(cinfo.output_components));
    while (cinfo.output_scanline < cinfo.output_height) {
        const std::size_t r = cinfo.output_scanline;
        JSAMPROW rows[1] = {row.data()};
        jpeg_read_scanlines(&cinfo, rows, 1);
        std::uint8_t* dst = out.pixels.data() + r * out.width;
        if (cinfo.output_components == 1) {
            std::copy(row.begin(), row.begin() + out.width, dst);
        } else {
            // Inverted CMYK, as image programs write it: each channel is
            // 255 for no ink.
            for (std::uint32_t x = 0; x < out.width; ++x) {
                const JSAMPLE* p = &row[std::size_t{x} * 4];
                const unsigned c = p[0], m = p[1], y = p[2], k = p[3];
                const unsigned luma = (c * 299 + m * 587 + y * 114) / 1000;
                dst[x] = static_cast<std::uint8_t>(luma * k / 255);
            }
        }
    }
    jpeg_finish_decompress(&cinfo);
    if (cinfo.saw_JFIF_marker && cinfo.X_density > 0 && cinfo.Y_density > 0) {
        const double scale = cinfo.density_unit == 1 ? 1.0 : cinfo.density_unit == 2 ? 2.54 : 0.0;
        out.xdpi = cinfo.X_density * scale;
        out.ydpi = cinfo.Y_density * scale;
    }
    jpeg_destroy_decompress(&cinfo);
    image = std::move(out);
    return Outcome::Ok;
}

}  // namespace doc
