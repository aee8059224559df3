#include "orvalt/ros2/image_conversion.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <stdexcept>

namespace orvalt::ros2 {
namespace {

using ::testing::HasSubstr;

// An image message holding `pixels`, each row padded to `step` bytes (0: no padding).
sensor_msgs::Image message_of(const cv::Mat& pixels, const std::string& encoding,
                              std::uint32_t step = 0) {
  sensor_msgs::Image image;
  image.height = static_cast<std::uint32_t>(pixels.rows);
  image.width = static_cast<std::uint32_t>(pixels.cols);
  image.encoding = encoding;
  const std::size_t row_size = pixels.cols * pixels.elemSize();
  image.step = step == 0 ? static_cast<std::uint32_t>(row_size) : step;
  image.data.assign(static_cast<std::size_t>(image.step) * pixels.rows, 0xee);
  for (int row = 0; row < pixels.rows; ++row) {
    std::memcpy(image.data.data() + row * image.step, pixels.ptr(row), row_size);
  }
  return image;
}

cv::Mat random_pixels(int rows, int cols, int type, unsigned seed = 7) {
  cv::Mat pixels(rows, cols, type);
  cv::RNG rng(seed);
  rng.fill(pixels, cv::RNG::UNIFORM, 0, CV_MAT_DEPTH(type) == CV_32F ? 20 : 255);
  return pixels;
}

bool same_pixels(const cv::Mat& a, const cv::Mat& b) {
  return a.type() == b.type() && a.size() == b.size() && cv::norm(a, b, cv::NORM_INF) == 0;
}

TEST(ToCv, SameEncodingCopiesHonouringStep) {
  const cv::Mat bgr = random_pixels(3, 5, CV_8UC3);
  sensor_msgs::Image image = message_of(bgr, "bgr8", 17);  // 15 bytes of pixels per row
  const cv::Mat copy = to_cv(image, "bgr8");
  EXPECT_TRUE(same_pixels(bgr, copy));
  EXPECT_TRUE(same_pixels(bgr, to_cv(image, "")));
  std::fill(image.data.begin(), image.data.end(), 0);  // the result owns its pixels
  EXPECT_TRUE(same_pixels(bgr, copy));

  const cv::Mat depth = random_pixels(4, 3, CV_32FC1);
  EXPECT_TRUE(same_pixels(depth, to_cv(message_of(depth, "32FC1", 16), "32FC1")));
}

TEST(ToCv, ColourOrderAndAlpha) {
  const cv::Mat rgb = random_pixels(2, 4, CV_8UC3);
  cv::Mat expected;
  cv::cvtColor(rgb, expected, cv::COLOR_RGB2BGR);
  EXPECT_TRUE(same_pixels(expected, to_cv(message_of(rgb, "rgb8"), "bgr8")));

  const cv::Mat bgra = random_pixels(2, 4, CV_8UC4);
  cv::Mat bgr;
  cv::cvtColor(bgra, bgr, cv::COLOR_BGRA2BGR);
  EXPECT_TRUE(same_pixels(bgr, to_cv(message_of(bgra, "bgra8"), "bgr8")));
  const cv::Mat from_rgba = to_cv(message_of(bgra, "rgba8"), "bgr8");
  ASSERT_EQ(CV_8UC3, from_rgba.type());
  const auto pixel = bgra.at<cv::Vec4b>(1, 2);
  EXPECT_EQ(cv::Vec3b(pixel[2], pixel[1], pixel[0]), from_rgba.at<cv::Vec3b>(1, 2));

  // The parser's colour encodings in upper case are the same encodings.
  EXPECT_TRUE(same_pixels(expected, to_cv(message_of(rgb, "RGB8"), "bgr8")));
}

TEST(ToCv, MonoAndBitDepthScaleLikeCvBridge) {
  cv::Mat mono16(1, 3, CV_16UC1);
  mono16.at<std::uint16_t>(0, 0) = 0;
  mono16.at<std::uint16_t>(0, 1) = 65535;
  mono16.at<std::uint16_t>(0, 2) = 257 * 100;
  const cv::Mat mono8 = to_cv(message_of(mono16, "mono16"), "mono8");
  ASSERT_EQ(CV_8UC1, mono8.type());
  EXPECT_EQ(0, mono8.at<std::uint8_t>(0, 0));
  EXPECT_EQ(255, mono8.at<std::uint8_t>(0, 1));
  EXPECT_EQ(100, mono8.at<std::uint8_t>(0, 2));
  EXPECT_TRUE(same_pixels(mono16, to_cv(message_of(mono8, "mono8"), "mono16")));

  // Grey to colour repeats the value; colour to grey weighs the channels.
  const cv::Mat bgr = to_cv(message_of(mono8, "mono8"), "bgr8");
  EXPECT_EQ(cv::Vec3b(100, 100, 100), bgr.at<cv::Vec3b>(0, 2));
  cv::Mat rgb(1, 1, CV_8UC3, cv::Scalar(255, 0, 0));  // pure red in rgb8 order
  EXPECT_EQ(76, to_cv(message_of(rgb, "rgb8"), "mono8").at<std::uint8_t>(0, 0));
  cv::Mat rgb16(1, 1, CV_16UC3, cv::Scalar(65535, 0, 0));
  EXPECT_EQ(cv::Vec3b(0, 0, 255), to_cv(message_of(rgb16, "rgb16"), "bgr8").at<cv::Vec3b>(0, 0));
}

TEST(ToCv, DepthEncodings) {
  const cv::Mat depth16 = random_pixels(3, 4, CV_16UC1);
  EXPECT_TRUE(same_pixels(depth16, to_cv(message_of(depth16, "16UC1"), "mono16")));
  EXPECT_TRUE(same_pixels(depth16, to_cv(message_of(depth16, "mono16"), "16UC1")));
  EXPECT_TRUE(same_pixels(depth16, to_cv(message_of(depth16, "16uc1"), "mono16")));

  cv::Mat metres(1, 3, CV_32FC1);
  metres.at<float>(0, 0) = 1.2345f;
  metres.at<float>(0, 1) = 0.0f;
  metres.at<float>(0, 2) = 70000.0f;
  const cv::Mat as_float = to_cv(message_of(metres, "32fc1"), "32FC1");
  EXPECT_TRUE(same_pixels(metres, as_float));
  const cv::Mat as_16 = to_cv(message_of(metres, "32FC1"), "16UC1");
  ASSERT_EQ(CV_16UC1, as_16.type());
  EXPECT_EQ(1, as_16.at<std::uint16_t>(0, 0));
  EXPECT_EQ(65535, as_16.at<std::uint16_t>(0, 2));  // saturates
  const cv::Mat back = to_cv(message_of(depth16, "16UC1"), "32FC1");
  EXPECT_FLOAT_EQ(depth16.at<std::uint16_t>(2, 3), back.at<float>(2, 3));
}

TEST(ToCv, BigEndianWordsAreSwapped) {
  sensor_msgs::Image mono16;
  mono16.height = 1;
  mono16.width = 2;
  mono16.encoding = "mono16";
  mono16.is_bigendian = 1;
  mono16.step = 6;  // padded
  mono16.data = {0x01, 0x02, 0xff, 0x00, 0xaa, 0xbb};
  const cv::Mat values = to_cv(mono16, "mono16");
  EXPECT_EQ(0x0102, values.at<std::uint16_t>(0, 0));
  EXPECT_EQ(0xff00, values.at<std::uint16_t>(0, 1));

  sensor_msgs::Image depth;
  depth.height = 1;
  depth.width = 1;
  depth.encoding = "32FC1";
  depth.is_bigendian = 1;
  depth.step = 4;
  depth.data = {0x3f, 0xc0, 0x00, 0x00};  // 1.5f
  EXPECT_FLOAT_EQ(1.5f, to_cv(depth, "32FC1").at<float>(0, 0));
  EXPECT_EQ(2, to_cv(depth, "16UC1").at<std::uint16_t>(0, 0));  // rounds

  // Single bytes have no order.
  sensor_msgs::Image bytes = message_of(cv::Mat(1, 2, CV_8UC1, cv::Scalar(9)), "mono8");
  bytes.is_bigendian = 1;
  EXPECT_EQ(9, to_cv(bytes, "mono8").at<std::uint8_t>(0, 1));
}

// NV12: a luma plane and an interleaved chroma plane of half the height.
cv::Mat nv12_planes(int width, int height) {
  cv::Mat planes(height * 3 / 2, width, CV_8UC1);
  cv::RNG rng(3);
  rng.fill(planes, cv::RNG::UNIFORM, 16, 240);
  return planes;
}

TEST(ToCv, Nv12ToColourAndRaw) {
  const cv::Mat planes = nv12_planes(6, 4);
  sensor_msgs::Image image = message_of(planes, "nv12", 8);
  image.height = 4;
  cv::Mat expected;
  cv::cvtColor(planes, expected, cv::COLOR_YUV2BGR_NV12);
  EXPECT_TRUE(same_pixels(expected, to_cv(image, "bgr8")));
  cv::Mat rgb;
  cv::cvtColor(planes, rgb, cv::COLOR_YUV2RGB_NV12);
  EXPECT_TRUE(same_pixels(rgb, to_cv(image, "rgb8")));
  EXPECT_EQ(CV_8UC4, to_cv(image, "bgra8").type());
  EXPECT_TRUE(same_pixels(planes(cv::Rect(0, 0, 6, 4)), to_cv(image, "mono8")));
  EXPECT_TRUE(same_pixels(planes, to_cv(image, "nv12")));

  image.width = 5;
  EXPECT_THROW(to_cv(image, "bgr8"), std::invalid_argument);
  image.width = 6;
  image.data.resize(8 * 6 - 1);
  EXPECT_THROW(to_cv(image, "bgr8"), std::invalid_argument);
}

TEST(ToCv, ImpossibleConversionsNameBothEncodings) {
  const std::vector<std::pair<std::string, std::string>> impossible = {
      {"16UC1", "bgr8"},  {"32FC1", "rgb8"},  {"8UC3", "bgr8"},   {"bgr8", "32FC1"},
      {"rgba8", "8UC3"},  {"bgr8", "nv12"},   {"mono8", "nv12"},  {"16UC1", "8UC3"},
      {"32FC3", "mono8"}, {"bgr8", "yuv422"}, {"yuv422", "bgr8"}, {"mono16", "foo"},
      {"mono8", "16UC5"}, {"UC1", "mono8"},   {"16UC", "mono8"},  {"mono8", "16uc12"}};
  const cv::Mat pixels(2, 2, CV_8UC3, cv::Scalar(1, 2, 3));
  for (const auto& [from, to] : impossible) {
    sensor_msgs::Image image = message_of(pixels, from);
    image.step = 24;  // long enough for any of the source encodings
    image.data.assign(48, 0);
    try {
      to_cv(image, to);
      ADD_FAILURE() << from << " -> " << to << " converted";
    } catch (const std::invalid_argument& error) {
      EXPECT_THAT(error.what(), HasSubstr("[" + from + "]")) << from << " -> " << to;
      EXPECT_THAT(error.what(), HasSubstr("[" + to + "]")) << from << " -> " << to;
    }
  }
}

TEST(ToCv, EveryPossibleConversionHasTheWantedTypeAndSize) {
  const std::vector<std::pair<std::string, int>> encodings = {
      {"mono8", CV_8UC1},  {"mono16", CV_16UC1}, {"rgb8", CV_8UC3},   {"bgr8", CV_8UC3},
      {"rgba8", CV_8UC4},  {"bgra8", CV_8UC4},   {"rgb16", CV_16UC3}, {"bgra16", CV_16UC4},
      {"8UC1", CV_8UC1},   {"16UC1", CV_16UC1},  {"32FC1", CV_32FC1}, {"8UC3", CV_8UC3},
      {"16SC1", CV_16SC1}, {"64FC1", CV_64FC1},  {"32SC4", CV_32SC4}};
  int converted = 0;
  for (const auto& [from, from_type] : encodings) {
    const sensor_msgs::Image image = message_of(random_pixels(3, 4, from_type), from, 0);
    for (const auto& [to, to_type] : encodings) {
      try {
        const cv::Mat result = to_cv(image, to);
        EXPECT_EQ(to_type, result.type()) << from << " -> " << to;
        EXPECT_EQ(cv::Size(4, 3), result.size()) << from << " -> " << to;
        ++converted;
      } catch (const std::invalid_argument& error) {
        EXPECT_THAT(error.what(), HasSubstr("[" + from + "] to [" + to + "]"));
      }
    }
  }
  EXPECT_GT(converted, 100);
}

TEST(ToCv, BadSizesAreRefused) {
  const cv::Mat bgr = random_pixels(3, 4, CV_8UC3);
  sensor_msgs::Image image = message_of(bgr, "bgr8");
  image.step = 11;
  try {
    to_cv(image, "bgr8");
    FAIL();
  } catch (const std::invalid_argument& error) {
    EXPECT_THAT(error.what(), HasSubstr("step 11 is shorter than a row of 4 [bgr8] pixels"));
  }
  image.step = 12;
  image.data.pop_back();
  try {
    to_cv(image, "mono8");
    FAIL();
  } catch (const std::invalid_argument& error) {
    EXPECT_THAT(error.what(), HasSubstr("Image data of 35 bytes is shorter than"));
  }
  sensor_msgs::Image odd_step = message_of(random_pixels(2, 2, CV_16UC1), "mono16", 5);
  EXPECT_THROW(to_cv(odd_step, "mono16"), std::invalid_argument);
  image.height = 0x40000000;
  image.width = 0x40000000;
  image.step = 0xffffffff;
  EXPECT_THROW(to_cv(image, "bgr8"), std::invalid_argument);
}

TEST(ToCv, EmptyImagesGiveEmptyMatrices) {
  sensor_msgs::Image image;
  image.encoding = "rgb8";
  const cv::Mat empty = to_cv(image, "bgr8");
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(CV_8UC3, empty.type());
  EXPECT_TRUE(to_cv(image, "rgb8").empty());
  EXPECT_THROW(to_cv(image, "32FC1"), std::invalid_argument);
}

}  // namespace
}  // namespace orvalt::ros2
