#pragma once

#include <cstdint>
#include <filesystem>

namespace orvalt::visual {

// Pixels laid out as a Cairo RGB24 image surface holds them: `height` rows of `stride` bytes
// from `data`, each pixel a native-endian 32-bit word 0x00RRGGBB (the top byte unused).
struct PixelView {
  int width = 0;
  int height = 0;
  int stride = 0;
  const std::uint8_t* data = nullptr;

  // The pixel at column `x` of row `y` as 0xRRGGBB.
  std::uint32_t rgb(int x, int y) const;
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
PixelBox content_box(const PixelView& image, int pad);

// Writes `box` of `image` as an 8-bit RGB PNG whose physical pixel size says `dpi`, so that
// viewers and word processors print it at the intended size. Throws std::runtime_error naming
// the file when it cannot be written.
void write_png(const std::filesystem::path& path, const PixelView& image, const PixelBox& box,
               int dpi);

}  // namespace orvalt::visual
