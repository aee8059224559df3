#pragma once

#include <string>
#include <vector>

#include "orvalt/calibration/varnholt/sensor_pose_loader.hpp"

namespace orvalt::calibration {

// What became of the pairs of consecutive frames of a run; `pairs` is the sum of the others.
struct MotionPairCounts {
  int pairs = 0;
  int accepted = 0;
  int no_common_tag = 0;  // no tag seen in both frames
  int no_depth = 0;       // shared tags, but none with depth at all its points in both
  int not_finite = 0;     // a camera motion that is not a finite number
  int gate_failures = 0;  // odometry and camera translations differ by more than 5 cm
};

// Why a run collected no motion pair, counted, with what to do: the images' outcomes when
// fewer than two frames were loaded (no image, tags of other ids than target_ids only, the
// board in too few images), else the fate of every pair. The text begins "No valid motion
// pairs: ".
std::string no_motion_pairs_message(const ImageCounts& images, const MotionPairCounts& pairs,
                                    const std::vector<int>& target_ids);

}  // namespace orvalt::calibration
