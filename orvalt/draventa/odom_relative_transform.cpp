#include "orvalt/draventa/odom_relative_transform.hpp"

#include <stdexcept>

#include <Eigen/LU>

#include "orvalt/calibration/utils/transform_utils.hpp"

namespace orvalt::draventa {

Eigen::Matrix4d OdomRelativeTransform::compute_odom_relative_transform(
    const std::vector<double>& t_i, const std::vector<double>& q_i, const std::vector<double>& t_j,
    const std::vector<double>& q_j) {
  if (t_i.size() != 3 || q_i.size() != 4 || t_j.size() != 3 || q_j.size() != 4) {
    throw std::invalid_argument("All inputs must be 3D vectors and 4D quaternions.");
  }
  using calibration::TransformUtils;
  const Eigen::Matrix4d odom_from_i = TransformUtils::pose_to_mat(
      Eigen::Map<const Eigen::Vector3d>(t_i.data()), Eigen::Map<const Eigen::Vector4d>(q_i.data()));
  const Eigen::Matrix4d odom_from_j = TransformUtils::pose_to_mat(
      Eigen::Map<const Eigen::Vector3d>(t_j.data()), Eigen::Map<const Eigen::Vector4d>(q_j.data()));
  Eigen::Matrix4d i_from_odom;
  bool invertible = false;
  odom_from_i.computeInverseWithCheck(i_from_odom, invertible);
  if (!invertible) {
    throw std::invalid_argument("Odometry pose i cannot be inverted (non-finite position?)");
  }
  return i_from_odom * odom_from_j;
}

}  // namespace orvalt::draventa
