#include "orvalt/calibration/varnholt/calibration_report.hpp"

#include <cmath>
#include <fstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace orvalt::calibration {
namespace {

using Json = nlohmann::ordered_json;

Json number(double value) { return std::isfinite(value) ? Json(value) : Json(nullptr); }

Json optional_number(const std::optional<double>& value) {
  return value ? number(*value) : Json(nullptr);
}

Json array(const Eigen::MatrixXd& values) {
  Json rows = Json::array();
  for (Eigen::Index r = 0; r < values.rows(); ++r) {
    Json row = Json::array();
    for (Eigen::Index c = 0; c < values.cols(); ++c) row.push_back(number(values(r, c)));
    rows.push_back(values.cols() == 1 ? row[0] : row);
  }
  return rows;
}

Json optimization_json(const MinimizeResult& result) {
  Json json;
  json["vec6"] = array(result.x);
  json["success"] = result.success;
  json["message"] = result.message;
  json["iterations"] = result.nit;
  json["function_evaluations"] = result.nfev;
  json["objective"] = number(result.fun);
  const double largest = result.jac.size() ? result.jac.cwiseAbs().maxCoeff() : 0.0;
  json["gradient_max"] = number(largest);
  json["gradient_grade"] = gradient_grade(largest);
  return json;
}

Json observability_json(const ObservabilityReport& report) {
  Json json = Json::object();
  for (std::size_t i = 0; i < report.parameters.size(); ++i) {
    const ParameterFinding& finding = report.parameters[i];
    Json entry;
    entry["value"] = number(finding.value);
    entry["initial"] = number(finding.initial);
    entry["unit"] = i < 3 ? "rad" : "m";
    entry["determination"] = determination_name(finding.determination);
    entry["determined_by"] =
        finding.determined_by.empty() ? Json(nullptr) : Json(finding.determined_by);
    entry["sigma"] = optional_number(finding.sigma);
    Json curvature;
    for (std::size_t t = 0; t < kTermNames.size(); ++t) {
      curvature[kTermNames[t]] = number(finding.curvature[t]);
    }
    entry["curvature"] = curvature;
    entry["message"] = finding.message.empty() ? Json(nullptr) : Json(finding.message);
    json[finding.name] = entry;
  }
  return json;
}

Json motion_json(const MotionCoverage& motion) {
  Json json;
  json["yaw_span_deg"] = number(motion.yaw_span * 180.0 / M_PI);
  json["total_distance_m"] = number(motion.total_distance);
  json["accepted_pairs"] = motion.accepted_pairs;
  json["ground_clouds"] = motion.ground_clouds;
  json["warnings"] = motion.warnings;
  return json;
}

Json accuracy_json(const AccuracyMetrics& metrics) {
  Json json;
  json["axxb_rotation_rmse"] = number(metrics.axxb_rotation_rmse);
  json["axxb_translation_rmse"] = number(metrics.axxb_translation_rmse);
  json["ground_normal_rmse"] = number(metrics.ground_normal_rmse);
  json["ground_z_rmse"] = number(metrics.ground_z_rmse);
  json["num_valid_ground_planes"] = metrics.num_valid_ground_planes;
  return json;
}

Json validation_json(const ValidationResult& validation) {
  Json json;
  json["valid"] = validation.valid;
  json["warnings"] = validation.warnings;
  json["rotation_norm"] = optional_number(validation.rotation_norm);
  json["translation_norm"] = optional_number(validation.translation_norm);
  json["transformation_matrix"] =
      validation.transformation_matrix ? array(*validation.transformation_matrix) : Json(nullptr);
  return json;
}

Json settings_json(const RunSettings& s) {
  Json json;
  json["camera_color_topic"] = s.camera_color_topic;
  json["camera_pointcloud_topic"] = s.camera_pointcloud_topic;
  json["camera_depth_topic"] = s.camera_depth_topic;
  json["camera_info_topic"] = s.camera_info_topic;
  json["base_frame"] = s.base_frame;
  json["global_frame"] = s.global_frame;
  json["bag_datasets_dir"] = s.bag_datasets_dir;
  json["bag_dir"] = s.bag_dir ? Json(*s.bag_dir) : Json(nullptr);
  json["reindex_bag"] = s.reindex_bag;
  json["parser_output_dir"] = s.parser_output_dir;
  json["tag_family"] = s.tag_family;
  json["tag_size_m"] = s.tag_size_m;
  json["enable_subpix_refinement"] = s.enable_subpix_refinement;
  json["target_ids"] = s.target_ids;
  json["pc_crop_region"] = s.pc_crop_region;
  json["w_axxb"] = s.w_axxb;
  json["w_normal"] = s.w_normal;
  json["w_z"] = s.w_z;
  json["max_iter"] = s.max_iter;
  json["init_extrinsics"] = s.init_extrinsics;
  json["extrinsics_rotate_offset"] = s.extrinsics_rotate_offset;
  json["extrinsics_translate_offset"] = s.extrinsics_translate_offset;
  json["calib_num"] = s.calib_num;
  json["debug"] = s.debug;
  json["log_level"] = s.log_level;
  json["log_file"] = s.log_file;
  json["w_xy"] = s.w_xy;
  json["ftol"] = s.ftol;
  json["gtol"] = s.gtol;
  json["camera_frame"] = s.camera_frame;
  json["extrinsics_init"] = s.extrinsics_init;
  Json bounds = Json::array();
  for (const auto& [low, high] : s.extrinsics_bound) bounds.push_back({low, high});
  json["extrinsics_bound"] = bounds;
  return json;
}

}  // namespace

std::string calibration_report_json(const CalibrationReport& report, const RunSettings& settings) {
  Json json;
  json["optimization"] = optimization_json(report.minimization);
  json["observability"] = observability_json(report.observability);
  json["motion"] = motion_json(report.observability.motion);
  json["accuracy"] = accuracy_json(report.accuracy);
  json["validation"] = validation_json(report.validation);
  json["settings"] = settings_json(settings);
  return json.dump(4) + "\n";
}

std::filesystem::path write_calibration_report(const std::filesystem::path& run_dir,
                                               const CalibrationReport& report,
                                               const RunSettings& settings) {
  const std::filesystem::path path = run_dir / "calibration_report.json";
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << calibration_report_json(report, settings);
  if (!file.flush()) throw std::runtime_error("Failed to write " + path.string());
  return path;
}

}  // namespace orvalt::calibration
