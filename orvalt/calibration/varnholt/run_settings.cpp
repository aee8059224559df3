#include "orvalt/calibration/varnholt/run_settings.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <fmt/format.h>

#include "orvalt/common/angles.hpp"
#include "orvalt/common/float_text.hpp"
#include "orvalt/parser_bag/kestrune/bag_parser.hpp"

namespace orvalt::calibration {
namespace {

std::string text(double value) { return common::float_text(value); }
std::string text(int value) { return std::to_string(value); }
std::string text(bool value) { return value ? "True" : "False"; }
std::string text(const std::string& value) { return value; }
std::string text(const std::optional<std::string>& value) { return value ? *value : "None"; }
std::string text(const std::pair<double, double>& value) {
  return "(" + text(value.first) + ", " + text(value.second) + ")";
}
std::string text(const Vector6d& values);
std::string text(const Vector6dBounds& values);
// Lists print their text items quoted, as Python's repr does inside a list.
std::string item(const std::string& value) { return "'" + value + "'"; }
template <typename T>
std::string item(const T& value) {
  return text(value);
}
template <typename T>
std::string text(const std::vector<T>& values) {
  std::string joined = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) joined += ", ";
    joined += item(values[i]);
  }
  return joined + "]";
}
std::string text(const Vector6d& values) {
  return text(std::vector<double>(values.data(), values.data() + values.size()));
}
std::string text(const Vector6dBounds& values) {
  return text(std::vector<std::pair<double, double>>(values.begin(), values.end()));
}

void require_six_finite(const std::vector<double>& values, const char* option, const char* layout) {
  if (values.size() < 6) {
    throw std::invalid_argument(
        fmt::format("{} needs 6 values {}, got {}", option, layout, values.size()));
  }
  // Values after the sixth are ignored, so they may be anything.
  if (!std::all_of(values.begin(), values.begin() + 6,
                   [](double value) { return std::isfinite(value); })) {
    throw std::invalid_argument(
        fmt::format("{} values must be finite numbers, got {}", option, text(values)));
  }
}

void require_not_negative(double value, const char* option) {
  if (!(std::isfinite(value) && value >= 0.0)) {
    throw std::invalid_argument(
        fmt::format("{} must be a finite number of at least 0, got {}", option, text(value)));
  }
}

void require_at_least(int value, int minimum, const char* option) {
  if (value < minimum) {
    throw std::invalid_argument(
        fmt::format("{} must be at least {}, got {}", option, minimum, value));
  }
}

}  // namespace

void RunSettings::check() const {
  require_six_finite(pc_crop_region, "--pc_crop_region",
                     "[x_min, x_max, y_min, y_max, z_min, z_max]");
  const std::vector<double>& box = pc_crop_region;
  if (box[0] >= box[1] || box[2] >= box[3] || box[4] >= box[5]) {
    throw std::invalid_argument(
        "Invalid bounding box dimensions. Ensure x_min < x_max, y_min < y_max, and z_min < "
        "z_max.");
  }
  require_six_finite(init_extrinsics, "--init_extrinsics", "[rx, ry, rz] (deg) [tx, ty, tz] (m)");
  // The optimizer's own test and text, in radians, as the run would meet it after parsing.
  const double rx = common::deg_to_rad(init_extrinsics[0]);
  const double ry = common::deg_to_rad(init_extrinsics[1]);
  const double rz = common::deg_to_rad(init_extrinsics[2]);
  if (std::max({std::abs(rx), std::abs(ry), std::abs(rz)}) > common::kPi) {
    throw std::invalid_argument(fmt::format(
        "Rotation angles must be in [-π, π] 内！\nrx={:.4f}, ry={:.4f}, rz={:.4f}", rx, ry, rz));
  }
  require_not_negative(extrinsics_rotate_offset, "--extrinsics_rotate_offset");
  require_not_negative(extrinsics_translate_offset, "--extrinsics_translate_offset");
  if (!(std::isfinite(tag_size_m) && tag_size_m > 0.0)) {
    throw std::invalid_argument(
        fmt::format("--tag_size_m must be a finite number above 0, got {}", text(tag_size_m)));
  }
  if (target_ids.empty()) throw std::invalid_argument("--target_ids needs at least one tag id");
  const int lowest_id = *std::min_element(target_ids.begin(), target_ids.end());
  if (lowest_id < 0) {
    throw std::invalid_argument(
        fmt::format("--target_ids must be tag ids of at least 0, got {}", lowest_id));
  }
  require_at_least(calib_num, 0, "--calib_num");
  require_at_least(max_iter, 1, "--max_iter");
  require_not_negative(w_axxb, "--w_axxb");
  require_not_negative(w_normal, "--w_normal");
  require_not_negative(w_z, "--w_z");
  require_not_negative(w_xy, "--w_xy");
  require_not_negative(ftol, "--ftol");
  require_not_negative(gtol, "--gtol");
  // A sideways slip of 0 is a base on wheels that do not slide; the other noise must be there.
  const auto positive = [](double value) { return std::isfinite(value) && value > 0.0; };
  if (odometry_noise.size() != 4 ||
      !std::all_of(odometry_noise.begin(), odometry_noise.begin() + 3, positive) ||
      !(std::isfinite(odometry_noise[3]) && odometry_noise[3] >= 0.0)) {
    throw std::invalid_argument(fmt::format(
        "--odometry_noise needs 4 finite numbers, the first three above 0 and the last at least "
        "0 (per metre driven, per radian turned, yaw per metre driven, sideways per metre "
        "driven), got {}",
        text(odometry_noise)));
  }
}

std::vector<std::string> make_topic_list(const RunSettings& settings) {
  return parser_bag::make_topic_list(settings.camera_color_topic, settings.camera_pointcloud_topic,
                                     settings.camera_depth_topic, settings.camera_info_topic);
}

std::vector<std::string> settings_dump(const RunSettings& s) {
  std::vector<std::string> lines;
  const auto add = [&lines](const char* name, const std::string& value) {
    lines.push_back(fmt::format("========= {}: {}", name, value));
  };
  visit_settings(s, [&add](const char* name, const auto& value) { add(name, text(value)); });
  return lines;
}

}  // namespace orvalt::calibration
