#include "orvalt/calibration/refine/odometry_track.hpp"

#include <cmath>
#include <stdexcept>

#include <gtest/gtest.h>

namespace orvalt::calibration {
namespace {

TEST(OdometryTrackTest, PassesThroughSamplesAndFollowsAcceleration) {
  // Uniform acceleration at a camera's 15 Hz: a chord between samples would miss the path
  // by a * dt^2 / 8 = 0.3 mm at 0.5 m/s^2.
  const double dt = 1.0 / 15.0;
  const double acceleration = 0.5;
  std::vector<OdometrySample> samples;
  for (int i = 0; i < 10; ++i) {
    const double t = i * dt;
    samples.push_back({t, {0.5 * acceleration * t * t, 0.1 * t, 0.2 * t}});
  }
  const OdometryTrack track(samples);
  for (const OdometrySample& sample : samples) {
    EXPECT_DOUBLE_EQ(track.pose_at(sample.time).x, sample.pose.x);
  }
  const double t = 4.5 * dt;
  const PlanarPose between = track.pose_at(t);
  EXPECT_NEAR(between.x, 0.5 * acceleration * t * t, 1e-12);
  EXPECT_NEAR(between.y, 0.1 * t, 1e-12);
  EXPECT_NEAR(between.yaw, 0.2 * t, 1e-12);
}

TEST(OdometryTrackTest, TurnsThroughPiTheShortWay) {
  const OdometryTrack track({{0.0, {0, 0, M_PI - 0.1}}, {1.0, {0, 0, -M_PI + 0.1}}});
  EXPECT_NEAR(track.pose_at(0.5).yaw, M_PI, 1e-12);
}

TEST(OdometryTrackTest, TimeDerivativeMatchesDifferences) {
  const OdometryTrack track({{0.0, {0, 0, 0}},
                             {0.1, {0.01, 0.002, 0.03}},
                             {0.2, {0.03, 0.001, 0.05}},
                             {0.3, {0.06, 0, 0.06}}});
  using Jet = ceres::Jet<double, 1>;
  const double t = 0.17;
  Jet pose[3];
  track.pose_at(Jet(t, 0), pose);
  const PlanarPose before = track.pose_at(t - 1e-6);
  const PlanarPose after = track.pose_at(t + 1e-6);
  EXPECT_NEAR(pose[0].v[0], (after.x - before.x) / 2e-6, 1e-6);
  EXPECT_NEAR(pose[2].v[0], (after.yaw - before.yaw) / 2e-6, 1e-6);
}

TEST(OdometryTrackTest, RejectsTooFewOrUnorderedSamples) {
  using Samples = std::vector<OdometrySample>;
  EXPECT_THROW(OdometryTrack(Samples{{0.0, {}}}), std::invalid_argument);
  EXPECT_THROW(OdometryTrack(Samples{{0.0, {}}, {0.0, {}}}), std::invalid_argument);
  EXPECT_THROW(OdometryTrack(Samples{{1.0, {}}, {0.5, {}}}), std::invalid_argument);
}

}  // namespace
}  // namespace orvalt::calibration
