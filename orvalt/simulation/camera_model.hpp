#pragma once

#include <Eigen/Geometry>

#include "orvalt/simulation/simulation_options.hpp"

namespace orvalt::simulation {

// The camera's two frames: the optical frame of its images (x right, y down, z forward) and
// the forward-left-up frame in which the calibration works and the point cloud is published
// (x = optical z, y = -optical x, z = -optical y).
Eigen::Matrix3d flu_from_optical();

// Pinhole projection with pixel centres at integer coordinates, as ROS camera_info and OpenCV
// use them.
class PinholeCamera {
 public:
  explicit PinholeCamera(const CameraIntrinsics& intrinsics) : intrinsics_(intrinsics) {}

  const CameraIntrinsics& intrinsics() const { return intrinsics_; }
  Eigen::Matrix3d K() const;
  // Pixel (u, v) of a point in the optical frame (z > 0).
  Eigen::Vector2d project(const Eigen::Vector3d& point_in_optical) const;
  // The optical-frame point of pixel (u, v) at depth z (along the optical axis).
  Eigen::Vector3d back_project(double u, double v, double z) const;

 private:
  CameraIntrinsics intrinsics_;
};

}  // namespace orvalt::simulation
