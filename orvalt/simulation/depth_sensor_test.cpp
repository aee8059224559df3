#include "orvalt/simulation/depth_sensor.hpp"

#include <cmath>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

namespace orvalt::simulation {
namespace {

const cv::Size kSize(320, 240);

cv::Mat plane_at(float depth) { return cv::Mat(kSize, CV_32F, cv::Scalar(depth)); }

TEST(DepthSensorTest, ExactDepthIsRoundedToMillimetres) {
  const DepthSensor sensor(NoiseSettings::exact(), 0.15, 8.0, 1, kSize);
  cv::Mat exact = plane_at(1.2346f);
  exact.at<float>(0, 1) = 0.7996f;
  exact.at<float>(0, 2) = 0.7994f;
  const DepthCapture capture = sensor.capture(exact, 0);
  ASSERT_EQ(capture.millimetres.type(), CV_16U);
  EXPECT_EQ(capture.millimetres.at<std::uint16_t>(0, 0), 1235);
  EXPECT_EQ(capture.millimetres.at<std::uint16_t>(0, 1), 800);
  EXPECT_EQ(capture.millimetres.at<std::uint16_t>(0, 2), 799);
  EXPECT_EQ(capture.metres.at<float>(0, 0), 1.2346f);
}

TEST(DepthSensorTest, NothingIsReportedOutsideTheWorkingRange) {
  const DepthSensor sensor(NoiseSettings::exact(), 0.15, 8.0, 1, kSize);
  cv::Mat exact = plane_at(2.0f);
  exact.at<float>(3, 3) = 0.1f;
  exact.at<float>(4, 4) = 9.0f;
  const DepthCapture capture = sensor.capture(exact, 0);
  EXPECT_EQ(capture.millimetres.at<std::uint16_t>(3, 3), 0);
  EXPECT_EQ(capture.millimetres.at<std::uint16_t>(4, 4), 0);
  EXPECT_EQ(capture.metres.at<float>(4, 4), 0.0f);
  EXPECT_EQ(capture.millimetres.at<std::uint16_t>(5, 5), 2000);
}

// Standard deviation 1 mm + 2 mm per square metre: 1.5 mm at 0.5 m, 9 mm at 2 m.
TEST(DepthSensorTest, NoiseGrowsWithTheSquareOfDepth) {
  NoiseSettings noise = NoiseSettings::exact();
  noise.depth_noise = 0.001;
  noise.depth_noise_quadratic = 0.002;
  const DepthSensor sensor(noise, 0.15, 8.0, 1, kSize);
  for (const float depth : {0.5f, 2.0f}) {
    cv::Scalar mean, stddev;
    cv::meanStdDev(sensor.capture(plane_at(depth), 0).metres, mean, stddev);
    const double expected = 0.001 + 0.002 * depth * depth;
    EXPECT_NEAR(stddev[0], expected, 0.03 * expected) << depth;
    EXPECT_NEAR(mean[0], depth, 0.1 * expected) << depth;
  }
}

// A near surface in front of a far one loses depth along its outline, as stereo matching
// fails at occlusions; a slanted plane (the floor) keeps all of it.
TEST(DepthSensorTest, HolesFollowDepthEdgesOnly) {
  NoiseSettings noise = NoiseSettings::exact();
  noise.depth_edge_holes = 2;
  const DepthSensor sensor(noise, 0.15, 8.0, 1, kSize);
  cv::Mat exact(240, 320, CV_32F);
  for (int v = 0; v < 240; ++v) {
    // A floor seen from 0.15 m with f = 385: disparity grows linearly with the row.
    exact.row(v).setTo(v < 120 ? 4.0 : 0.15 * 385.0 / (v - 100));
  }
  exact(cv::Rect(100, 20, 80, 60)).setTo(1.0f);  // a board against the wall
  const DepthCapture capture = sensor.capture(exact, 0);
  const cv::Mat holes = capture.millimetres == 0;
  // Two pixels on each side of the board's edges, nothing beyond.
  const auto hole = [&](int u, int v) { return holes.at<uchar>(v, u) != 0; };
  for (int u = 98; u <= 101; ++u) EXPECT_TRUE(hole(u, 50)) << u;
  for (int u = 178; u <= 181; ++u) EXPECT_TRUE(hole(u, 50)) << u;
  for (int v = 18; v <= 21; ++v) EXPECT_TRUE(hole(140, v)) << v;
  for (int v = 78; v <= 81; ++v) EXPECT_TRUE(hole(140, v)) << v;
  EXPECT_FALSE(hole(97, 50));
  EXPECT_FALSE(hole(182, 50));
  EXPECT_FALSE(hole(140, 17));
  EXPECT_FALSE(hole(140, 82));
  EXPECT_EQ(cv::countNonZero(holes(cv::Rect(102, 22, 76, 56))), 0);
  EXPECT_EQ(cv::countNonZero(holes.rowRange(125, 240)), 0);
}

TEST(DepthSensorTest, DropoutsRemoveAboutTheConfiguredShare) {
  NoiseSettings noise = NoiseSettings::exact();
  noise.depth_dropout = 0.01;
  const DepthSensor sensor(noise, 0.15, 8.0, 1, cv::Size(640, 480));
  const cv::Mat exact(480, 640, CV_32F, cv::Scalar(1.0f));
  const double share = cv::countNonZero(sensor.capture(exact, 0).millimetres == 0) / 307200.0;
  EXPECT_GT(share, 0.005);
  EXPECT_LT(share, 0.015);
  // Keyed by frame: another frame loses other pixels.
  EXPECT_GT(cv::norm(sensor.capture(exact, 0).millimetres, sensor.capture(exact, 1).millimetres,
                     cv::NORM_INF),
            0.0);
}

}  // namespace
}  // namespace orvalt::simulation
