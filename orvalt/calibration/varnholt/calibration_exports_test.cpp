#include "orvalt/calibration/varnholt/calibration_exports.hpp"

#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <Eigen/Geometry>

#include "orvalt/testing/eigen_matchers.hpp"
#include "orvalt/testing/file_contents.hpp"
#include "orvalt/testing/file_size_limit.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::calibration {
namespace {

using testing::EigenNear;
using ::testing::HasSubstr;

std::vector<double> numbers(const std::string& text) {
  std::istringstream stream(text);
  return {std::istream_iterator<double>(stream), std::istream_iterator<double>()};
}

// What a URDF reader makes of the joint: p_parent = Rz(yaw) Ry(pitch) Rx(roll) p_child + xyz.
Eigen::Matrix4d urdf_joint(const std::string& urdf) {
  std::smatch match;
  const std::regex origin("<origin xyz=\"([^\"]*)\" rpy=\"([^\"]*)\"/>");
  EXPECT_TRUE(std::regex_search(urdf, match, origin)) << urdf;
  const std::vector<double> xyz = numbers(match[1]);
  const std::vector<double> rpy = numbers(match[2]);
  Eigen::Matrix4d T = Eigen::Matrix4d::Identity();
  T.block<3, 3>(0, 0) = (Eigen::AngleAxisd(rpy.at(2), Eigen::Vector3d::UnitZ()) *
                         Eigen::AngleAxisd(rpy.at(1), Eigen::Vector3d::UnitY()) *
                         Eigen::AngleAxisd(rpy.at(0), Eigen::Vector3d::UnitX()))
                            .matrix();
  T.block<3, 1>(0, 3) << xyz.at(0), xyz.at(1), xyz.at(2);
  return T;
}

// What static_transform_publisher makes of its arguments.
Eigen::Matrix4d published(const std::string& command) {
  const auto value = [&](const std::string& flag) {
    const std::size_t at = command.find("--" + flag + " ");
    EXPECT_NE(at, std::string::npos) << flag;
    return std::stod(command.substr(at + flag.size() + 3));
  };
  const Eigen::Quaterniond q(value("qw"), value("qx"), value("qy"), value("qz"));
  Eigen::Matrix4d T = Eigen::Matrix4d::Identity();
  T.block<3, 3>(0, 0) = q.normalized().matrix();
  T.block<3, 1>(0, 3) << value("x"), value("y"), value("z");
  return T;
}

TEST(CalibrationExportsTest, UrdfAndCommandReproduceTheResultMatrix) {
  for (const Vector6d& vec6 :
       {(Vector6d() << 0.0105, 0.0698, 0.0524, 0.025, 0.028, 0.152).finished(),
        (Vector6d() << -3.1, 1.3, 3.14159, -0.4, 1.2, -0.01).finished(),
        (Vector6d() << 1.57, -1.2, -2.5, 0.0, -1e-12, 2.0).finished()}) {
    const CalibrationResult result = decompose_extrinsic(vec6);
    EXPECT_THAT(urdf_joint(urdf_text(result, "base_footprint", "camera_link")),
                EigenNear(result.extrinsic_matrix, 1e-8));
    EXPECT_THAT(published(static_transform_command(result, "base_footprint", "camera_link")),
                EigenNear(result.extrinsic_matrix, 1e-8));
  }
}

TEST(CalibrationExportsTest, FilesNameTheFramesAndLieInTheRunDirectory) {
  testing::TempDir dir;
  const CalibrationResult result = decompose_extrinsic(Vector6d::Zero());
  write_calibration_exports(dir.path(), result, "base_footprint", "front_camera");
  const auto read = [&](const char* name) { return testing::read_text(dir / name); };
  const std::string urdf = read("calibration_result.urdf");
  EXPECT_THAT(urdf, HasSubstr("<joint name=\"base_footprint_to_front_camera\" type=\"fixed\">"));
  EXPECT_THAT(urdf, HasSubstr("<parent link=\"base_footprint\"/>"));
  EXPECT_THAT(urdf, HasSubstr("<child link=\"front_camera\"/>"));
  EXPECT_EQ(read("static_transform.txt"),
            "ros2 run tf2_ros static_transform_publisher --x 0.000000000 --y 0.000000000 --z "
            "0.000000000 --qx 0.000000000 --qy 0.000000000 --qz 0.000000000 --qw 1.000000000 "
            "--frame-id base_footprint --child-frame-id front_camera\n");
  EXPECT_THROW(write_calibration_exports(dir.path() / "missing", result, "a", "b"),
               std::runtime_error);
}

// Files written as if all were fine were pasted into robots; now they carry the warning.
TEST(CalibrationExportsTest, AnUnusableResultCarriesAWarningCommentNamingTheParameters) {
  testing::TempDir dir;
  const CalibrationResult result = decompose_extrinsic(Vector6d::Zero());
  write_calibration_exports(dir.path(), result, "base_footprint", "camera_link",
                            {"rz stopped at its search bound", "tx is undetermined"});
  const auto read = [&](const char* name) { return testing::read_text(dir / name); };
  const std::string warning =
      "WARNING: this result is not usable as it stands: rz stopped at its search bound, tx is "
      "undetermined (see calibration_report.json)";
  const std::string urdf = read("calibration_result.urdf");
  EXPECT_EQ(urdf.rfind("<?xml version=\"1.0\"?>\n<!-- " + warning + " -->\n<robot ", 0), 0u)
      << urdf;
  EXPECT_THAT(urdf_joint(urdf), EigenNear(result.extrinsic_matrix, 1e-12));
  const std::string command = read("static_transform.txt");
  EXPECT_EQ(command.rfind("# " + warning + "\nros2 run tf2_ros static_transform_publisher ", 0), 0u)
      << command;
  // Without findings nothing is added.
  EXPECT_EQ(urdf_text(result, "a", "b", {}).find("WARNING"), std::string::npos);
}

TEST(CalibrationExportsTest, ExportsAreWholeOrAbsent) {
  testing::TempDir dir;
  const CalibrationResult result = decompose_extrinsic(Vector6d::Zero());
  {
    // Room for the shorter static transform command, not for the URDF.
    const testing::FileSizeLimit nearly_full_disk(300);
    EXPECT_THROW(write_calibration_exports(dir.path(), result, "base_footprint", "camera_link", {}),
                 std::runtime_error);
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

}  // namespace
}  // namespace orvalt::calibration
