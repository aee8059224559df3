#include "orvalt/draventa/odom_relative_transform.hpp"

#include <stdexcept>

#include <Eigen/LU>

#include "orvalt/calibration/utils/transform_utils.hpp"

namespace orvalt::draventa {

Eigen::Matrix4d OdomRelativeTransform::compute_odom_relative_transform(const Eigen::Vector3d& t_i,
                                                                       const Eigen::Vector4d& q_i,
                                                                       const Eigen::Vector3d& t_j,
                                                                       const Eigen::Vector4d& q_j) {
  using calibration::TransformUtils;
  const Eigen::Matrix4d odom_from_i = TransformUtils::pose_to_mat(t_i, q_i);
  const Eigen::Matrix4d odom_from_j = TransformUtils::pose_to_mat(t_j, q_j);
  Eigen::Matrix4d i_from_odom;
  bool invertible = false;
  odom_from_i.computeInverseWithCheck(i_from_odom, invertible);
  if (!invertible) {
    throw std::invalid_argument("Odometry pose i cannot be inverted (non-finite position?)");
  }
  return i_from_odom * odom_from_j;
}

}  // namespace orvalt::draventa
