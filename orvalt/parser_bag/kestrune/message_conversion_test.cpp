#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <open3d/geometry/PointCloud.h>
#include <open3d/io/PointCloudIO.h>
#include <opencv2/imgcodecs.hpp>

#include "orvalt/parser_bag/kestrune/bag_parser.hpp"
#include "orvalt/testing/bags/test_bag.hpp"
#include "orvalt/testing/log_capture.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::parser_bag {
namespace {

using ros2::sensor_msgs::Image;
using ros2::sensor_msgs::PointCloud2;
using ros2::sensor_msgs::PointField;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// A parser whose converters write into <tmp>/out; reset() drains its save workers.
class ConversionTest : public ::testing::Test {
 protected:
  ConversionTest()
      : log_("orvalt.parser_bag.kestrune"),
        parser_(std::make_unique<BagParser>(std::vector<std::string>{"/out"}, "odom",
                                            "base_footprint", dir_.path())),
        out_((dir_ / "out").string()) {}

  // Every queued file is on disk afterwards.
  void drain() { parser_.reset(); }
  std::filesystem::path file(const std::string& name) const { return dir_ / "out" / name; }
  cv::Mat read_png(const std::string& stem) const {
    return cv::imread(file(stem + ".png").string(), cv::IMREAD_UNCHANGED);
  }

  orvalt::testing::TempDir dir_;
  orvalt::testing::LogCapture log_;
  std::unique_ptr<BagParser> parser_;
  std::string out_;
};

// --- images -------------------------------------------------------------------------------

TEST_F(ConversionTest, EveryColourEncodingIsStoredAsThreeChannelBgr) {
  // Pixel (0, 0) is red 10, green 20, blue 30 in every encoding.
  const std::vector<std::pair<std::string, std::vector<std::uint8_t>>> cases = {
      {"rgb8", {10, 20, 30}},       {"bgr8", {30, 20, 10}}, {"rgba8", {10, 20, 30, 255}},
      {"bgra8", {30, 20, 10, 255}}, {"BGR8", {30, 20, 10}}, {"Rgb8", {10, 20, 30}}};
  for (const auto& [encoding, pixel] : cases) {
    auto image = orvalt::testing::image_message(0, 4, 2, "rgb8");
    image.encoding = encoding;
    image.step = 4 * static_cast<std::uint32_t>(pixel.size());
    image.data.assign(image.step * 2, 0);
    std::copy(pixel.begin(), pixel.end(), image.data.begin());
    parser_->_msg2image(image, encoding, out_);
  }
  drain();
  for (const auto& entry : cases) {
    const cv::Mat stored = read_png(entry.first);
    ASSERT_FALSE(stored.empty()) << entry.first;
    EXPECT_EQ(stored.type(), CV_8UC3) << entry.first;
    EXPECT_EQ(stored.at<cv::Vec3b>(0, 0), cv::Vec3b(30, 20, 10)) << entry.first;
    EXPECT_EQ(stored.at<cv::Vec3b>(1, 3), cv::Vec3b(0, 0, 0)) << entry.first;
  }
}

// A 4 x 2 NV12 frame of one YUV colour.
ros2::Bytes nv12_frame(int width, int height, std::uint8_t y, std::uint8_t u, std::uint8_t v) {
  ros2::Bytes data(static_cast<std::size_t>(width * height), y);
  for (int i = 0; i < width * height / 4; ++i) {
    data.push_back(u);
    data.push_back(v);
  }
  return data;
}

TEST_F(ConversionTest, Nv12IsStoredInBlueGreenRedOrderLikeOtherColourImages) {
  Image image = orvalt::testing::image_message(0, 4, 2, "mono8");
  image.encoding = "NV12";
  image.data = nv12_frame(4, 2, 81, 90, 240);  // red in BT.601
  for (const char* encoding : {"NV12", "nv-12", "nv 12"}) {
    image.encoding = encoding;
    parser_->_msg2image(image, encoding, out_);
  }
  drain();
  for (const char* stem : {"NV12", "nv-12", "nv 12"}) {
    const cv::Mat stored = read_png(stem);
    ASSERT_EQ(stored.type(), CV_8UC3) << stem;
    const cv::Vec3b pixel = stored.at<cv::Vec3b>(1, 2);
    EXPECT_GT(pixel[2], 220) << "red belongs in the last channel";
    EXPECT_LT(pixel[0], 30);
    EXPECT_LT(pixel[1], 30);
  }
}

TEST_F(ConversionTest, Nv12OfAWrongSizeFails) {
  const auto good = nv12_frame(640, 480, 100, 128, 128);
  EXPECT_EQ(BagParser::nv12_to_bgr(good, 640, 480).size(), cv::Size(640, 480));
  for (const long change : {-1L, 1L}) {
    ros2::Bytes wrong = good;
    wrong.resize(good.size() + change);
    try {
      BagParser::nv12_to_bgr(wrong, 640, 480);
      ADD_FAILURE() << "no error for " << wrong.size() << " bytes";
    } catch (const std::runtime_error& error) {
      EXPECT_THAT(error.what(), ::testing::StartsWith("NV12 to RGB conversion failed: "));
    }
  }
  EXPECT_THROW(BagParser::nv12_to_bgr(nv12_frame(3, 2, 0, 0, 0), 3, 2), std::runtime_error);
  EXPECT_THROW(BagParser::nv12_to_bgr({}, 0, 0), std::runtime_error);
}

Image depth_32fc1(const std::vector<float>& metres) {
  Image image =
      orvalt::testing::image_message(0, static_cast<std::uint32_t>(metres.size()), 1, "32FC1");
  std::memcpy(image.data.data(), metres.data(), metres.size() * sizeof(float));
  return image;
}

TEST_F(ConversionTest, Depth32fc1BecomesTruncatedMillimetresWithInvalidDepthsAsZero) {
  parser_->_msg2image(depth_32fc1({1.2345f, 0.0f, 65.0f, kNaN, kInf, -kInf, -0.5f, 70.0f, 1e30f}),
                      "depth", out_);
  drain();
  const cv::Mat stored = read_png("depth");
  ASSERT_EQ(stored.type(), CV_16UC1);
  const std::vector<std::uint16_t> expected = {1234, 0, 65000, 0, 0, 0, 0, 65535, 65535};
  EXPECT_EQ(std::vector<std::uint16_t>(stored.begin<std::uint16_t>(), stored.end<std::uint16_t>()),
            expected);
}

TEST_F(ConversionTest, SixteenBitDepthIsStoredRawAndUncompressed) {
  for (const char* encoding : {"mono16", "16UC1", "16uc1"}) {
    Image image = orvalt::testing::image_message(0, 64, 64, "mono16");
    image.encoding = encoding;
    std::uint16_t value = 4321;
    std::memcpy(image.data.data(), &value, 2);
    parser_->_msg2image(image, encoding, out_);
  }
  drain();
  for (const char* stem : {"mono16", "16UC1", "16uc1"}) {
    const cv::Mat stored = read_png(stem);
    ASSERT_EQ(stored.type(), CV_16UC1) << stem;
    EXPECT_EQ(stored.at<std::uint16_t>(0, 0), 4321);
    EXPECT_EQ(stored.at<std::uint16_t>(63, 63), 0);
    // Level 0 stores the pixels as they are: a nearly constant image does not shrink.
    EXPECT_GT(std::filesystem::file_size(file(std::string(stem) + ".png")), 64u * 64u * 2u);
  }
}

TEST_F(ConversionTest, UnsupportedEncodingNamesTheEncoding) {
  Image image = orvalt::testing::image_message(0, 2, 2, "mono16");
  image.encoding = "YUV422";
  try {
    parser_->_msg2image(image, "x", out_);
    FAIL() << "no error";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(),
                 "Unsupported image encoding: yuv422 (support: 32FC1/mono16/rgb8/bgr8 etc.)");
  }
}

TEST_F(ConversionTest, ImageDataShorterThanItsSizeFails) {
  Image image = orvalt::testing::image_message(0, 8, 8, "bgr8");
  image.data.resize(image.data.size() - 1);
  EXPECT_THROW(parser_->_msg2image(image, "short", out_), std::invalid_argument);
}

// --- point clouds ---------------------------------------------------------------------------

struct CloudLayout {
  std::uint8_t datatype = PointField::FLOAT32;
  std::uint32_t point_step = 16;  // x, y, z, intensity
  std::uint32_t row_padding = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 1;
  bool big_endian = false;
};

template <class T>
void put(ros2::Bytes& data, std::size_t at, T value, bool big_endian) {
  std::uint8_t bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  if (big_endian) std::reverse(bytes, bytes + sizeof(T));
  std::memcpy(data.data() + at, bytes, sizeof(T));
}

// A cloud of `points` (row by row) with fields x, y, z and intensity laid out as `layout` says.
PointCloud2 cloud(const std::vector<Eigen::Vector3f>& points, CloudLayout layout) {
  if (layout.width == 0) layout.width = static_cast<std::uint32_t>(points.size());
  const std::uint32_t size = layout.datatype == PointField::FLOAT64 ? 8 : 4;
  if (layout.point_step < 4 * size) layout.point_step = 4 * size;
  PointCloud2 msg;
  msg.width = layout.width;
  msg.height = layout.height;
  msg.point_step = layout.point_step;
  msg.row_step = layout.width * layout.point_step + layout.row_padding;
  msg.is_bigendian = layout.big_endian;
  for (const char* name : {"x", "y", "z", "intensity"}) {
    msg.fields.push_back(
        {name, static_cast<std::uint32_t>(msg.fields.size()) * size, layout.datatype, 1});
  }
  msg.data.assign(std::size_t{msg.row_step} * msg.height, 0xEE);
  for (std::size_t i = 0; i < points.size(); ++i) {
    const std::size_t base =
        (i / layout.width) * msg.row_step + (i % layout.width) * msg.point_step;
    for (int axis = 0; axis < 4; ++axis) {
      const float value = axis < 3 ? points[i][axis] : 99.0f;
      if (size == 8) {
        put<double>(msg.data, base + axis * size, value, layout.big_endian);
      } else {
        put<float>(msg.data, base + axis * size, value, layout.big_endian);
      }
    }
  }
  return msg;
}

const std::vector<Eigen::Vector3f> kFourPoints = {
    {1, 2, 3}, {-4, 5.5f, 6}, {7, 8, -9}, {0.25f, 0.5f, 0.75f}};

void expect_points(const Points3f& actual, const std::vector<Eigen::Vector3f>& expected) {
  ASSERT_EQ(actual.rows(), static_cast<Eigen::Index>(expected.size()));
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(Eigen::Vector3f(actual.row(static_cast<Eigen::Index>(i))), expected[i]) << i;
  }
}

TEST_F(ConversionTest, CloudReadsOnlyXyzAtTheirOffsetsWhateverTheLayout) {
  expect_points(parser_->_msg2pcd(cloud(kFourPoints, {}), "plain", out_), kFourPoints);
  CloudLayout padded;
  padded.width = 2;
  padded.height = 2;
  padded.row_padding = 12;
  expect_points(parser_->_msg2pcd(cloud(kFourPoints, padded), "rows", out_), kFourPoints);
  CloudLayout wide;
  wide.datatype = PointField::FLOAT64;
  wide.point_step = 40;
  expect_points(parser_->_msg2pcd(cloud(kFourPoints, wide), "float64", out_), kFourPoints);
  CloudLayout big;
  big.big_endian = true;
  expect_points(parser_->_msg2pcd(cloud(kFourPoints, big), "big", out_), kFourPoints);

  drain();
  open3d::geometry::PointCloud stored;
  ASSERT_TRUE(open3d::io::ReadPointCloud(file("rows.ply").string(), stored));
  ASSERT_EQ(stored.points_.size(), 4u);
  EXPECT_NEAR(stored.points_[1].y(), 5.5, 1e-6);
  EXPECT_TRUE(std::filesystem::exists(file("plain.ply")));
}

TEST_F(ConversionTest, NonFinitePointsGoUnlessTheCloudIsDense) {
  const std::vector<Eigen::Vector3f> points = {{1, 2, 3}, {kNaN, 0, 0}, {0, kInf, 1}, {4, 5, 6}};
  auto msg = cloud(points, {});
  expect_points(parser_->_msg2pcd(msg, "sparse", out_), {{1, 2, 3}, {4, 5, 6}});
  msg.is_dense = true;
  EXPECT_EQ(parser_->_msg2pcd(msg, "dense", out_).rows(), 4);

  auto all_nan = cloud({{kNaN, 0, 0}, {0, 0, kNaN}}, {});
  EXPECT_EQ(parser_->_msg2pcd(all_nan, "empty", out_).rows(), 0);
  drain();
  EXPECT_TRUE(log_.contains("[debug] Empty point cloud at empty"));
  EXPECT_FALSE(std::filesystem::exists(file("empty.ply")));
  EXPECT_TRUE(std::filesystem::exists(file("dense.ply")));
}

TEST_F(ConversionTest, MalformedCloudsGiveAPcdErrorAndNoFile) {
  auto mixed = cloud(kFourPoints, {});
  mixed.fields[2].datatype = PointField::FLOAT64;
  auto integer = cloud(kFourPoints, {});
  integer.fields[0].datatype = PointField::UINT8;
  auto missing = cloud(kFourPoints, {});
  missing.fields.erase(missing.fields.begin() + 1);
  auto short_buffer = cloud(kFourPoints, {});
  short_buffer.data.pop_back();
  auto field_outside_point = cloud(kFourPoints, {});
  field_outside_point.fields[2].offset = 13;
  auto rows_overlap = cloud(kFourPoints, {});
  rows_overlap.row_step = 8;

  const std::vector<std::pair<PointCloud2, std::string>> cases = {
      {mixed, "[error] [PCD ERROR] x/y/z must have same dtype"},
      {integer, "[error] [PCD ERROR] Unsupported type 2"},
      {missing, "[error] [PCD ERROR] Missing fields: {y}"},
      {short_buffer, "[error] [PCD ERROR] data holds 63 bytes"},
      {field_outside_point, "[error] [PCD ERROR] field z"},
      {rows_overlap, "[error] [PCD ERROR] row_step 8 is shorter"}};
  int index = 0;
  for (const auto& [msg, line] : cases) {
    const Points3f points = parser_->_msg2pcd(msg, "bad" + std::to_string(index++), out_);
    EXPECT_EQ(points.rows(), 0) << line;
    EXPECT_EQ(points.cols(), 3) << line;
    EXPECT_TRUE(log_.contains(line)) << line << "\nin:\n" << log_.text();
  }
  drain();
  EXPECT_TRUE(std::filesystem::is_empty(dir_ / "out"));
}

// --- laser scans -----------------------------------------------------------------

TEST(LaserConversionTest, KeepsFiniteRangesInsideTheLimitsAtEvenlySpreadAngles) {
  ros2::sensor_msgs::LaserScan scan;
  scan.angle_min = -0.5f;
  scan.angle_max = 0.5f;
  scan.range_min = 0.6f;
  scan.range_max = 10.0f;
  scan.ranges = {1.0f, kInf, 0.5f};
  const LaserPoints points = BagParser::_msg2laser(scan);
  ASSERT_EQ(points.rows(), 1);
  EXPECT_NEAR(points(0, 0), std::cos(-0.5), 1e-6);
  EXPECT_NEAR(points(0, 1), std::sin(-0.5), 1e-6);

  scan.ranges = {2.0f, kNaN, 2.0f};
  const LaserPoints ends = BagParser::_msg2laser(scan);
  ASSERT_EQ(ends.rows(), 2);
  EXPECT_NEAR(ends(1, 0), 2.0 * std::cos(double{0.5f}), 1e-12);
  EXPECT_NEAR(ends(1, 1), 2.0 * std::sin(double{0.5f}), 1e-12);
  scan.ranges.clear();
  EXPECT_EQ(BagParser::_msg2laser(scan).rows(), 0);
}

// --- odometry and IMU records ----------------------------------------------------

// Every field gets its own values, so that a field copied into the wrong place shows.
TEST(RecordConversionTest, OdometryAndImuFieldsLandInTheirOwnPlaces) {
  ros2::nav_msgs::Odometry odometry;
  odometry.pose.pose.position = {1, 2, 3};
  odometry.pose.pose.orientation = {0.1, 0.2, 0.3, 0.9};
  odometry.twist.twist.linear = {4, 5, 6};
  odometry.twist.twist.angular = {7, 8, 9};
  for (int i = 0; i < 36; ++i) {
    odometry.pose.covariance[i] = i;
    odometry.twist.covariance[i] = 100 + i;
  }
  const OdomRecord odom = BagParser::_msg2odom(odometry);
  EXPECT_EQ(odom.position, odometry.pose.pose.position);
  EXPECT_EQ(odom.orientation, odometry.pose.pose.orientation);
  EXPECT_EQ(odom.pose_covariance, odometry.pose.covariance);
  EXPECT_EQ(odom.twist_linear, odometry.twist.twist.linear);
  EXPECT_EQ(odom.twist_angular, odometry.twist.twist.angular);
  EXPECT_EQ(odom.twist_covariance, odometry.twist.covariance);

  ros2::sensor_msgs::Imu imu;
  imu.orientation = {0.5, 0.5, 0.5, 0.5};
  imu.angular_velocity = {1, 2, 3};
  imu.linear_acceleration = {4, 5, 9.81};
  for (int i = 0; i < 9; ++i) {
    imu.orientation_covariance[i] = i;
    imu.angular_velocity_covariance[i] = 10 + i;
    imu.linear_acceleration_covariance[i] = 20 + i;
  }
  const ImuRecord record = BagParser::_msg2imu(imu);
  EXPECT_EQ(record.orientation, imu.orientation);
  EXPECT_EQ(record.orientation_covariance, imu.orientation_covariance);
  EXPECT_EQ(record.angular_velocity, imu.angular_velocity);
  EXPECT_EQ(record.angular_velocity_covariance, imu.angular_velocity_covariance);
  EXPECT_EQ(record.linear_acceleration, imu.linear_acceleration);
  EXPECT_EQ(record.linear_acceleration_covariance, imu.linear_acceleration_covariance);
}

}  // namespace
}  // namespace orvalt::parser_bag
