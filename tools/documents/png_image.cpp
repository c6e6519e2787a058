// PNG images through libpng, as grey on white paper.
#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <memory>

#include "tools/documents/raster.h"

namespace doc {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

void OnPngError(png_structp png, png_const_charp message) {
    auto* error = static_cast<std::string*>(png_get_error_ptr(png));
    if (error) *error = message;
    png_longjmp(png, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

}  // namespace

Outcome DecodePng(const std::string& path, GrayImage& image, std::string& error) {
    std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path.c_str(), "rb"));
    if (!f) {
        error = "cannot open " + path;
        return Outcome::Unreadable;
    }
    std::string reason;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &reason, OnPngError, OnPngWarning);
    if (!png) {
        error = "out of memory";
        return Outcome::Failed;
    }
    png_infop info = png_create_info_struct(png);
    // Everything that libpng allocates lives in its structures; the image
    // buffer is sized before any row is read, and is the caller's.
    GrayImage out;
    std::vector<png_bytep> rows;
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
        error = path + " is a damaged PNG image: " + (reason.empty() ? "it cannot be decoded" : reason);
        return Outcome::Refused;
    }
    png_init_io(png, f.get());
    png_set_user_limits(png, 1000000, 1000000);
    png_read_info(png, info);
    const png_uint_32 width = png_get_image_width(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    if (std::uint64_t{width} * height > kMaxPixels) {
        png_destroy_read_struct(&png, &info, nullptr);
        error = path + " is a PNG image of " + std::to_string(width) + " x " + std::to_string(height) +
                " pixels, more than the command takes";
        return Outcome::Refused;
    }
    // Whatever the colour type and depth: 8-bit grey, transparency laid on
    // white paper, interlacing undone.
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_rgb_to_gray_fixed(png, 1, -1, -1);
    png_color_16 white{};
    white.red = white.green = white.blue = white.gray = 255;
    png_set_background(png, &white, PNG_BACKGROUND_GAMMA_SCREEN, 0, 1.0);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != width) {
        png_destroy_read_struct(&png, &info, nullptr);
        error = path + " is a PNG image the command cannot turn grey";
        return Outcome::Refused;
    }
    out.width = width;
    out.height = height;
    out.pixels.resize(std::size_t{width} * height);
    rows.resize(height);
    for (png_uint_32 r = 0; r < height; ++r) rows[r] = out.pixels.data() + std::size_t{r} * width;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_uint_32 xppu = 0, yppu = 0;
    int unit = 0;
    if (png_get_pHYs(png, info, &xppu, &yppu, &unit) && unit == PNG_RESOLUTION_METER) {
        out.xdpi = xppu * 0.0254;
        out.ydpi = yppu * 0.0254;
    }
    png_destroy_read_struct(&png, &info, nullptr);
    image = std::move(out);
    return Outcome::Ok;
}

}  // namespace doc
