#pragma once

#include <Eigen/Core>

namespace orvalt::draventa {

// Relative motion of the robot base between two odometry poses.
class OdomRelativeTransform {
 public:
  // base_k_from_base_k1: the pose of frame j in frame i (a point with coordinates p in frame j
  // has coordinates T_rel * p in frame i), from the poses of frames i and j in the odometry
  // frame: positions (tx, ty, tz) in metres and quaternions (w, x, y, z). The fixed sizes make
  // the element counts a compile-time guarantee. Throws std::invalid_argument when pose i
  // cannot be inverted.
  static Eigen::Matrix4d compute_odom_relative_transform(const Eigen::Vector3d& t_i,
                                                         const Eigen::Vector4d& q_i,
                                                         const Eigen::Vector3d& t_j,
                                                         const Eigen::Vector4d& q_j);
};

}  // namespace orvalt::draventa
