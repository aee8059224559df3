#include "orvalt/calibration/varnholt/calibration_report.hpp"

#include <cmath>
#include <stdexcept>
#include <string_view>

#include <nlohmann/json.hpp>

#include "orvalt/common/angles.hpp"
#include "orvalt/common/atomic_file.hpp"
#include "orvalt/common/json_text.hpp"

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

Json optimization_json(const OptimizationSummary& summary) {
  const MinimizeResult& result = summary.minimization;
  Json json;
  json["vec6"] = array(summary.vec6);
  json["success"] = result.success;
  json["message"] = result.message;
  json["iterations"] = result.nit;
  json["function_evaluations"] = result.nfev;
  json["objective"] = number(result.fun);
  json["gradient_max"] = number(summary.largest_gradient);
  json["gradient_grade"] = gradient_grade(summary.largest_gradient);
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
    Json free_curvature;
    for (std::size_t t = 0; t < kTermNames.size(); ++t) {
      free_curvature[kTermNames[t]] = number(finding.free_curvature[t]);
    }
    entry["curvature_others_free"] = free_curvature;
    entry["message"] = finding.message.empty() ? Json(nullptr) : Json(finding.message);
    json[finding.name] = entry;
  }
  return json;
}

Json verdict_json(const ObservabilityReport& report) {
  const std::vector<std::string> unusable = unusable_parameters(report);
  Json json;
  json["usable"] = unusable.empty();
  json["unusable_parameters"] = unusable;
  const std::string verdict = usability_verdict(report);
  json["message"] = verdict.empty() ? Json(nullptr) : Json(verdict);
  return json;
}

Json motion_json(const MotionCoverage& motion) {
  Json json;
  json["yaw_span_deg"] = number(common::rad_to_deg(motion.yaw_span));
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

Json recording_json(const std::map<std::string, int>& backward_header_stamps) {
  Json json;
  json["backward_header_stamps"] = backward_header_stamps;
  json["result_suspect"] = !backward_header_stamps.empty();
  json["warning"] = backward_header_stamps.empty() ? Json(nullptr) : Json(kBackwardStampsWarning);
  return json;
}

Json refinement_parameters_json(const BoardRefinementRecord& record) {
  static constexpr const char* kNames[6] = {"rx", "ry", "rz", "tx", "ty", "tz"};
  const RefinementResult& result = record.result;
  Json json = Json::object();
  for (int i = 0; i < 6; ++i) {
    Json entry;
    entry["value"] = number(result.vec6(i));
    entry["optimizer_value"] = number(record.optimizer_vec6(i));
    entry["unit"] = i < 3 ? "rad" : "m";
    entry["determination"] = result.vec6_determined[i] ? "data" : "undetermined";
    entry["sigma"] = result.vec6_determined[i] ? number(result.vec6_sigma(i)) : Json(nullptr);
    entry["message"] = result.vec6_determined[i]
                           ? Json(nullptr)
                           : Json(
                                 "the recording does not determine it for the board refinement "
                                 "(it needs turns in front of the board); the optimizer's value "
                                 "stands");
    json[kNames[i]] = entry;
  }
  return json;
}

Json refinement_json(const BoardRefinementRecord& record) {
  const RefinementResult& result = record.result;
  Json json;
  json["method"] = "board";
  json["success"] = result.success;
  json["result_files_hold"] = result.success ? "refinement" : "optimizer";
  json["failure_reason"] = result.success ? Json(nullptr) : Json(result.failure_reason);
  json["converged"] = result.converged;
  json["solver_message"] = result.solver_message;
  json["iterations"] = result.iterations;
  json["optimizer_vec6"] = array(record.optimizer_vec6);
  json["vec6"] = array(result.vec6);
  json["parameters"] = refinement_parameters_json(record);
  json["time_offset_s"] = number(result.time_offset_s);
  json["time_offset_sigma_s"] =
      result.time_offset_determined ? number(result.time_offset_sigma_s) : Json(nullptr);
  json["time_offset_determined"] = result.time_offset_determined;
  json["reprojection_rms_px"] = number(result.reprojection_rms_px);
  json["worst_frame_rms_px"] = number(result.worst_frame_rms_px);
  json["worst_frame_stamp_ns"] = result.worst_frame_stamp_ns;
  json["frames_used"] = result.frames_used;
  json["tags_used"] = result.tags_used;
  json["corners_used"] = result.corners_used;
  json["outlier_corners"] = result.outlier_corners;
  json["corner_noise_px"] = number(result.corner_noise_px);
  json["floor_noise_m"] = number(result.floor_noise_m);
  json["odometry_distance_error"] = number(result.odometry_scale_errors(0));
  json["odometry_turn_error"] = number(result.odometry_scale_errors(1));
  return json;
}

Json setting_json(const std::optional<std::string>& value) {
  return value ? Json(*value) : Json(nullptr);
}
Json setting_json(const Vector6d& value) {
  return Json(std::vector<double>(value.data(), value.data() + value.size()));
}
template <class T>
Json setting_json(const T& value) {
  return Json(value);
}

Json settings_json(const RunSettings& s) {
  Json json;
  visit_settings(s, [&json](const char* name, const auto& value) {
    // Derived from the four topics, which the report holds already.
    if (std::string_view(name) != "topic_list") json[name] = setting_json(value);
  });
  return json;
}

}  // namespace

ObservabilityReport result_observability(const CalibrationReport& report) {
  return report.refinement ? refined_observability(report.observability, *report.refinement)
                           : report.observability;
}

std::string calibration_report_json(const CalibrationReport& report, const RunSettings& settings) {
  Json json;
  json["verdict"] = verdict_json(result_observability(report));
  json["optimization"] = optimization_json(report.optimization);
  json["observability"] = observability_json(report.observability);
  json["motion"] = motion_json(report.observability.motion);
  json["accuracy"] = accuracy_json(report.optimization.accuracy);
  json["validation"] = validation_json(report.optimization.validation);
  json["recording"] = recording_json(report.backward_header_stamps);
  if (report.refinement) json["refinement"] = refinement_json(*report.refinement);
  json["settings"] = settings_json(settings);
  return common::json_text(json) + "\n";
}

std::filesystem::path write_calibration_report(const std::filesystem::path& run_dir,
                                               const CalibrationReport& report,
                                               const RunSettings& settings) {
  const std::filesystem::path path = run_dir / "calibration_report.json";
  common::write_file_atomically(path, calibration_report_json(report, settings));
  return path;
}

}  // namespace orvalt::calibration
