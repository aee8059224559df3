#include "orvalt/ros2/messages.hpp"

#include <fastcdr/Cdr.h>
#include <fastcdr/FastBuffer.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cctype>
#include <filesystem>
#include <limits>
#include <stdexcept>

#include "orvalt/testing/fixtures.hpp"

namespace orvalt::ros2 {
namespace {

using ::testing::HasSubstr;

Bytes hex(const std::string& text) {
  Bytes bytes;
  std::string digits;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
  }
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

// A value of each type with every field set, strings of several lengths (so that the fields
// after them land at every alignment) and sequences of several sizes.
template <class T>
T sample();

template <>
builtin_interfaces::Time sample() {
  return {1700000000, 123456789};
}
template <>
std_msgs::Header sample() {
  return {{-5, 999999999}, "camera_link"};
}
template <>
geometry_msgs::Vector3 sample() {
  return {1.5, -2.25, 3e10};
}
template <>
geometry_msgs::Point sample() {
  return {-0.125, 4.0, std::numeric_limits<double>::max()};
}
template <>
geometry_msgs::Quaternion sample() {
  return {0.1, -0.2, 0.3, 0.9};
}
template <>
geometry_msgs::Pose sample() {
  return {sample<geometry_msgs::Point>(), sample<geometry_msgs::Quaternion>()};
}
template <>
geometry_msgs::PoseWithCovariance sample() {
  geometry_msgs::PoseWithCovariance m{sample<geometry_msgs::Pose>(), {}};
  for (std::size_t i = 0; i < m.covariance.size(); ++i) m.covariance[i] = 0.5 * i - 3;
  return m;
}
template <>
geometry_msgs::Twist sample() {
  return {{1, 2, 3}, {-4, -5, -6}};
}
template <>
geometry_msgs::TwistWithCovariance sample() {
  geometry_msgs::TwistWithCovariance m{sample<geometry_msgs::Twist>(), {}};
  for (std::size_t i = 0; i < m.covariance.size(); ++i) m.covariance[i] = 1.0 / (i + 1);
  return m;
}
template <>
geometry_msgs::Transform sample() {
  return {{0.25, -0.5, 1.75}, {0, 0, 0.70710678118654757, 0.70710678118654757}};
}
template <>
geometry_msgs::TransformStamped sample() {
  return {{{12, 5}, "odom"}, "base_link", sample<geometry_msgs::Transform>()};
}
template <>
tf2_msgs::TFMessage sample() {
  tf2_msgs::TFMessage m;
  const std::vector<std::string> frames = {"a", "ab", "abc", "abcd", "base_footprint"};
  for (std::size_t i = 0; i < frames.size(); ++i) {
    geometry_msgs::TransformStamped t = sample<geometry_msgs::TransformStamped>();
    t.header.stamp.nanosec = static_cast<std::uint32_t>(i);
    t.header.frame_id = frames[i];
    t.child_frame_id = frames[frames.size() - 1 - i];
    t.transform.translation.x = static_cast<double>(i);
    m.transforms.push_back(t);
  }
  return m;
}
template <>
sensor_msgs::Image sample() {
  sensor_msgs::Image m;
  m.header = {{100, 200}, "cam"};
  m.height = 2;
  m.width = 3;
  m.encoding = "rgb8";
  m.is_bigendian = 0;
  m.step = 10;  // 9 bytes of pixels and one of padding per row
  for (int i = 0; i < 20; ++i) m.data.push_back(static_cast<std::uint8_t>(i * 13));
  return m;
}
template <>
sensor_msgs::RegionOfInterest sample() {
  return {1, 2, 3, 4, true};
}
template <>
sensor_msgs::CameraInfo sample() {
  sensor_msgs::CameraInfo m;
  m.header = {{7, 8}, "camera_color_optical_frame"};
  m.height = 480;
  m.width = 640;
  m.distortion_model = "plumb_bob";
  m.d = {0.1, -0.2, 0.001, 0.002, 0.05};
  m.k = {600, 0, 320, 0, 601, 240, 0, 0, 1};
  m.r = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  m.p = {600, 0, 320, 0, 0, 601, 240, 0, 0, 0, 1, 0};
  m.binning_x = 1;
  m.binning_y = 2;
  m.roi = {10, 20, 30, 40, true};
  return m;
}
template <>
sensor_msgs::PointField sample() {
  return {"intensity", 12, sensor_msgs::PointField::FLOAT32, 1};
}
template <>
sensor_msgs::PointCloud2 sample() {
  sensor_msgs::PointCloud2 m;
  m.header = {{3, 4}, "lidar"};
  m.height = 1;
  m.width = 2;
  m.fields = {{"x", 0, sensor_msgs::PointField::FLOAT32, 1},
              {"y", 4, sensor_msgs::PointField::FLOAT32, 1},
              {"z", 8, sensor_msgs::PointField::FLOAT32, 1},
              {"intensity", 12, sensor_msgs::PointField::UINT8, 1}};
  m.is_bigendian = false;
  m.point_step = 13;
  m.row_step = 26;
  for (int i = 0; i < 26; ++i) m.data.push_back(static_cast<std::uint8_t>(255 - i));
  m.is_dense = true;
  return m;
}
template <>
sensor_msgs::LaserScan sample() {
  sensor_msgs::LaserScan m;
  m.header = {{9, 10}, "laser"};
  m.angle_min = -1.5f;
  m.angle_max = 1.5f;
  m.angle_increment = 0.75f;
  m.time_increment = 0.001f;
  m.scan_time = 0.1f;
  m.range_min = 0.05f;
  m.range_max = 30.0f;
  m.ranges = {1.0f, std::numeric_limits<float>::infinity(), 2.5f, 0.3f, 12.0f};
  m.intensities = {100.0f, 0.0f, 47.0f};
  return m;
}
template <>
sensor_msgs::Imu sample() {
  sensor_msgs::Imu m;
  m.header = {{11, 12}, "imu_link"};
  m.orientation = sample<geometry_msgs::Quaternion>();
  m.angular_velocity = {0.01, 0.02, 0.03};
  m.linear_acceleration = {0.1, 0.2, 9.81};
  for (std::size_t i = 0; i < 9; ++i) {
    m.orientation_covariance[i] = i;
    m.angular_velocity_covariance[i] = -1.0 * i;
    m.linear_acceleration_covariance[i] = 0.5 * i;
  }
  return m;
}
template <>
nav_msgs::Odometry sample() {
  return {{{13, 14}, "odom"},
          "base_footprint",
          sample<geometry_msgs::PoseWithCovariance>(),
          sample<geometry_msgs::TwistWithCovariance>()};
}

template <class T>
class EveryMessage : public ::testing::Test {};
using MessageTypes = ::testing::Types<
    builtin_interfaces::Time, std_msgs::Header, geometry_msgs::Vector3, geometry_msgs::Point,
    geometry_msgs::Quaternion, geometry_msgs::Pose, geometry_msgs::PoseWithCovariance,
    geometry_msgs::Twist, geometry_msgs::TwistWithCovariance, geometry_msgs::Transform,
    geometry_msgs::TransformStamped, tf2_msgs::TFMessage, sensor_msgs::Image,
    sensor_msgs::RegionOfInterest, sensor_msgs::CameraInfo, sensor_msgs::PointField,
    sensor_msgs::PointCloud2, sensor_msgs::LaserScan, sensor_msgs::Imu, nav_msgs::Odometry>;
TYPED_TEST_SUITE(EveryMessage, MessageTypes);

TYPED_TEST(EveryMessage, RoundTripsAndIsKnown) {
  const TypeParam message = sample<TypeParam>();
  const Bytes bytes = message.encode();
  ASSERT_GE(bytes.size(), 4u);
  EXPECT_EQ(hex("00 01 00 00"), Bytes(bytes.begin(), bytes.begin() + 4));
  EXPECT_EQ(message, TypeParam::decode(bytes));
  EXPECT_EQ(TypeParam{}, TypeParam::decode(TypeParam{}.encode()));
  EXPECT_TRUE(is_known_type(TypeParam::kTypeName));
}

TYPED_TEST(EveryMessage, EveryShorterPrefixFailsNamingTheType) {
  const Bytes bytes = sample<TypeParam>().encode();
  for (std::size_t size = 0; size < bytes.size(); ++size) {
    const Bytes prefix(bytes.begin(), bytes.begin() + size);
    try {
      TypeParam::decode(prefix);
      ADD_FAILURE() << "a prefix of " << size << " of " << bytes.size() << " bytes decoded";
    } catch (const std::runtime_error& error) {
      EXPECT_THAT(error.what(), HasSubstr(std::string("Cannot decode ") + TypeParam::kTypeName))
          << "prefix of " << size << " bytes";
    }
  }
}

TYPED_TEST(EveryMessage, RefusesOtherEncapsulations) {
  Bytes bytes = sample<TypeParam>().encode();
  for (const std::uint8_t kind : {0x02, 0x03, 0x06, 0x07, 0x0a}) {
    bytes[1] = kind;
    EXPECT_THROW(TypeParam::decode(bytes), std::runtime_error) << int(kind);
  }
}

TEST(CdrBytes, TimeIsTwoLittleEndianWords) {
  const builtin_interfaces::Time time{1, 2};
  EXPECT_EQ(hex("00 01 00 00  01 00 00 00  02 00 00 00"), time.encode());
}

TEST(CdrBytes, HeaderStringCountsItsNul) {
  const std_msgs::Header header{{5, 6}, "ab"};
  EXPECT_EQ(hex("00 01 00 00  05 00 00 00  06 00 00 00  03 00 00 00  61 62 00"), header.encode());
  EXPECT_EQ(hex("00 01 00 00  00 00 00 00  00 00 00 00  01 00 00 00  00"),
            std_msgs::Header{}.encode());
}

TEST(CdrBytes, TfMessagePadsDoublesToEightBytes) {
  tf2_msgs::TFMessage message;
  message.transforms.push_back({{{1, 2}, "a"}, "b", {{1, 2, 3}, {0, 0, 0, 1}}});
  const Bytes expected =
      hex("00 01 00 00"
          "01 00 00 00"                // one transform
          "01 00 00 00  02 00 00 00"   // stamp
          "02 00 00 00  61 00  00 00"  // "a", padding to 4
          "02 00 00 00  62 00"         // "b"
          "00 00 00 00 00 00"          // padding to 8
          "00 00 00 00 00 00 f0 3f  00 00 00 00 00 00 00 40  00 00 00 00 00 00 08 40"
          "00 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00"
          "00 00 00 00 00 00 f0 3f");
  EXPECT_EQ(expected, message.encode());
  EXPECT_EQ(message, tf2_msgs::TFMessage::decode(expected));
}

// The first image of the 2x2 mono8 fixture recording, as rosbag2 stored it.
const char* const kFixtureImage1 =
    "00 01 00 00  00 00 00 00  00 00 00 00  15 00 00 00"
    "63 61 6d 65 72 61 5f 6f 70 74 69 63 61 6c 5f 66 72 61 6d 65 00  00 00 00"
    "02 00 00 00  02 00 00 00  06 00 00 00  6d 6f 6e 6f 38 00  00  00"
    "02 00 00 00  04 00 00 00  00 80 80 ff";

sensor_msgs::Image fixture_image(std::uint32_t nanosec) {
  sensor_msgs::Image image;
  image.header = {{0, nanosec}, "camera_optical_frame"};
  image.height = 2;
  image.width = 2;
  image.encoding = "mono8";
  image.step = 2;
  image.data = {0x00, 0x80, 0x80, 0xff};
  return image;
}

TEST(CdrBytes, ImageMatchesWhatRosbag2Wrote) {
  EXPECT_EQ(72u, hex(kFixtureImage1).size());
  EXPECT_EQ(hex(kFixtureImage1), fixture_image(0).encode());
  EXPECT_EQ(fixture_image(0), sensor_msgs::Image::decode(hex(kFixtureImage1)));
}

TEST(CdrBytes, DecodeIgnoresPaddingValues) {
  // The second fixture image: nanosec 1e9 and a padding byte of 0x61 before `step`.
  const Bytes second =
      hex("00 01 00 00  00 00 00 00  00 ca 9a 3b  15 00 00 00"
          "63 61 6d 65 72 61 5f 6f 70 74 69 63 61 6c 5f 66 72 61 6d 65 00  00 00 00"
          "02 00 00 00  02 00 00 00  06 00 00 00  6d 6f 6e 6f 38 00  00  61"
          "02 00 00 00  04 00 00 00  00 80 80 ff");
  EXPECT_EQ(fixture_image(1000000000), sensor_msgs::Image::decode(second));
}

// Big-endian payloads written field by field with Fast-CDR, as a big-endian publisher would.
class BigEndianWriter {
 public:
  BigEndianWriter()
      : cdr_(buffer_, eprosima::fastcdr::Cdr::BIG_ENDIANNESS, eprosima::fastcdr::Cdr::DDS_CDR) {
    cdr_.serialize_encapsulation();
  }
  template <class T>
  BigEndianWriter& operator<<(const T& value) {
    cdr_ << value;
    return *this;
  }
  BigEndianWriter& bytes(const Bytes& data) {
    cdr_ << static_cast<std::uint32_t>(data.size());
    cdr_.serializeArray(data.data(), data.size());
    return *this;
  }
  Bytes payload() {
    const auto* begin = reinterpret_cast<const std::uint8_t*>(buffer_.getBuffer());
    return Bytes(begin, begin + cdr_.getSerializedDataLength());
  }

 private:
  eprosima::fastcdr::FastBuffer buffer_;
  eprosima::fastcdr::Cdr cdr_;
};

TEST(BigEndian, ImageDecodes) {
  const sensor_msgs::Image image = sample<sensor_msgs::Image>();
  BigEndianWriter out;
  out << image.header.stamp.sec << image.header.stamp.nanosec << image.header.frame_id
      << image.height << image.width << image.encoding << image.is_bigendian << image.step;
  out.bytes(image.data);
  const Bytes payload = out.payload();
  EXPECT_EQ(hex("00 00 00 00"), Bytes(payload.begin(), payload.begin() + 4));
  EXPECT_EQ(image, sensor_msgs::Image::decode(payload));
}

TEST(BigEndian, TfMessageAndCameraInfoDecode) {
  const tf2_msgs::TFMessage tf = sample<tf2_msgs::TFMessage>();
  BigEndianWriter tf_out;
  tf_out << static_cast<std::uint32_t>(tf.transforms.size());
  for (const auto& t : tf.transforms) {
    tf_out << t.header.stamp.sec << t.header.stamp.nanosec << t.header.frame_id << t.child_frame_id
           << t.transform.translation.x << t.transform.translation.y << t.transform.translation.z
           << t.transform.rotation.x << t.transform.rotation.y << t.transform.rotation.z
           << t.transform.rotation.w;
  }
  EXPECT_EQ(tf, tf2_msgs::TFMessage::decode(tf_out.payload()));

  const sensor_msgs::CameraInfo info = sample<sensor_msgs::CameraInfo>();
  BigEndianWriter info_out;
  info_out << info.header.stamp.sec << info.header.stamp.nanosec << info.header.frame_id
           << info.height << info.width << info.distortion_model << info.d << info.k << info.r
           << info.p << info.binning_x << info.binning_y << info.roi.x_offset << info.roi.y_offset
           << info.roi.height << info.roi.width << info.roi.do_rectify;
  EXPECT_EQ(info, sensor_msgs::CameraInfo::decode(info_out.payload()));
}

// Overwrites the 4 bytes at `offset` with a little-endian `value`.
Bytes with_word(Bytes bytes, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
  return bytes;
}

TEST(CorruptPayload, HugeSequenceLengthsAreRefusedBeforeAllocating) {
  const Bytes tf = sample<tf2_msgs::TFMessage>().encode();
  for (const std::uint32_t count : {0xffffffffu, 0x10000000u, 100000u}) {
    try {
      tf2_msgs::TFMessage::decode(with_word(tf, 4, count));
      ADD_FAILURE() << "count " << count << " decoded";
    } catch (const std::runtime_error& error) {
      EXPECT_THAT(error.what(), HasSubstr("Cannot decode tf2_msgs/msg/TFMessage"));
      EXPECT_THAT(error.what(), HasSubstr("sequence length"));
    }
  }
  // The image data length is the word after `step`, 8 bytes before the pixels.
  const Bytes image = fixture_image(0).encode();
  EXPECT_THROW(sensor_msgs::Image::decode(with_word(image, image.size() - 8, 0xfffffff0u)),
               std::runtime_error);
  EXPECT_THROW(sensor_msgs::Image::decode(with_word(image, image.size() - 8, 5)),
               std::runtime_error);
  // The frame_id length.
  EXPECT_THROW(sensor_msgs::Image::decode(with_word(image, 12, 0x7fffffffu)), std::runtime_error);
}

TEST(CorruptPayload, InvalidBoolIsRefused) {
  Bytes bytes = sample<sensor_msgs::RegionOfInterest>().encode();
  bytes.back() = 2;
  try {
    sensor_msgs::RegionOfInterest::decode(bytes);
    FAIL() << "a bool of 2 decoded";
  } catch (const std::runtime_error& error) {
    EXPECT_THAT(error.what(), HasSubstr("invalid bool value 2"));
  }
}

TEST(Time, FromNanosecondsNormalises) {
  using builtin_interfaces::Time;
  EXPECT_EQ((Time{0, 0}), Time::from_nanoseconds(0));
  EXPECT_EQ((Time{12, 5}), Time::from_nanoseconds(12000000005));
  EXPECT_EQ((Time{-1, 999999999}), Time::from_nanoseconds(-1));
  EXPECT_EQ((Time{-2, 300000000}), Time::from_nanoseconds(-1700000000));
  for (const std::int64_t ns : {1759361109448437759LL, -5LL, 2147483647999999999LL}) {
    EXPECT_EQ(ns, Time::from_nanoseconds(ns).nanoseconds());
  }
  EXPECT_THROW(Time::from_nanoseconds(2147483648000000000LL), std::invalid_argument);
  EXPECT_THROW(Time::from_nanoseconds(std::numeric_limits<std::int64_t>::min()),
               std::invalid_argument);
  // Real bags hold nanosec values of 1e9 and more; they still add up.
  EXPECT_EQ(2000000000, (Time{0, 2000000000}).nanoseconds());
}

// Every payload of `topic` in a fixture database.
std::vector<Bytes> fixture_payloads(const std::filesystem::path& db, const std::string& topic) {
  sqlite3* handle = nullptr;
  const std::string uri = "file:" + db.string() + "?mode=ro&immutable=1";
  std::vector<Bytes> payloads;
  if (sqlite3_open_v2(uri.c_str(), &handle, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) ==
      SQLITE_OK) {
    sqlite3_stmt* query = nullptr;
    sqlite3_prepare_v2(handle,
                       "SELECT data FROM messages JOIN topics ON topics.id = messages.topic_id "
                       "WHERE topics.name = ? ORDER BY timestamp, messages.id",
                       -1, &query, nullptr);
    sqlite3_bind_text(query, 1, topic.c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(query) == SQLITE_ROW) {
      const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(query, 0));
      payloads.emplace_back(data, data + sqlite3_column_bytes(query, 0));
    }
    sqlite3_finalize(query);
  }
  sqlite3_close(handle);
  return payloads;
}

TEST(RealPayloads, FixtureImagesDecode) {
  const auto bags = testing::real_bags_dir();
  if (!bags) GTEST_SKIP() << testing::kNoRealBags;
  const auto payloads =
      fixture_payloads(*bags / "v5_sqlite3_schema2_image_2x2" / "images.bag_0.db3", "/image");
  ASSERT_EQ(3u, payloads.size());
  EXPECT_EQ(hex(kFixtureImage1), payloads[0]);
  EXPECT_EQ(fixture_image(1000000000), sensor_msgs::Image::decode(payloads[1]));
  EXPECT_EQ(fixture_image(2000000000), sensor_msgs::Image::decode(payloads[2]));

  const auto crystal =
      fixture_payloads(*bags / "nometa_sqlite3_schema1_crystal" / "sample.db3", "/image");
  ASSERT_EQ(1u, crystal.size());
  const auto image = sensor_msgs::Image::decode(crystal[0]);
  EXPECT_EQ(640u, image.width);
  EXPECT_EQ(480u, image.height);
  EXPECT_EQ("bgr8", image.encoding);
  EXPECT_EQ(1920u, image.step);
  EXPECT_EQ(921600u, image.data.size());
  EXPECT_EQ(crystal[0], image.encode());
}

// Payloads rosbag2 (or another writer) wrote with zero padding re-encode to the same bytes.
template <class Message>
void expect_reencodes_identically(const std::vector<Bytes>& payloads, std::size_t count) {
  ASSERT_EQ(count, payloads.size());
  for (const auto& payload : payloads) EXPECT_EQ(payload, Message::decode(payload).encode());
}

TEST(RealPayloads, ImuLaserScanAndTfReencodeIdentically) {
  const auto bags = testing::real_bags_dir();
  if (!bags) GTEST_SKIP() << testing::kNoRealBags;
  const auto imu = fixture_payloads(
      *bags / "v5_sqlite3_schema3_imu" / "rosbag2_2025_10_01-23_25_08_0.db3", "/sensors/imu/data");
  expect_reencodes_identically<sensor_msgs::Imu>(imu, 645);
  EXPECT_EQ("imu_link", sensor_msgs::Imu::decode(imu[0]).header.frame_id);

  const auto scans = fixture_payloads(
      *bags / "v4_sqlite3_laserscan_real_robot" / "rosbag2_2022_04_25-15_55_01_0.db3",
      "/sensors/scan");
  expect_reencodes_identically<sensor_msgs::LaserScan>(scans, 238);
  const auto scan = sensor_msgs::LaserScan::decode(scans[0]);
  EXPECT_LT(scan.angle_min, scan.angle_max);
  EXPECT_FALSE(scan.ranges.empty());

  const auto tf_db = *bags / "v8_sqlite3_tf_written_by_rosbags_lib" / "tf_example.db3";
  expect_reencodes_identically<tf2_msgs::TFMessage>(fixture_payloads(tf_db, "/tf"), 517);
  const auto tf_static = fixture_payloads(tf_db, "/tf_static");
  expect_reencodes_identically<tf2_msgs::TFMessage>(tf_static, 1);
  const auto transforms = tf2_msgs::TFMessage::decode(tf_static[0]).transforms;
  ASSERT_EQ(1u, transforms.size());
  EXPECT_EQ("base_footprint", transforms[0].header.frame_id);
  EXPECT_EQ("base_link", transforms[0].child_frame_id);
  EXPECT_EQ(1714740908, transforms[0].header.stamp.sec);
  EXPECT_EQ(48476938u, transforms[0].header.stamp.nanosec);
}

}  // namespace
}  // namespace orvalt::ros2
