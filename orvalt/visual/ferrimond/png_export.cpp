#include "orvalt/visual/ferrimond/png_export.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <png.h>
#include <zlib.h>

namespace orvalt::visual {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

std::uint32_t PixelView::rgb(int x, int y) const {
  std::uint32_t word = 0;
  std::memcpy(&word, data + static_cast<std::size_t>(y) * stride + 4 * static_cast<std::size_t>(x),
              sizeof word);
  return word & 0xFFFFFFu;
}

PixelBox content_box(const PixelView& image, int pad) {
  if (image.width == 0 || image.height == 0) return {0, 0, image.width, image.height};
  const std::uint32_t background = image.rgb(0, 0);
  int left = image.width, right = -1, top = image.height, bottom = -1;
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      if (image.rgb(x, y) == background) continue;
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

void write_png(const std::filesystem::path& path, const PixelView& image, const PixelBox& box,
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
  // A figure is mostly white, and most rows repeat the one above: the "up" filter turns them
  // into zeros, which run-length coding packs smaller than adaptive filtering with default
  // deflate does, in a fraction of its time.
  png_set_compression_level(png, 1);
  png_set_compression_strategy(png, Z_RLE);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_UP);
  png_write_info(png, info);
  // libpng drops the unused byte of each 32-bit pixel and orders the colour bytes.
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  png_set_filler(png, 0, PNG_FILLER_AFTER);
  png_set_bgr(png);
#else
  png_set_filler(png, 0, PNG_FILLER_BEFORE);
#endif
  for (int y = box.y; y < box.y + box.height; ++y) {
    const std::size_t offset = static_cast<std::size_t>(y) * image.stride + 4 * box.x;
    png_write_row(png, const_cast<png_bytep>(image.data + offset));
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  if (std::fclose(file.release()) != 0) throw fail("write error");
}

}  // namespace orvalt::visual
