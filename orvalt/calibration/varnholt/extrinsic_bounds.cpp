#include "orvalt/calibration/varnholt/extrinsic_bounds.hpp"

#include "orvalt/common/angles.hpp"

namespace orvalt::calibration {

void derive_extrinsics(RunSettings& settings) {
  const std::vector<double>& values = settings.init_extrinsics;
  const double r = common::deg_to_rad(settings.extrinsics_rotate_offset);
  const double t = settings.extrinsics_translate_offset;
  settings.extrinsics_init << common::deg_to_rad(values[0]), common::deg_to_rad(values[1]),
      common::deg_to_rad(values[2]), values[3], values[4], values[5];
  for (int i = 0; i < 6; ++i) {
    const double half_width = i < 3 ? r : t;
    const double value = settings.extrinsics_init[i];
    settings.extrinsics_bound[i] = {value - half_width, value + half_width};
  }
}

}  // namespace orvalt::calibration
