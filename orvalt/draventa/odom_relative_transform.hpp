#pragma once

#include <vector>

#include <Eigen/Core>

namespace orvalt::draventa {

// Relative motion of the robot base between two odometry poses.
class OdomRelativeTransform {
 public:
  // The pose of frame j in frame i (a point with coordinates p in frame j has coordinates
  // T_rel * p in frame i), from the poses of frames i and j in the odometry frame: positions
  // (tx, ty, tz) in metres and quaternions (w, x, y, z). Throws std::invalid_argument unless
  // the positions have 3 and the quaternions 4 elements, or when pose i cannot be inverted.
  static Eigen::Matrix4d compute_odom_relative_transform(const std::vector<double>& t_i,
                                                         const std::vector<double>& q_i,
                                                         const std::vector<double>& t_j,
                                                         const std::vector<double>& q_j);
};

}  // namespace orvalt::draventa
