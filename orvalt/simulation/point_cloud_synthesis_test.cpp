#include "orvalt/simulation/point_cloud_synthesis.hpp"

#include <cmath>
#include <cstring>

#include <gtest/gtest.h>

#include "orvalt/simulation/simulation.hpp"

namespace orvalt::simulation {
namespace {

std::array<float, 4> point_at(const ros2::sensor_msgs::PointCloud2& cloud, std::size_t row,
                              std::size_t column) {
  std::array<float, 4> point;
  std::memcpy(point.data(), cloud.data.data() + row * cloud.row_step + column * cloud.point_step,
              sizeof(point));
  return point;
}

TEST(PointCloudSynthesisTest, LayoutIsXyzIntensityFloat32) {
  CameraIntrinsics intrinsics;
  const PinholeCamera camera(intrinsics);
  const cv::Mat depth(480, 640, CV_32F, cv::Scalar(1.0f));
  const cv::Mat colour(480, 640, CV_8UC3, cv::Scalar(10, 20, 30));
  const auto cloud = synthesize_point_cloud(depth, colour, camera, 4);
  EXPECT_EQ(cloud.width, 160u);
  EXPECT_EQ(cloud.height, 120u);
  ASSERT_EQ(cloud.fields.size(), 4u);
  const char* names[] = {"x", "y", "z", "intensity"};
  for (std::uint32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(cloud.fields[i].name, names[i]);
    EXPECT_EQ(cloud.fields[i].offset, 4 * i);
    EXPECT_EQ(cloud.fields[i].datatype, ros2::sensor_msgs::PointField::FLOAT32);
    EXPECT_EQ(cloud.fields[i].count, 1u);
  }
  EXPECT_EQ(cloud.point_step, 16u);
  EXPECT_EQ(cloud.row_step, 16u * 160);
  EXPECT_EQ(cloud.data.size(), 16u * 160 * 120);
  EXPECT_FALSE(cloud.is_bigendian);
  EXPECT_FALSE(cloud.is_dense);
  EXPECT_NEAR(point_at(cloud, 0, 0)[3], (0.114 * 10 + 0.587 * 20 + 0.299 * 30) / 255, 1e-6);
}

// x forward (the depth), y left (minus optical x), z up (minus optical y); no depth, no point.
TEST(PointCloudSynthesisTest, PointsAreInForwardLeftUpAxes) {
  CameraIntrinsics intrinsics;
  intrinsics.width = 9;
  intrinsics.height = 7;
  intrinsics.fx = 10;
  intrinsics.fy = 20;
  intrinsics.cx = 4;
  intrinsics.cy = 3;
  const PinholeCamera camera(intrinsics);
  cv::Mat depth(7, 9, CV_32F, cv::Scalar(2.0f));
  depth.at<float>(1, 1) = 0.0f;
  const cv::Mat colour(7, 9, CV_8UC3, cv::Scalar::all(0));
  const auto cloud = synthesize_point_cloud(depth, colour, camera, 1);
  const auto centre = point_at(cloud, 3, 4);
  EXPECT_FLOAT_EQ(centre[0], 2.0f);
  EXPECT_FLOAT_EQ(centre[1], 0.0f);
  EXPECT_FLOAT_EQ(centre[2], 0.0f);
  const auto right_below = point_at(cloud, 6, 8);  // 4 px right, 3 px down of the centre
  EXPECT_FLOAT_EQ(right_below[0], 2.0f);
  EXPECT_FLOAT_EQ(right_below[1], -4 * 2.0f / 10);
  EXPECT_FLOAT_EQ(right_below[2], -3 * 2.0f / 20);
  const auto missing = point_at(cloud, 1, 1);
  EXPECT_TRUE(std::isnan(missing[0]) && std::isnan(missing[1]) && std::isnan(missing[2]));
}

// The calibration crops every cloud to x in [0.2, 0.3], y in [-0.1, 0.1], z in [-0.5, 0.5]
// (camera axes) and fits the floor plane there with a 2 mm threshold, needing 30 points.
struct CropCount {
  int points = 0;
  int on_floor = 0;  // within 2 mm of the floor after the true extrinsic
  double worst = 0;  // metres off the floor
};

CropCount crop_floor(const Simulation& simulation, std::size_t frame) {
  const CameraCapture capture = simulation.capture(frame);
  const auto cloud = synthesize_point_cloud(capture.depth.metres, capture.colour,
                                            simulation.camera(), simulation.options().cloud_step);
  CropCount count;
  for (std::size_t r = 0; r < cloud.height; ++r) {
    for (std::size_t c = 0; c < cloud.width; ++c) {
      const auto p = point_at(cloud, r, c);
      if (!(p[0] >= 0.2f && p[0] <= 0.3f && p[1] >= -0.1f && p[1] <= 0.1f && p[2] >= -0.5f &&
            p[2] <= 0.5f)) {
        continue;
      }
      const Eigen::Vector3d in_base =
          simulation.base_from_camera() * Eigen::Vector3d(p[0], p[1], p[2]);
      ++count.points;
      count.on_floor += std::abs(in_base.z()) <= 0.002;
      count.worst = std::max(count.worst, std::abs(in_base.z()));
    }
  }
  return count;
}

TEST(PointCloudSynthesisTest, FloorInTheDefaultCropBoxLiesOnTheFloorPlane) {
  SimulationOptions options;
  options.noise = NoiseSettings::exact();
  const Simulation exact(options);
  for (const std::size_t frame : {0u, 100u, 250u}) {
    const CropCount count = crop_floor(exact, frame);
    EXPECT_GT(count.points, 300) << frame;
    EXPECT_LT(count.worst, 1e-5) << frame;
  }
  // With the default noise, the plane fit's 2 mm inlier band holds nearly all of them.
  const Simulation noisy{SimulationOptions{}};
  for (const std::size_t frame : {0u, 100u, 250u}) {
    const CropCount count = crop_floor(noisy, frame);
    EXPECT_GT(count.points, 300) << frame;
    EXPECT_GT(count.on_floor, 0.95 * count.points) << frame;
  }
}

}  // namespace
}  // namespace orvalt::simulation
