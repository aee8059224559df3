#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Core>

namespace orvalt::calibration {

// How far a calibrated camera-to-base transform is from another (the truth of a simulated
// recording, or an earlier calibration).
struct ExtrinsicError {
  double rotation_deg = 0.0;    // angle of the relative rotation
  double translation_mm = 0.0;  // distance between the two translations
};

ExtrinsicError extrinsic_error(const Eigen::Matrix4d& estimate, const Eigen::Matrix4d& truth);

// The "extrinsic_matrix_4x4" of a calibration_result.json (or of a simulated recording's
// ground_truth.json, which shares the layout). Throws common::FileNotFoundError for a missing
// file and std::runtime_error naming the file when it holds no such 4 x 4 matrix.
Eigen::Matrix4d read_extrinsic_matrix(const std::filesystem::path& path);

// The optimizer's result in a calibration_report.json: "optimization"/"vec6", which a run with
// --refine board keeps beside the refined result of its result files. Throws
// common::FileNotFoundError for a missing file and std::runtime_error naming the file when it
// holds no such six-vector.
Eigen::Matrix4d read_optimizer_extrinsic(const std::filesystem::path& report_path);

// Both transforms side by side, as roll, pitch, yaw in degrees and x, y, z in millimetres
// with their differences, then the rotation and translation errors.
std::string comparison_report(const Eigen::Matrix4d& estimate, const Eigen::Matrix4d& truth,
                              const std::string& estimate_label = "calibrated",
                              const std::string& truth_label = "truth");

}  // namespace orvalt::calibration

namespace orvalt::calibration {

// Several labelled estimates side by side with the truth, then the difference of each from it
// ("<label> diff"), then each estimate's rotation and translation errors on a line of its own.
std::string comparison_report(const std::vector<std::pair<std::string, Eigen::Matrix4d>>& estimates,
                              const Eigen::Matrix4d& truth,
                              const std::string& truth_label = "truth");

}  // namespace orvalt::calibration
