#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "orvalt/ros2/bag_reader.hpp"
#include "orvalt/ros2/messages.hpp"
#include "orvalt/testing/fixtures.hpp"

namespace orvalt::ros2 {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

// The definition without comments, blank lines and trailing blanks: what a reader parses.
std::string skeleton(const std::string& definition) {
  std::istringstream lines(definition);
  std::string line;
  std::string kept;
  while (std::getline(lines, line)) {
    line = line.substr(0, line.find('#'));
    line = line.substr(0, line.find_last_not_of(" \t") + 1);
    if (!line.empty()) kept += line + "\n";
  }
  return kept;
}

const std::string kSeparator = std::string(80, '=') + "\n";

TEST(MessageDefinition, ImuListsItsDependenciesDepthFirstInSortedOrder) {
  const std::string expected =
      "std_msgs/Header header\n"
      "geometry_msgs/Quaternion orientation\n"
      "float64[9] orientation_covariance\n"
      "geometry_msgs/Vector3 angular_velocity\n"
      "float64[9] angular_velocity_covariance\n"
      "geometry_msgs/Vector3 linear_acceleration\n"
      "float64[9] linear_acceleration_covariance\n" +
      kSeparator +
      "MSG: geometry_msgs/Quaternion\n"
      "float64 x 0\nfloat64 y 0\nfloat64 z 0\nfloat64 w 1\n" +
      kSeparator +
      "MSG: geometry_msgs/Vector3\n"
      "float64 x\nfloat64 y\nfloat64 z\n" +
      kSeparator +
      "MSG: std_msgs/Header\n"
      "builtin_interfaces/Time stamp\nstring frame_id\n" +
      kSeparator +
      "MSG: builtin_interfaces/Time\n"
      "int32 sec\nuint32 nanosec\n";
  EXPECT_EQ(expected, skeleton(message_definition("sensor_msgs/msg/Imu")));
}

TEST(MessageDefinition, EachDependencyAppearsOnceAfterABlankLineAndSeparator) {
  const std::string odometry = message_definition("nav_msgs/msg/Odometry");
  std::vector<std::string> order;
  std::size_t at = 0;
  while ((at = odometry.find("MSG: ", at)) != std::string::npos) {
    const auto end = odometry.find('\n', at);
    order.push_back(odometry.substr(at + 5, end - at - 5));
    EXPECT_EQ("\n\n" + kSeparator,
              odometry.substr(at - kSeparator.size() - 2, kSeparator.size() + 2));
    at = end;
  }
  EXPECT_EQ(
      (std::vector<std::string>{
          "geometry_msgs/PoseWithCovariance", "geometry_msgs/Pose", "geometry_msgs/Point",
          "geometry_msgs/Quaternion", "geometry_msgs/TwistWithCovariance", "geometry_msgs/Twist",
          "geometry_msgs/Vector3", "std_msgs/Header", "builtin_interfaces/Time"}),
      order);
  EXPECT_THAT(message_definition("tf2_msgs/msg/TFMessage"),
              StartsWith("geometry_msgs/TransformStamped[] transforms\n\n" + kSeparator +
                         "MSG: geometry_msgs/TransformStamped\n"));
}

TEST(MessageDefinition, FieldLinesAreTheRos2Ones) {
  EXPECT_THAT(skeleton(message_definition("sensor_msgs/msg/CameraInfo")),
              StartsWith("std_msgs/Header header\nuint32 height\nuint32 width\n"
                         "string distortion_model\nfloat64[] d\nfloat64[9] k\nfloat64[9] r\n"
                         "float64[12] p\nuint32 binning_x\nuint32 binning_y\n"
                         "RegionOfInterest roi\n" +
                         kSeparator));
  EXPECT_THAT(skeleton(message_definition("sensor_msgs/msg/PointCloud2")),
              StartsWith("std_msgs/Header header\nuint32 height\nuint32 width\n"
                         "PointField[] fields\nbool    is_bigendian\nuint32  point_step\n"
                         "uint32  row_step\nuint8[] data\nbool is_dense\n" +
                         kSeparator + "MSG: sensor_msgs/PointField\nuint8 INT8    = 1\n"));
  EXPECT_THAT(skeleton(message_definition("sensor_msgs/msg/Image")),
              StartsWith("std_msgs/Header header\nuint32 height\nuint32 width\n"
                         "string encoding\nuint8 is_bigendian\nuint32 step\nuint8[] data\n"));
  EXPECT_THAT(skeleton(message_definition("sensor_msgs/msg/LaserScan")),
              StartsWith("std_msgs/Header header\nfloat32 angle_min\nfloat32 angle_max\n"
                         "float32 angle_increment\nfloat32 time_increment\nfloat32 scan_time\n"
                         "float32 range_min\nfloat32 range_max\nfloat32[] ranges\n"
                         "float32[] intensities\n" +
                         kSeparator));
}

TEST(MessageDefinition, NamesWorkWithAndWithoutMsgAndUnknownOnesAreEmpty) {
  EXPECT_EQ(message_definition("sensor_msgs/msg/Image"), message_definition("sensor_msgs/Image"));
  EXPECT_TRUE(is_known_type("sensor_msgs/Image"));
  EXPECT_TRUE(is_known_type("geometry_msgs/msg/Vector3"));
  EXPECT_FALSE(is_known_type("std_msgs/msg/String"));
  EXPECT_FALSE(is_known_type("sensor_msgs/msg/Imu/extra"));
  EXPECT_FALSE(is_known_type("Imu"));
  EXPECT_EQ("", message_definition("std_msgs/msg/String"));
  EXPECT_EQ("", message_definition(""));
}

// The schemas rosbag2 wrote into the fixture MCAP files: comments differ between
// distributions, field lines and layout must not.
TEST(MessageDefinition, MatchesTheSchemasOfRealRecordings) {
  const auto bags = testing::real_bags_dir();
  if (!bags) GTEST_SKIP() << testing::kNoRealBags;
  const std::vector<std::filesystem::path> files = {
      *bags / "v9_mcap_imu_jointstate" / "rosbag2_2025_05_09-18_01_02_0.mcap",
      *bags / "nometa_mcap_tf_odom_nav2" / "nav2_turtlebot.mcap"};
  int compared = 0;
  for (const auto& file : files) {
    BagReader reader(file);
    for (const auto& connection : reader.connections()) {
      if (!is_known_type(connection.msgtype)) continue;
      EXPECT_EQ(skeleton(connection.message_definition),
                skeleton(message_definition(connection.msgtype)))
          << connection.msgtype;
      ++compared;
    }
  }
  EXPECT_EQ(4, compared);  // Imu, TFMessage twice, Odometry
}

}  // namespace
}  // namespace orvalt::ros2
