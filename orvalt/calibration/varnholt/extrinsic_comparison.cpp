#include "orvalt/calibration/varnholt/extrinsic_comparison.hpp"

#include <cmath>
#include <fstream>
#include <stdexcept>

#include <fmt/format.h>
#include <Eigen/Geometry>
#include <nlohmann/json.hpp>

#include "orvalt/calibration/utils/transform_utils.hpp"
#include "orvalt/common/angles.hpp"
#include "orvalt/common/file_not_found_error.hpp"

namespace orvalt::calibration {

ExtrinsicError extrinsic_error(const Eigen::Matrix4d& estimate, const Eigen::Matrix4d& truth) {
  const Eigen::Matrix3d relative = truth.block<3, 3>(0, 0).transpose() * estimate.block<3, 3>(0, 0);
  ExtrinsicError error;
  error.rotation_deg = common::rad_to_deg(Eigen::AngleAxisd(relative).angle());
  error.translation_mm = (estimate.block<3, 1>(0, 3) - truth.block<3, 1>(0, 3)).norm() * 1000.0;
  return error;
}

Eigen::Matrix4d read_extrinsic_matrix(const std::filesystem::path& path) {
  std::ifstream file(path);
  if (!file) throw common::FileNotFoundError("Extrinsic file not found: " + path.string());
  try {
    const nlohmann::json json = nlohmann::json::parse(file);
    const nlohmann::json& rows = json.at("extrinsic_matrix_4x4");
    if (rows.size() != 4) throw std::runtime_error("not 4 rows");
    Eigen::Matrix4d matrix;
    for (int r = 0; r < 4; ++r) {
      if (rows[r].size() != 4) throw std::runtime_error("not 4 columns");
      for (int c = 0; c < 4; ++c) matrix(r, c) = rows[r][c].get<double>();
    }
    return matrix;
  } catch (const std::exception& error) {
    throw std::runtime_error(path.string() +
                             " holds no 4 x 4 extrinsic_matrix_4x4: " + error.what());
  }
}

std::string comparison_report(const Eigen::Matrix4d& estimate, const Eigen::Matrix4d& truth,
                              const std::string& estimate_label, const std::string& truth_label) {
  const Eigen::Vector3d estimate_angles =
      common::rad_to_deg(TransformUtils::mat2euler(estimate.block<3, 3>(0, 0)));
  const Eigen::Vector3d truth_angles =
      common::rad_to_deg(TransformUtils::mat2euler(truth.block<3, 3>(0, 0)));
  std::string report =
      fmt::format("{:<12}{:>12}{:>12}{:>12}\n", "", estimate_label, truth_label, "difference");
  const char* angle_names[] = {"roll (deg)", "pitch (deg)", "yaw (deg)"};
  for (int i = 0; i < 3; ++i) {
    report += fmt::format("{:<12}{:>12.3f}{:>12.3f}{:>12.3f}\n", angle_names[i], estimate_angles[i],
                          truth_angles[i], estimate_angles[i] - truth_angles[i]);
  }
  const char* axis_names[] = {"x (mm)", "y (mm)", "z (mm)"};
  for (int i = 0; i < 3; ++i) {
    const double estimate_mm = estimate(i, 3) * 1000.0;
    const double truth_mm = truth(i, 3) * 1000.0;
    report += fmt::format("{:<12}{:>12.1f}{:>12.1f}{:>12.1f}\n", axis_names[i], estimate_mm,
                          truth_mm, estimate_mm - truth_mm);
  }
  const ExtrinsicError error = extrinsic_error(estimate, truth);
  report += fmt::format("rotation error: {:.3f} deg, translation error: {:.1f} mm\n",
                        error.rotation_deg, error.translation_mm);
  return report;
}

}  // namespace orvalt::calibration
