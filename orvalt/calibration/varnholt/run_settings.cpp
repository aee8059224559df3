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
  visit_settings(s, [&add](const char* name, const auto& value) { add(name, text(value)); });
  return lines;
}

}  // namespace orvalt::calibration
