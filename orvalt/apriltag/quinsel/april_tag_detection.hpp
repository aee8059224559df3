#pragma once

#include <Eigen/Core>

namespace orvalt::apriltag {

// The pose of one detected tag in the camera frame, with its image points.
struct AprilTagDetection {
  int tag_id;
  Eigen::Vector3d tvec;       // tag origin in the camera frame, metres
  Eigen::Vector3d rvec;       // rotation vector (axis times angle, radians) of R
  Eigen::Matrix3d R;          // rotation camera_from_tag
  Eigen::Matrix4d transform;  // camera_from_tag: R and tvec
  Eigen::Matrix<float, 4, 2, Eigen::RowMajor> corners;  // pixels, detector order
  Eigen::Vector2f center;                               // pixels
};

}  // namespace orvalt::apriltag
