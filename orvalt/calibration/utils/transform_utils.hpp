#pragma once

#include <array>
#include <utility>
#include <vector>

#include <Eigen/Core>

namespace orvalt::calibration {

using Vector6d = Eigen::Matrix<double, 6, 1>;
using Points3d = Eigen::Matrix<double, Eigen::Dynamic, 3>;
// A (low, high) box bound for each entry of a six-vector, in its order.
using Vector6dBounds = std::array<std::pair<double, double>, 6>;

// Pose and matrix conversions and the linear AX = XB solver. Transforms are 4x4 homogeneous
// matrices; a six-vector [rx, ry, rz, tx, ty, tz] (radians, metres) stands for
// R = Rz(rz) * Ry(ry) * Rx(rx) (roll, pitch, yaw about the fixed x, y, z axes) and t.
class TransformUtils {
 public:
  // q = (w, x, y, z), normalised here; t in metres.
  static Eigen::Matrix4d pose_to_mat(const Eigen::Vector3d& t, const Eigen::Vector4d& q);
  static Eigen::Matrix4d vector6_to_transform_matrix(const Vector6d& vec6);
  // Row i of the result is R * pts.row(i) + t of X.
  static Points3d transform_camera_points_to_base(const Points3d& pts, const Eigen::Matrix4d& X);
  // X with A_i X ~= X B_i (A odometry, B camera motions); a proper rotation. Throws
  // std::invalid_argument for fewer than 3 pairs or lists of unequal length; logs a warning
  // when the motions do not constrain X fully (rotation axes all parallel).
  static Eigen::Matrix4d solve_axxb_linear(const std::vector<Eigen::Matrix4d>& A_list,
                                           const std::vector<Eigen::Matrix4d>& B_list);
  // (roll, pitch, yaw) with R = Rz(yaw) * Ry(pitch) * Rx(roll).
  static Eigen::Vector3d rotmat_to_rpy(const Eigen::Matrix3d& R);
  // The same convention as rotmat_to_rpy: mat2euler(vector6_to_transform_matrix(v)) gives
  // v's angles away from gimbal lock.
  static Eigen::Vector3d mat2euler(const Eigen::Matrix3d& R);
  // Unit quaternion (w, x, y, z) with w >= 0.
  static Eigen::Vector4d mat2quat(const Eigen::Matrix3d& R);
};

}  // namespace orvalt::calibration
