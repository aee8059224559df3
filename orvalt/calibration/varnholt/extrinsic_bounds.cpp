#include "orvalt/calibration/varnholt/extrinsic_bounds.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

namespace orvalt::calibration {

void derive_extrinsics(RunSettings& settings) {
  const std::vector<double>& values = settings.init_extrinsics;
  if (values.size() < 6) {
    throw std::invalid_argument(
        "--init_extrinsics needs 6 values [rx, ry, rz] (deg) [tx, ty, tz] (m), got " +
        std::to_string(values.size()));
  }
  const auto radians = [](double degrees) { return degrees * M_PI / 180.0; };
  const double r = radians(settings.extrinsics_rotate_offset);
  const double t = settings.extrinsics_translate_offset;
  settings.extrinsics_init = {radians(values[0]), radians(values[1]), radians(values[2]),
                              values[3],          values[4],          values[5]};
  settings.extrinsics_bound.clear();
  for (int i = 0; i < 6; ++i) {
    const double half_width = i < 3 ? r : t;
    const double value = settings.extrinsics_init[i];
    settings.extrinsics_bound.emplace_back(value - half_width, value + half_width);
  }
}

}  // namespace orvalt::calibration
