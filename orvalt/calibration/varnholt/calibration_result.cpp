#include "orvalt/calibration/varnholt/calibration_result.hpp"

#include <cmath>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "orvalt/common/angles.hpp"
#include "orvalt/common/json_text.hpp"

namespace orvalt::calibration {
namespace {

nlohmann::ordered_json rounded(const Eigen::MatrixXd& values) {
  const auto round = [](double value) { return round_half_even(value, 8); };
  if (values.rows() == 1 || values.cols() == 1) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (Eigen::Index i = 0; i < values.size(); ++i) list.push_back(round(values(i)));
    return list;
  }
  nlohmann::ordered_json rows = nlohmann::ordered_json::array();
  for (Eigen::Index r = 0; r < values.rows(); ++r) {
    nlohmann::ordered_json row = nlohmann::ordered_json::array();
    for (Eigen::Index c = 0; c < values.cols(); ++c) row.push_back(round(values(r, c)));
    rows.push_back(row);
  }
  return rows;
}

}  // namespace

double round_half_even(double value, int decimals) {
  // nearbyint rounds halves to even in the default rounding mode, as the decimal rounding of
  // the numeric libraries users compare against does.
  const double scale = std::pow(10.0, decimals);
  return std::nearbyint(value * scale) / scale;
}

CalibrationResult decompose_extrinsic(const Vector6d& vec6) {
  CalibrationResult result;
  result.vec6 = vec6;
  result.extrinsic_matrix = TransformUtils::vector6_to_transform_matrix(vec6);
  result.R = result.extrinsic_matrix.block<3, 3>(0, 0);
  result.t = result.extrinsic_matrix.block<3, 1>(0, 3);
  result.euler = TransformUtils::mat2euler(result.R);
  result.euler_deg = common::rad_to_deg(result.euler);
  result.quat = TransformUtils::mat2quat(result.R);
  return result;
}

std::string calibration_result_json(const CalibrationResult& result) {
  nlohmann::ordered_json json;
  json["vec6"] = rounded(result.vec6);
  json["rotation"] = rounded(result.R);
  json["translation"] = rounded(result.t);
  json["rotation_euler"] = rounded(result.euler);
  json["rotation_deg"] = rounded(result.euler_deg);
  json["rotation_quat"] = rounded(result.quat);
  json["extrinsic_matrix_4x4"] = rounded(result.extrinsic_matrix);
  return common::json_text(json) + "\n";
}

std::string array_text(const Eigen::MatrixXd& values) {
  const auto row_text = [](const Eigen::MatrixXd& row) {
    std::string text = "[";
    for (Eigen::Index i = 0; i < row.size(); ++i) {
      if (i > 0) text += " ";
      text += fmt::format("{}", row(i));
    }
    return text + "]";
  };
  if (values.rows() == 1 || values.cols() == 1) return row_text(values);
  std::string text = "[";
  for (Eigen::Index r = 0; r < values.rows(); ++r) {
    if (r > 0) text += "\n ";
    text += row_text(values.row(r));
  }
  return text + "]";
}

}  // namespace orvalt::calibration
