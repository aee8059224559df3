#include "orvalt/visual/ferrimond/png_export.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include <png.h>

namespace orvalt::visual {
namespace {

bool same_pixel(const std::uint8_t* a, const std::uint8_t* b) {
  return a[0] == b[0] && a[1] == b[1] && a[2] == b[2];
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

PixelBox content_box(const RgbImage& image, int pad) {
  const std::uint8_t* background = image.pixels.data();
  int left = image.width, right = -1, top = image.height, bottom = -1;
  for (int y = 0; y < image.height; ++y) {
    const std::uint8_t* row = image.pixels.data() + static_cast<std::size_t>(y) * image.width * 3;
    for (int x = 0; x < image.width; ++x) {
      if (same_pixel(row + 3 * x, background)) continue;
      left = std::min(left, x);
      right = std::max(right, x);
      top = std::min(top, y);
      bottom = std::max(bottom, y);
    }
  }
  if (right < 0) return {0, 0, image.width, image.height};
  left = std::max(0, left - pad);
  top = std::max(0, top - pad);
  right = std::min(image.width - 1, right + pad);
  bottom = std::min(image.height - 1, bottom + pad);
  return {left, top, right - left + 1, bottom - top + 1};
}

void write_png(const std::filesystem::path& path, const RgbImage& image, const PixelBox& box,
               int dpi) {
  const auto fail = [&path](const std::string& why) {
    return std::runtime_error("Cannot write " + path.string() + ": " + why);
  };
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
  if (!file) throw fail("cannot open the file");
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    throw fail("out of memory");
  }
  // libpng reports errors by longjmp; nothing with a destructor is created after this point.
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    throw fail("PNG encoding failed");
  }
  png_init_io(png, file.get());
  png_set_IHDR(png, info, box.width, box.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  const auto pixels_per_metre = static_cast<png_uint_32>(std::lround(dpi / 0.0254));
  png_set_pHYs(png, info, pixels_per_metre, pixels_per_metre, PNG_RESOLUTION_METER);
  png_write_info(png, info);
  for (int y = box.y; y < box.y + box.height; ++y) {
    const std::size_t offset = (static_cast<std::size_t>(y) * image.width + box.x) * 3;
    png_write_row(png, const_cast<png_bytep>(image.pixels.data() + offset));
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  if (std::fclose(file.release()) != 0) throw fail("write error");
}

}  // namespace orvalt::visual
