#pragma once

#include <filesystem>
#include <string>

#include <Eigen/Core>

#include "orvalt/calibration/utils/transform_utils.hpp"

namespace orvalt::calibration {

// `value` rounded to `decimals` places, halves to even (0.5e-8 steps go to the even last
// digit), keeping the sign of a result that rounds to zero.
double round_half_even(double value, int decimals);

// An extrinsic six-vector [rx, ry, rz, tx, ty, tz] in every form a user needs.
struct CalibrationResult {
  Vector6d vec6;
  Eigen::Matrix4d extrinsic_matrix;  // camera -> base_footprint
  Eigen::Matrix3d R;
  Eigen::Vector3d t;
  Eigen::Vector3d euler;  // radians, the convention of TransformUtils::mat2euler
  Eigen::Vector3d euler_deg;
  Eigen::Vector4d quat;  // w, x, y, z
};

CalibrationResult decompose_extrinsic(const Vector6d& vec6);

// calibration_result.json: one object with vec6, rotation (rows), translation,
// rotation_euler, rotation_deg, rotation_quat and extrinsic_matrix_4x4 (rows), every number
// rounded to 8 decimals and written in its shortest round-trip form, indented by 4 spaces
// with one array element per line.
std::string calibration_result_json(const CalibrationResult& result);

// Numbers in brackets separated by spaces, rows of a matrix on lines of their own:
// "[[1 0]\n [0 1]]" and "[0.5 -2]" for a vector (row or column).
std::string array_text(const Eigen::MatrixXd& values);

}  // namespace orvalt::calibration
