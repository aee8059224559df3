#include "orvalt/calibration/utils/transform_utils.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

#include <Eigen/Geometry>
#include <Eigen/QR>
#include <Eigen/SVD>

#include "orvalt/common/logger.hpp"

namespace orvalt::calibration {
namespace {

auto log() { return common::logger("orvalt.calibration.utils"); }

// Below this ratio of the second to the largest singular value of the axis correlation, the
// rotation axes of the motions count as parallel: X's rotation about them is then set by noise.
constexpr double kParallelAxesRatio = 1e-2;

// cos(pitch) below this is treated as gimbal lock, where roll and yaw share one degree of
// freedom and atan2 of the tiny remaining entries would be noise.
constexpr double kGimbalLockCos = 1e-9;

Eigen::Vector3d rotation_log(const Eigen::Matrix3d& R) {
  const Eigen::AngleAxisd angle_axis(R);
  return angle_axis.angle() * angle_axis.axis();
}

}  // namespace

Eigen::Matrix4d TransformUtils::pose_to_mat(const Eigen::Vector3d& t, const Eigen::Vector4d& q) {
  const double norm = q.norm();
  if (!(norm > 0.0) || !std::isfinite(norm)) {
    throw std::invalid_argument("pose_to_mat: quaternion must have a finite, non-zero norm");
  }
  const Eigen::Quaterniond rotation(q(0) / norm, q(1) / norm, q(2) / norm, q(3) / norm);
  Eigen::Matrix4d T = Eigen::Matrix4d::Identity();
  T.block<3, 3>(0, 0) = rotation.toRotationMatrix();
  T.block<3, 1>(0, 3) = t;
  return T;
}

Eigen::Matrix4d TransformUtils::vector6_to_transform_matrix(const Vector6d& vec6) {
  const Eigen::Matrix3d R = (Eigen::AngleAxisd(vec6(2), Eigen::Vector3d::UnitZ()) *
                             Eigen::AngleAxisd(vec6(1), Eigen::Vector3d::UnitY()) *
                             Eigen::AngleAxisd(vec6(0), Eigen::Vector3d::UnitX()))
                                .toRotationMatrix();
  Eigen::Matrix4d X = Eigen::Matrix4d::Identity();
  X.block<3, 3>(0, 0) = R;
  X.block<3, 1>(0, 3) = vec6.tail<3>();
  return X;
}

Points3d TransformUtils::transform_camera_points_to_base(const Points3d& pts,
                                                         const Eigen::Matrix4d& X) {
  const Eigen::Matrix3d R = X.block<3, 3>(0, 0);
  const Eigen::RowVector3d t = X.block<3, 1>(0, 3).transpose();
  return (pts * R.transpose()).rowwise() + t;
}

Eigen::Matrix4d TransformUtils::solve_axxb_linear(const std::vector<Eigen::Matrix4d>& A_list,
                                                  const std::vector<Eigen::Matrix4d>& B_list) {
  if (A_list.size() != B_list.size()) {
    throw std::invalid_argument("solve_axxb_linear: A_list and B_list differ in length (" +
                                std::to_string(A_list.size()) + " vs " +
                                std::to_string(B_list.size()) + ")");
  }
  if (A_list.size() < 3) {
    throw std::invalid_argument("solve_axxb_linear: needs at least 3 motion pairs, got " +
                                std::to_string(A_list.size()));
  }
  const auto n = static_cast<Eigen::Index>(A_list.size());

  // Rotation (Park and Martin): R_A = R_X R_B implies log(R_A) = R_X log(R_B), so R_X is the
  // orthogonal Procrustes fit of the B axes onto the A axes. The SVD form keeps R_X a proper
  // rotation even when the axes span less than three dimensions.
  Eigen::Matrix3d correlation = Eigen::Matrix3d::Zero();
  for (Eigen::Index i = 0; i < n; ++i) {
    correlation += rotation_log(A_list[i].block<3, 3>(0, 0)) *
                   rotation_log(B_list[i].block<3, 3>(0, 0)).transpose();
  }
  const Eigen::JacobiSVD<Eigen::Matrix3d> svd(correlation,
                                              Eigen::ComputeFullU | Eigen::ComputeFullV);
  Eigen::Matrix3d handedness = Eigen::Matrix3d::Identity();
  handedness(2, 2) = (svd.matrixU() * svd.matrixV().transpose()).determinant() < 0 ? -1.0 : 1.0;
  const Eigen::Matrix3d R_X = svd.matrixU() * handedness * svd.matrixV().transpose();

  // Translation: (R_A - I) t_X = R_X t_B - t_A, stacked over all pairs. The minimum-norm
  // solution stays finite when some direction (the common axis of planar motions) is free.
  Eigen::MatrixXd lhs(3 * n, 3);
  Eigen::VectorXd rhs(3 * n);
  for (Eigen::Index i = 0; i < n; ++i) {
    lhs.block<3, 3>(3 * i, 0) = A_list[i].block<3, 3>(0, 0) - Eigen::Matrix3d::Identity();
    rhs.segment<3>(3 * i) = R_X * B_list[i].block<3, 1>(0, 3) - A_list[i].block<3, 1>(0, 3);
  }
  const auto decomposition = lhs.completeOrthogonalDecomposition();
  const Eigen::Vector3d t_X = decomposition.solve(rhs);

  const Eigen::Vector3d singular = svd.singularValues();
  if (!(singular(1) > kParallelAxesRatio * singular(0)) || decomposition.rank() < 3) {
    log()->warn(
        "solve_axxb_linear: the problem is degenerate (the motions' rotation axes are "
        "parallel, as for a robot driving on a floor); X's rotation about that axis and its "
        "translation along it are not determined by these motions");
  }

  Eigen::Matrix4d X = Eigen::Matrix4d::Identity();
  X.block<3, 3>(0, 0) = R_X;
  X.block<3, 1>(0, 3) = t_X;
  return X;
}

Eigen::Vector3d TransformUtils::rotmat_to_rpy(const Eigen::Matrix3d& R) {
  // R = Rz(yaw) Ry(pitch) Rx(roll) has R(2,0) = -sin(pitch), R(2,1) = cos(pitch) sin(roll),
  // R(2,2) = cos(pitch) cos(roll), R(1,0) = sin(yaw) cos(pitch), R(0,0) = cos(yaw) cos(pitch).
  const double cos_pitch = std::hypot(R(0, 0), R(1, 0));
  const double pitch = std::atan2(-R(2, 0), cos_pitch);
  if (cos_pitch < kGimbalLockCos) {
    // Only roll - yaw (pitch = +90 deg) or roll + yaw (pitch = -90 deg) is observable; put it
    // all in roll.
    const double roll = R(2, 0) < 0 ? std::atan2(R(0, 1), R(1, 1)) : std::atan2(-R(0, 1), R(1, 1));
    return {roll, pitch, 0.0};
  }
  return {std::atan2(R(2, 1), R(2, 2)), pitch, std::atan2(R(1, 0), R(0, 0))};
}

Eigen::Vector3d TransformUtils::mat2euler(const Eigen::Matrix3d& R) { return rotmat_to_rpy(R); }

Eigen::Vector4d TransformUtils::mat2quat(const Eigen::Matrix3d& R) {
  const Eigen::Quaterniond q = Eigen::Quaterniond(R).normalized();
  Eigen::Vector4d wxyz(q.w(), q.x(), q.y(), q.z());
  // q and -q are the same rotation; w >= 0 makes the result unique except at 180 degrees,
  // where w = 0 and the first non-zero vector component is made positive instead.
  double sign = wxyz(0) < 0 ? -1.0 : 1.0;
  if (wxyz(0) == 0.0) {
    for (int i = 1; i < 4; ++i) {
      if (wxyz(i) != 0.0) {
        sign = wxyz(i) < 0 ? -1.0 : 1.0;
        break;
      }
    }
  }
  return sign * wxyz;
}

}  // namespace orvalt::calibration
