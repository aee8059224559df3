#include "orvalt/ros2/header_stamp.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "orvalt/ros2/bag_reader.hpp"
#include "orvalt/testing/fixtures.hpp"

namespace orvalt::ros2 {
namespace {

using ::testing::HasSubstr;

constexpr std::int64_t kStamp = 1714741164111822142;

std_msgs::Header stamped_header() {
  return {builtin_interfaces::Time::from_nanoseconds(kStamp), "base_link"};
}

template <class Message>
void expect_stamp_of_own_type() {
  Message message;
  message.header = stamped_header();
  const Bytes bytes = message.encode();
  EXPECT_EQ(kStamp, header_stamp(Message::kTypeName, bytes)) << Message::kTypeName;
}

TEST(HeaderStamp, OwnStampedTypes) {
  expect_stamp_of_own_type<geometry_msgs::TransformStamped>();
  expect_stamp_of_own_type<sensor_msgs::Image>();
  expect_stamp_of_own_type<sensor_msgs::CameraInfo>();
  expect_stamp_of_own_type<sensor_msgs::PointCloud2>();
  expect_stamp_of_own_type<sensor_msgs::LaserScan>();
  expect_stamp_of_own_type<sensor_msgs::Imu>();
  expect_stamp_of_own_type<nav_msgs::Odometry>();
  sensor_msgs::Image image;
  image.header = stamped_header();
  EXPECT_EQ(kStamp, header_stamp("sensor_msgs/Image", image.encode()));
}

TEST(HeaderStamp, OwnTypesWithoutHeader) {
  tf2_msgs::TFMessage tf;
  tf.transforms.push_back({stamped_header(), "child", {}});
  EXPECT_EQ(std::nullopt, header_stamp(tf2_msgs::TFMessage::kTypeName, tf.encode()));
  // A Header message starts with a stamp but has no `header` field.
  EXPECT_EQ(std::nullopt, header_stamp("std_msgs/msg/Header", stamped_header().encode()));
  EXPECT_EQ(std::nullopt, header_stamp("geometry_msgs/msg/Vector3", Bytes(28, 0)));
}

TEST(HeaderStamp, StandardStampedTypesNeedOnlyTheHeaderBytes) {
  // Only the header is read, so the header's own payload stands for any of these types.
  const Bytes header_bytes = stamped_header().encode();
  for (const char* type :
       {"geometry_msgs/msg/PoseStamped", "geometry_msgs/msg/PoseWithCovarianceStamped",
        "geometry_msgs/PointStamped", "sensor_msgs/msg/CompressedImage",
        "sensor_msgs/msg/JointState", "sensor_msgs/msg/NavSatFix", "sensor_msgs/msg/TimeReference",
        "sensor_msgs/msg/BatteryState", "nav_msgs/msg/Path", "nav_msgs/msg/OccupancyGrid",
        "visualization_msgs/msg/Marker", "stereo_msgs/msg/DisparityImage"}) {
    EXPECT_EQ(kStamp, header_stamp(type, header_bytes)) << type;
  }
  for (const char* type : {"std_msgs/msg/String", "rcl_interfaces/msg/Log",
                           "visualization_msgs/msg/MarkerArray", "nav_msgs/msg/MapMetaData"}) {
    EXPECT_EQ(std::nullopt, header_stamp(type, header_bytes)) << type;
  }
}

TEST(HeaderStamp, UnknownTypesFollowTheirSchema) {
  const Bytes header_bytes = stamped_header().encode();
  const std::string stamped =
      "# A reading\n\n"
      "uint8 MODE_A = 1\n"
      "std_msgs/Header header  # acquisition time\n"
      "float64 value\n";
  EXPECT_EQ(kStamp, header_stamp("my_pkg/msg/Reading", header_bytes, stamped));
  EXPECT_EQ(kStamp, header_stamp("my_pkg/msg/Reading", header_bytes, "std_msgs/msg/Header header"));
  EXPECT_EQ(std::nullopt, header_stamp("my_pkg/msg/Reading", header_bytes));
  for (const char* schema :
       {"builtin_interfaces/Time stamp\nstring frame_id\n", "std_msgs/Header hdr\n",
        "float64 value\nstd_msgs/Header header\n", "Header header\n", "# nothing\n"}) {
    EXPECT_EQ(std::nullopt, header_stamp("my_pkg/msg/Reading", header_bytes, schema)) << schema;
  }
}

TEST(HeaderStamp, BigEndianAndUnnormalisedStamps) {
  const Bytes big_endian = {0x00, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0xff, 0x3b,
                            0x9a, 0xca, 0x05, 0x00, 0x00, 0x00, 0x01, 0x00};
  // sec -1 and nanosec 1000000005: nanosec is added as it is.
  EXPECT_EQ(5, header_stamp("sensor_msgs/msg/Imu", big_endian));
}

TEST(HeaderStamp, PayloadTooShortForTheHeaderFails) {
  const Bytes bytes = stamped_header().encode();
  // Up to the frame_id's length word, every prefix is too short for a header.
  for (std::size_t size = 0; size < 16; ++size) {
    try {
      header_stamp("geometry_msgs/msg/PoseStamped", Bytes(bytes.begin(), bytes.begin() + size));
      ADD_FAILURE() << size << " bytes gave a stamp";
    } catch (const std::runtime_error& error) {
      EXPECT_THAT(error.what(), HasSubstr("Cannot decode geometry_msgs/msg/PoseStamped"));
    }
  }
  // A frame_id longer than the payload.
  EXPECT_THROW(header_stamp("sensor_msgs/msg/Image", Bytes(bytes.begin(), bytes.end() - 3)),
               std::runtime_error);
  // Types without a header never look at the bytes.
  EXPECT_EQ(std::nullopt, header_stamp("std_msgs/msg/String", Bytes{}));
}

TEST(HeaderStamp, RealRecordings) {
  const auto bags = testing::real_bags_dir();
  if (!bags) GTEST_SKIP() << testing::kNoRealBags;
  BagReader images(*bags / "v5_sqlite3_schema2_image_2x2");
  std::vector<std::int64_t> stamps;
  auto stream = images.messages();
  while (auto message = stream.next()) {
    stamps.push_back(*header_stamp(message->connection->msgtype, message->data));
  }
  EXPECT_EQ((std::vector<std::int64_t>{0, 1000000000, 2000000000}), stamps);

  // A type we do not know, stamped per the schema stored with it.
  BagReader joints(*bags / "v9_mcap_imu_jointstate");
  for (const auto& connection : joints.connections()) {
    if (connection.topic != "/joint_states") continue;
    auto joint_stream = joints.messages({&connection});
    const auto first = joint_stream.next();
    ASSERT_TRUE(first);
    const auto stamp =
        header_stamp("custom/msg/JointLike", first->data, connection.message_definition);
    ASSERT_TRUE(stamp);
    EXPECT_EQ(stamp, header_stamp(connection.msgtype, first->data));
    EXPECT_GT(*stamp, 0);
    EXPECT_LT(*stamp, first->timestamp);  // simulation time against wall-clock time
  }
}

}  // namespace
}  // namespace orvalt::ros2
