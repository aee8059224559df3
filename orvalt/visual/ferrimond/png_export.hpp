#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace orvalt::visual {

// A rendered figure: `width` x `height` pixels, 8-bit RGB, rows top to bottom.
struct RgbImage {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;  // width * height * 3 bytes
};

// Pixel rectangle [x, x + width) x [y, y + height).
struct PixelBox {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// The smallest box holding every pixel that differs from the top-left pixel (taken as the
// background), grown by `pad` pixels on each side and clipped to the image. A blank image gives
// the whole image.
PixelBox content_box(const RgbImage& image, int pad);

// Writes `box` of `image` as an RGB PNG whose physical pixel size says `dpi`, so that viewers
// and word processors print it at the intended size. Throws std::runtime_error naming the file
// when it cannot be written.
void write_png(const std::filesystem::path& path, const RgbImage& image, const PixelBox& box,
               int dpi);

}  // namespace orvalt::visual
