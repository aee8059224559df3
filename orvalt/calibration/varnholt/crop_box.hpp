#pragma once

#include <vector>

namespace orvalt::calibration {

// An axis-aligned box in camera coordinates, metres; points on its faces are inside.
struct CropBox {
  double x_min = 0, x_max = 0, y_min = 0, y_max = 0, z_min = 0, z_max = 0;

  // The box of a --pc_crop_region [x_min, x_max, y_min, y_max, z_min, z_max] that
  // RunSettings::check() accepted (at least six values; later ones are ignored).
  static CropBox from_region(const std::vector<double>& region) {
    return {region[0], region[1], region[2], region[3], region[4], region[5]};
  }
};

}  // namespace orvalt::calibration
