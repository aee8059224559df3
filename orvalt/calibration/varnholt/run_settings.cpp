#include "orvalt/calibration/varnholt/run_settings.hpp"

#include <fmt/format.h>

namespace orvalt::calibration {
namespace {

// A float as Python prints it: the shortest text that reads back, with ".0" when integral.
std::string text(double value) {
  std::string shortest = fmt::format("{}", value);
  if (shortest.find_first_of(".eni") == std::string::npos) shortest += ".0";
  return shortest;
}
std::string text(int value) { return std::to_string(value); }
std::string text(bool value) { return value ? "True" : "False"; }
std::string text(const std::string& value) { return value; }
std::string text(const std::optional<std::string>& value) { return value ? *value : "None"; }
std::string text(const std::pair<double, double>& value) {
  return "(" + text(value.first) + ", " + text(value.second) + ")";
}
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

}  // namespace

std::vector<std::string> make_topic_list(const RunSettings& settings) {
  return {"/tf",
          "/tf_static",
          settings.camera_color_topic,
          settings.camera_pointcloud_topic,
          settings.camera_depth_topic,
          settings.camera_info_topic};
}

std::vector<std::string> settings_dump(const RunSettings& s) {
  std::vector<std::string> lines;
  const auto add = [&lines](const char* name, const std::string& value) {
    lines.push_back(fmt::format("========= {}: {}", name, value));
  };
  add("camera_color_topic", text(s.camera_color_topic));
  add("camera_pointcloud_topic", text(s.camera_pointcloud_topic));
  add("camera_depth_topic", text(s.camera_depth_topic));
  add("camera_info_topic", text(s.camera_info_topic));
  add("base_frame", text(s.base_frame));
  add("global_frame", text(s.global_frame));
  add("bag_datasets_dir", text(s.bag_datasets_dir));
  add("bag_dir", text(s.bag_dir));
  add("reindex_bag", text(s.reindex_bag));
  add("parser_output_dir", text(s.parser_output_dir));
  add("tag_family", text(s.tag_family));
  add("tag_size_m", text(s.tag_size_m));
  add("enable_subpix_refinement", text(s.enable_subpix_refinement));
  add("target_ids", text(s.target_ids));
  add("pc_crop_region", text(s.pc_crop_region));
  add("w_axxb", text(s.w_axxb));
  add("w_normal", text(s.w_normal));
  add("w_z", text(s.w_z));
  add("max_iter", text(s.max_iter));
  add("init_extrinsics", text(s.init_extrinsics));
  add("extrinsics_rotate_offset", text(s.extrinsics_rotate_offset));
  add("extrinsics_translate_offset", text(s.extrinsics_translate_offset));
  add("calib_num", text(s.calib_num));
  add("debug", text(s.debug));
  add("log_level", text(s.log_level));
  add("log_file", text(s.log_file));
  add("w_xy", text(s.w_xy));
  add("ftol", text(s.ftol));
  add("gtol", text(s.gtol));
  add("camera_frame", text(s.camera_frame));
  add("topic_list", text(s.topic_list));
  add("extrinsics_init", text(s.extrinsics_init));
  add("extrinsics_bound", text(s.extrinsics_bound));
  return lines;
}

}  // namespace orvalt::calibration
