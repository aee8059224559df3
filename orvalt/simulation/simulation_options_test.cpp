#include "orvalt/simulation/simulation_options.hpp"

#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvalt/common/angles.hpp"

namespace orvalt::simulation {
namespace {

using ::testing::HasSubstr;

using common::kDegree;

TEST(SimulationOptionsTest, DefaultsAreValidAndMatchTheCalibrationDefaults) {
  const SimulationOptions options;
  EXPECT_NO_THROW(validate(options));
  EXPECT_EQ(options.topics.color, "/QuillonNode/rectify_left_image");
  EXPECT_EQ(options.topics.depth, "/QuillonNode/quillon_depth");
  EXPECT_EQ(options.topics.cloud, "/QuillonNode/quillon_pointcloud2");
  EXPECT_EQ(options.topics.camera_info, "/QuillonNode/quillon_depth/camera_info");
  EXPECT_EQ(options.intrinsics.width, 640);
  EXPECT_EQ(options.intrinsics.height, 480);
  EXPECT_EQ(options.camera_rate, 15.0);
  // Tags 0 to 4 are the calibration's default targets.
  EXPECT_EQ(options.board.first_id, 0);
  EXPECT_GE(options.board.rows * options.board.cols, 5);
}

// The calibration starts from [0, 0, 0] deg, [0.01, 0.04, 0.146] m and searches 10 deg and
// 0.03 m around it: the truth must be inside that box, but not at its centre.
TEST(SimulationOptionsTest, TrueMountingIsNearTheNominalOneWithinTheCalibrationBounds) {
  const SimulationOptions options;
  const Vector6 initial = extrinsic_from_degrees({0, 0, 0, 0.01, 0.04, 0.146});
  ASSERT_EQ(options.nominal_extrinsic, initial);
  for (int i = 0; i < 3; ++i) {
    EXPECT_LT(std::abs(options.extrinsic[i] - initial[i]), 10.0 * kDegree) << i;
    EXPECT_LT(std::abs(options.extrinsic[i + 3] - initial[i + 3]), 0.03) << i + 3;
  }
  // A few degrees of pitch down (positive ry tilts the forward axis down) and of yaw, and a
  // centimetre or so off in x and y.
  EXPECT_GT(options.extrinsic[1], 2.0 * kDegree);
  EXPECT_GT(std::abs(options.extrinsic[2]), 1.0 * kDegree);
  EXPECT_GT(std::abs(options.extrinsic[3] - initial[3]), 0.005);
  EXPECT_GT(std::abs(options.extrinsic[4] - initial[4]), 0.005);
}

TEST(SimulationOptionsTest, ExactNoiseSwitchesEveryImperfectionOff) {
  const NoiseSettings none = NoiseSettings::exact();
  EXPECT_EQ(none.image_noise, 0.0);
  EXPECT_EQ(none.image_blur, 0.0);
  EXPECT_EQ(none.brightness_variation, 0.0);
  EXPECT_EQ(none.depth_noise, 0.0);
  EXPECT_EQ(none.depth_noise_quadratic, 0.0);
  EXPECT_EQ(none.depth_edge_holes, 0);
  EXPECT_EQ(none.depth_dropout, 0.0);
  EXPECT_EQ(none.odometry.scale, 0.0);
  EXPECT_EQ(none.odometry.slip, 0.0);
  EXPECT_EQ(none.odometry.yaw_scale, 0.0);
  EXPECT_EQ(none.odometry.yaw_noise, 0.0);
  SimulationOptions options;
  options.noise = none;
  EXPECT_NO_THROW(validate(options));
}

TEST(SimulationOptionsTest, TrajectoryNamesRoundTrip) {
  for (const auto kind : {TrajectoryKind::kTurnsAndArcs, TrajectoryKind::kTurns,
                          TrajectoryKind::kStraight, TrajectoryKind::kGentleArcs}) {
    EXPECT_EQ(parse_trajectory_kind(trajectory_kind_name(kind)), kind);
  }
  EXPECT_THROW(parse_trajectory_kind("zigzag"), std::invalid_argument);
}

TEST(SimulationOptionsTest, ExtrinsicAnglesAreConvertedFromDegrees) {
  const Vector6 vec6 = extrinsic_from_degrees({180, -90, 45, 1, 2, 3});
  EXPECT_DOUBLE_EQ(vec6[0], M_PI);
  EXPECT_DOUBLE_EQ(vec6[1], -M_PI / 2);
  EXPECT_DOUBLE_EQ(vec6[2], M_PI / 4);
  EXPECT_EQ(vec6[5], 3.0);
  EXPECT_THROW(extrinsic_from_degrees({1, 2, 3, 4, 5}), std::invalid_argument);
}

// Camera drivers stamp 10 to 100 ms late; up to 200 ms keeps every frame inside the odometry.
TEST(SimulationOptionsTest, CameraLatencyUpTo200MsIsAccepted) {
  SimulationOptions options;
  EXPECT_EQ(options.camera_latency_ms, 0.0);
  options.camera_latency_ms = 200.0;
  EXPECT_NO_THROW(validate(options));
}

// Each broken setting is rejected with a message that names it.
TEST(SimulationOptionsTest, OutOfRangeSettingsAreRejectedByName) {
  const std::vector<std::pair<std::string, std::function<void(SimulationOptions&)>>> cases = {
      {"--storage", [](SimulationOptions& o) { o.storage = "rosbag1"; }},
      {"--duration", [](SimulationOptions& o) { o.duration = 0.5; }},
      {"--duration", [](SimulationOptions& o) { o.duration = NAN; }},
      {"--camera_rate", [](SimulationOptions& o) { o.camera_rate = 0; }},
      {"--cloud_rate", [](SimulationOptions& o) { o.cloud_rate = 20; }},
      {"--tf_rate", [](SimulationOptions& o) { o.tf_rate = 1; }},
      {"--start_time", [](SimulationOptions& o) { o.start_time_ns = 3000000000LL * 1000000000LL; }},
      {"extrinsic", [](SimulationOptions& o) { o.extrinsic.pop_back(); }},
      {"--image_size", [](SimulationOptions& o) { o.intrinsics.width = 8; }},
      {"fx", [](SimulationOptions& o) { o.intrinsics.fx = -1; }},
      {"principal point", [](SimulationOptions& o) { o.intrinsics.cx = 700; }},
      {"--board_grid", [](SimulationOptions& o) { o.board.rows = 0; }},
      {"tag36h11", [](SimulationOptions& o) { o.board.first_id = 580; }},
      {"--tag_size", [](SimulationOptions& o) { o.board.tag_size = 0; }},
      {"--tag_spacing", [](SimulationOptions& o) { o.board.tag_spacing = -0.01; }},
      {"Pixels per tag", [](SimulationOptions& o) { o.board.pixels_per_tag = 100; }},
      {"--image_noise", [](SimulationOptions& o) { o.noise.image_noise = -1; }},
      {"--brightness_variation", [](SimulationOptions& o) { o.noise.brightness_variation = 0.7; }},
      {"--depth_noise", [](SimulationOptions& o) { o.noise.depth_noise = -0.001; }},
      {"--depth_edge_holes", [](SimulationOptions& o) { o.noise.depth_edge_holes = -1; }},
      {"--depth_dropout", [](SimulationOptions& o) { o.noise.depth_dropout = 0.9; }},
      {"--odom_scale_error", [](SimulationOptions& o) { o.noise.odometry.scale = 0.6; }},
      {"--odom_slip", [](SimulationOptions& o) { o.noise.odometry.slip = -1; }},
      {"--recording_delay_ms", [](SimulationOptions& o) { o.delay.min_ms = 50; }},
      {"--camera_latency_ms", [](SimulationOptions& o) { o.camera_latency_ms = -1; }},
      {"--camera_latency_ms", [](SimulationOptions& o) { o.camera_latency_ms = NAN; }},
      {"--camera_latency_ms", [](SimulationOptions& o) { o.camera_latency_ms = 250; }},
      {"distinct", [](SimulationOptions& o) { o.topics.depth = o.topics.color; }},
      {"distinct", [](SimulationOptions& o) { o.topics.cloud = "/tf"; }},
      {"--cloud_step", [](SimulationOptions& o) { o.cloud_step = 0; }},
      {"--depth_range", [](SimulationOptions& o) { o.depth_max = 0.1; }},
      {"--board_pose", [](SimulationOptions& o) { o.board_placement.x = 9.0; }},
      {"room", [](SimulationOptions& o) { o.room.x_max = 0.2; }},
  };
  for (const auto& [name, breaks] : cases) {
    SimulationOptions options;
    breaks(options);
    try {
      validate(options);
      ADD_FAILURE() << "accepted a broken " << name;
    } catch (const std::invalid_argument& error) {
      EXPECT_THAT(error.what(), HasSubstr(name));
    }
  }
}

}  // namespace
}  // namespace orvalt::simulation
