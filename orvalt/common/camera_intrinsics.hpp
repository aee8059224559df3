#pragma once

namespace orvalt::common {

// A pinhole camera as camera_info.yaml describes it: focal lengths and principal point in
// pixels, image size in pixels.
struct CameraIntrinsics {
  double fx = 0, fy = 0, cx = 0, cy = 0;
  int width = 0, height = 0;
};

}  // namespace orvalt::common
