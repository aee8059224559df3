#include "orvalt/calibration/varnholt/calibration_exports.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "orvalt/common/atomic_file.hpp"

namespace orvalt::calibration {
namespace {

// Nine decimals (a nanometre, a nanoradian): far below what a calibration resolves, and a
// value that rounds to zero is written without a sign.
std::string number(double value) {
  const double rounded = round_half_even(value, 9);
  return fmt::format("{:.9f}", rounded == 0.0 ? 0.0 : rounded);
}

std::string warning_text(const std::vector<std::string>& unusable) {
  return fmt::format(
      "WARNING: this result is not usable as it stands: {} (see calibration_report.json)",
      fmt::join(unusable, ", "));
}

}  // namespace

std::string urdf_text(const CalibrationResult& result, const std::string& base_frame,
                      const std::string& camera_frame, const std::vector<std::string>& unusable) {
  const std::string warning = unusable.empty() ? "" : "<!-- " + warning_text(unusable) + " -->\n";
  return fmt::format(
      "<?xml version=\"1.0\"?>\n"
      "{8}"
      "<robot name=\"camera_calibration\">\n"
      "  <link name=\"{0}\"/>\n"
      "  <link name=\"{1}\"/>\n"
      "  <joint name=\"{0}_to_{1}\" type=\"fixed\">\n"
      "    <parent link=\"{0}\"/>\n"
      "    <child link=\"{1}\"/>\n"
      "    <origin xyz=\"{2} {3} {4}\" rpy=\"{5} {6} {7}\"/>\n"
      "  </joint>\n"
      "</robot>\n",
      base_frame, camera_frame, number(result.t(0)), number(result.t(1)), number(result.t(2)),
      number(result.euler(0)), number(result.euler(1)), number(result.euler(2)), warning);
}

std::string static_transform_command(const CalibrationResult& result, const std::string& base_frame,
                                     const std::string& camera_frame,
                                     const std::vector<std::string>& unusable) {
  const std::string warning = unusable.empty() ? "" : "# " + warning_text(unusable) + "\n";
  return warning + fmt::format(
                       "ros2 run tf2_ros static_transform_publisher --x {} --y {} --z {} --qx {} "
                       "--qy {} --qz {} "
                       "--qw {} --frame-id {} --child-frame-id {}\n",
                       number(result.t(0)), number(result.t(1)), number(result.t(2)),
                       number(result.quat(1)), number(result.quat(2)), number(result.quat(3)),
                       number(result.quat(0)), base_frame, camera_frame);
}

void write_calibration_exports(const std::filesystem::path& run_dir,
                               const CalibrationResult& result, const std::string& base_frame,
                               const std::string& camera_frame,
                               const std::vector<std::string>& unusable) {
  common::write_file_atomically(run_dir / "calibration_result.urdf",
                                urdf_text(result, base_frame, camera_frame, unusable));
  common::write_file_atomically(
      run_dir / "static_transform.txt",
      static_transform_command(result, base_frame, camera_frame, unusable));
}

}  // namespace orvalt::calibration
