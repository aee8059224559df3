#pragma once

#include "orvalt/calibration/varnholt/run_settings.hpp"

namespace orvalt::calibration {

// Fills extrinsics_init ([rx, ry, rz] of init_extrinsics converted from degrees to radians,
// then [tx, ty, tz] in metres; values after the sixth are ignored) and extrinsics_bound (each
// value minus and plus extrinsics_rotate_offset in radians for the angles,
// extrinsics_translate_offset for the translations), for settings that RunSettings::check()
// accepted.
void derive_extrinsics(RunSettings& settings);

}  // namespace orvalt::calibration
