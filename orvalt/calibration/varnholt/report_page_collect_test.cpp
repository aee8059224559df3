#include "orvalt/calibration/varnholt/report_page_collect.hpp"

#include <cmath>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <Eigen/Geometry>

namespace orvalt::calibration {
namespace {

using ::testing::Contains;
using ::testing::Pair;

// The camera (forward-left-up, as the depth lifting builds its points) mounted 0.1 m ahead,
// 0.3 m up and turned 10 degrees left.
Eigen::Matrix4d mounted_camera() {
  Eigen::Matrix4d base_from_camera = Eigen::Matrix4d::Identity();
  base_from_camera.block<3, 3>(0, 0) =
      Eigen::AngleAxisd(10.0 * M_PI / 180.0, Eigen::Vector3d::UnitZ()).toRotationMatrix();
  base_from_camera.block<3, 1>(0, 3) << 0.1, 0.0, 0.3;
  return base_from_camera;
}

TEST(PageImagesTest, TimeOrderedWithFatesAndTagCountsWithoutNamelessImages) {
  std::vector<ImageTask> tasks(3);
  tasks[0].color_name = "200.1.000000_2.000000_0.000000_1.000000_0.000000_0.000000_0.000000.png";
  tasks[1].color_name = "not_a_pose.png";
  // Turned 90 degrees left: w = z = sqrt(1/2).
  tasks[2].color_name = "100.0.500000_0.000000_0.000000_0.707107_0.000000_0.000000_0.707107.png";
  std::vector<ImageResult> results(3);
  results[0].outcome = ImageOutcome::kFrame;
  FrameRecord frame;
  frame.corner_dict = {{0, apriltag::TagPoints::Zero(5, 2)}, {3, apriltag::TagPoints::Zero(5, 2)}};
  results[0].frame = std::make_pair(std::int64_t{200}, frame);
  results[2].outcome = ImageOutcome::kTagsFiltered;

  const std::vector<PageImage> images = page_images(tasks, results);
  ASSERT_EQ(images.size(), 2u);
  EXPECT_EQ(images[0].stamp_ns, 100);
  EXPECT_EQ(images[0].fate, ImageFate::kOtherTags);
  EXPECT_NEAR(images[0].yaw, M_PI / 2, 1e-5);
  EXPECT_DOUBLE_EQ(images[0].x, 0.5);
  EXPECT_EQ(images[1].fate, ImageFate::kTags);
  EXPECT_EQ(images[1].tags, 2);
  EXPECT_DOUBLE_EQ(images[1].y, 2.0);
}

TEST(FloorHeightsTest, PointsOnTheFloorAreAtZeroInTheBase) {
  // The floor lies 0.3 m below the camera.
  Points3d cloud(3, 3);
  cloud << 1.0, 0.0, -0.3, 2.0, 0.2, -0.3, 1.5, -0.1, -0.31;
  const auto heights = floor_heights({cloud}, mounted_camera());
  ASSERT_EQ(heights.size(), 1u);
  EXPECT_NEAR(heights[0][0], 0.0, 1e-12);
  EXPECT_NEAR(heights[0][1], 0.0, 1e-12);
  EXPECT_NEAR(heights[0][2], -0.01, 1e-12);
}

TEST(BoardTagPositionsTest, TagCentresLandWhereTheyAreInTheGlobalFrame) {
  const double fx = 500, fy = 500, cx = 320, cy = 240, size = 0.15, half = size / 2;
  const Eigen::Matrix4d base_from_camera = mounted_camera();
  // A tag facing the robot 2 m ahead of the base, 0.2 m to the left and 0.4 m up; the robot
  // stands at (1, 1) in the global frame, turned 90 degrees left.
  const Eigen::Vector3d tag_in_base(2.0, 0.2, 0.4);
  const Eigen::Vector3d flu = base_from_camera.block<3, 3>(0, 0).transpose() *
                              (tag_in_base - base_from_camera.block<3, 1>(0, 3));
  // The tag faces the camera squarely: its corners lie about the centre in the image plane.
  const Eigen::Vector3d centre_optical(-flu.y(), -flu.z(), flu.x());
  FrameRecord frame;
  frame.pose.tx = 1.0;
  frame.pose.ty = 1.0;
  frame.pose.qw = frame.pose.qz = std::sqrt(0.5);
  apriltag::TagPoints corners(5, 2);
  const double offsets[4][2] = {{-half, -half}, {half, -half}, {half, half}, {-half, half}};
  for (int k = 0; k < 4; ++k) {
    const Eigen::Vector3d corner =
        centre_optical + Eigen::Vector3d(offsets[k][0], offsets[k][1], 0);
    corners(k, 0) = static_cast<float>(fx * corner.x() / corner.z() + cx);
    corners(k, 1) = static_cast<float>(fy * corner.y() / corner.z() + cy);
  }
  corners.row(4) = corners.topRows(4).colwise().mean();
  frame.corner_dict = {{7, corners}};
  const FrameMap frames = {{1, frame}, {2, frame}};

  const auto positions =
      board_tag_positions(frames, base_from_camera, {fx, fy, cx, cy, 640, 480}, size);
  ASSERT_EQ(positions.size(), 1u);
  EXPECT_EQ(positions[0].first, 7);
  // Turned left, the base's x is the global y: (1 - 0.2, 1 + 2).
  EXPECT_NEAR(positions[0].second.x(), 0.8, 2e-3);
  EXPECT_NEAR(positions[0].second.y(), 3.0, 2e-3);
}

TEST(PageSettingsTest, NamesAndValuesAsTheLogShowsThem) {
  RunSettings settings;
  settings.report = false;
  const auto rows = page_settings(settings);
  EXPECT_THAT(rows, Contains(Pair("tag_size_m", "0.15")));
  EXPECT_THAT(rows, Contains(Pair("target_ids", "[0, 1, 2, 3, 4]")));
  EXPECT_THAT(rows, Contains(Pair("report", "False")));
}

}  // namespace
}  // namespace orvalt::calibration
