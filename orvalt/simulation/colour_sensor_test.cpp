#include "orvalt/simulation/colour_sensor.hpp"

#include <cmath>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

namespace orvalt::simulation {
namespace {

const cv::Size kSize(160, 120);

cv::Mat flat(float level) { return cv::Mat(kSize, CV_32FC3, cv::Scalar::all(level)); }

double channel_stddev(const cv::Mat& image) {
  cv::Scalar mean, stddev;
  cv::meanStdDev(image.reshape(1), mean, stddev);
  return stddev[0];
}

TEST(ColourSensorTest, ExactSensorOnlyRoundsAndSaturates) {
  const ColourSensor sensor(NoiseSettings::exact(), 1, kSize);
  cv::Mat ideal = flat(100.4f);
  ideal.at<cv::Vec3f>(5, 5) = cv::Vec3f(-3.0f, 254.6f, 300.0f);
  const cv::Mat image = sensor.capture(ideal, 3.0, 0);
  ASSERT_EQ(image.type(), CV_8UC3);
  EXPECT_EQ(image.at<cv::Vec3b>(0, 0), cv::Vec3b(100, 100, 100));
  EXPECT_EQ(image.at<cv::Vec3b>(5, 5), cv::Vec3b(0, 255, 255));
  EXPECT_EQ(sensor.exposure(7.0), 1.0);
}

// The noise has the configured spread at mid grey and grows with brightness (shot noise).
TEST(ColourSensorTest, NoiseHasTheConfiguredSpreadAndGrowsWithLight) {
  NoiseSettings noise = NoiseSettings::exact();
  noise.image_noise = 3.0;
  const ColourSensor sensor(noise, 1, kSize);
  const double mid = channel_stddev(sensor.capture(flat(128.0f), 0.0, 0));
  const double dark = channel_stddev(sensor.capture(flat(20.0f), 0.0, 0));
  const double bright = channel_stddev(sensor.capture(flat(230.0f), 0.0, 0));
  EXPECT_NEAR(mid, 3.0, 0.15);
  EXPECT_LT(dark, 0.75 * mid);
  EXPECT_GT(bright, 1.15 * mid);
}

TEST(ColourSensorTest, EachFrameHasItsOwnNoiseAndTheSameFrameTheSame) {
  const ColourSensor sensor(NoiseSettings{}, 9, kSize);
  const cv::Mat first = sensor.capture(flat(128.0f), 1.0, 4);
  const cv::Mat again = ColourSensor(NoiseSettings{}, 9, kSize).capture(flat(128.0f), 1.0, 4);
  const cv::Mat next = sensor.capture(flat(128.0f), 1.0, 5);
  EXPECT_EQ(cv::norm(first, again, cv::NORM_INF), 0.0);
  EXPECT_GT(cv::norm(first, next, cv::NORM_INF), 0.0);
}

TEST(ColourSensorTest, ExposureDriftsWithinTheConfiguredVariation) {
  NoiseSettings noise = NoiseSettings::exact();
  noise.brightness_variation = 0.1;
  const ColourSensor sensor(noise, 2, kSize);
  double lowest = 2, highest = 0;
  for (double t = 0; t < 30; t += 0.1) {
    lowest = std::min(lowest, sensor.exposure(t));
    highest = std::max(highest, sensor.exposure(t));
  }
  EXPECT_GE(lowest, 0.9);
  EXPECT_LE(highest, 1.1);
  EXPECT_GT(highest - lowest, 0.1);
  // Smooth from frame to frame at 15 Hz.
  EXPECT_LT(std::abs(sensor.exposure(1.0) - sensor.exposure(1.0 + 1.0 / 15)), 0.02);
}

}  // namespace
}  // namespace orvalt::simulation
