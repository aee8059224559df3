#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "orvalt/apriltag/quinsel/tag_map.hpp"
#include "orvalt/calibration/utils/utils.hpp"

namespace orvalt::calibration {

// One usable frame of a run: the robot's pose at the capture (from the file name), the files
// of the capture and the tags detected in its colour image.
struct FrameRecord {
  PoseRow pose;  // base_footprint in the global frame at the capture
  std::string color_path;
  std::string depth_path;
  std::string pcd_path;  // recorded only; nothing reads it
  apriltag::TagMap corner_dict;
  // The same tags' corners from their edges (a tenth of the detector's error), for the board
  // refinement; empty unless it runs, and without the tags whose edges did not fit.
  apriltag::TagMap edge_corners;
};

// Frames by header stamp (nanoseconds), in ascending order.
using FrameMap = std::map<std::int64_t, FrameRecord>;

}  // namespace orvalt::calibration
