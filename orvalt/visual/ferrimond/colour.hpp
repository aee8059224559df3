#pragma once

#include <cstdint>

namespace orvalt::visual {

// An sRGB colour from its 0xRRGGBB code.
struct Colour {
  std::uint32_t rgb = 0;
  double red() const { return ((rgb >> 16) & 0xFF) / 255.0; }
  double green() const { return ((rgb >> 8) & 0xFF) / 255.0; }
  double blue() const { return (rgb & 0xFF) / 255.0; }
};

}  // namespace orvalt::visual
