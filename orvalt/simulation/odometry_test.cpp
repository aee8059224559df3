#include "orvalt/simulation/odometry.hpp"

#include <cmath>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "orvalt/common/angles.hpp"

namespace orvalt::simulation {
namespace {

std::vector<double> ticks(double duration, double rate) {
  std::vector<double> times;
  for (int i = 0; i / rate <= duration; ++i) times.push_back(i / rate);
  return times;
}

double wrapped(double angle) { return std::atan2(std::sin(angle), std::cos(angle)); }

TEST(OdometryTest, WithoutErrorsItReproducesTheDrivenPath) {
  for (const auto kind : {TrajectoryKind::kTurnsAndArcs, TrajectoryKind::kStraight}) {
    const Trajectory trajectory = Trajectory::of_kind(kind, 20.0);
    const auto samples =
        OdometrySimulator(trajectory, NoiseSettings::exact().odometry, 1).run(ticks(20.0, 50.0));
    ASSERT_EQ(samples.size(), 1001u);
    for (const auto& sample : samples) {
      const PlanarState truth = trajectory.state(sample.time);
      ASSERT_NEAR(sample.x, truth.x, 1e-9) << sample.time;
      ASSERT_NEAR(sample.y, truth.y, 1e-9) << sample.time;
      ASSERT_NEAR(sample.yaw, truth.yaw, 1e-12) << sample.time;
    }
  }
}

TEST(OdometryTest, DistanceScaleErrorStretchesStraightMoves) {
  const Trajectory trajectory({{2.0, 0.5, 0.0}}, 2.0);
  OdometryError error = NoiseSettings::exact().odometry;
  error.scale = 0.02;
  const auto samples = OdometrySimulator(trajectory, error, 1).run({0.0, 1.0, 2.0});
  EXPECT_NEAR(samples.back().x, 0.51, 1e-12);
  EXPECT_NEAR(samples.back().y, 0.0, 1e-12);
  // Both wheels turned through 0.51 m of travel.
  EXPECT_NEAR(samples.back().left_wheel_angle, 0.51 / OdometrySimulator::kWheelRadius, 1e-9);
  EXPECT_NEAR(samples.back().right_wheel_angle, 0.51 / OdometrySimulator::kWheelRadius, 1e-9);
}

TEST(OdometryTest, YawScaleErrorOverTurnsInPlace) {
  const Trajectory trajectory({{2.0, 0.0, 1.0}}, 2.0);
  OdometryError error = NoiseSettings::exact().odometry;
  error.yaw_scale = 0.01;
  const auto samples = OdometrySimulator(trajectory, error, 1).run({2.0});
  EXPECT_NEAR(samples.back().yaw, 1.01, 1e-12);
  EXPECT_EQ(samples.back().x, 0.0);
  // Turning left, the right wheel runs forward and the left one backward.
  EXPECT_GT(samples.back().right_wheel_angle, 0.0);
  EXPECT_NEAR(samples.back().left_wheel_angle, -samples.back().right_wheel_angle, 1e-12);
}

// With the default errors, 20 s of driving drifts by centimetres and under a degree or so, as
// wheel odometry does; standing still adds no drift.
TEST(OdometryTest, DefaultErrorsDriftLikeWheelOdometry) {
  const Trajectory trajectory = Trajectory::of_kind(TrajectoryKind::kTurnsAndArcs, 20.0);
  const OdometryError error;
  const auto samples = OdometrySimulator(trajectory, error, 3).run(ticks(20.0, 50.0));
  const PlanarState truth = trajectory.state(20.0);
  const double position_drift = std::hypot(samples.back().x - truth.x, samples.back().y - truth.y);
  const double yaw_drift = std::abs(wrapped(samples.back().yaw - truth.yaw));
  EXPECT_GT(position_drift, 1e-4);
  EXPECT_LT(position_drift, 0.05);
  EXPECT_GT(yaw_drift, 1e-5);
  EXPECT_LT(yaw_drift, common::deg_to_rad(2.0));

  const Trajectory still({{5.0, 0.0, 0.0}}, 5.0);
  for (const auto& sample : OdometrySimulator(still, error, 3).run(ticks(5.0, 50.0))) {
    EXPECT_EQ(sample.x, 0.0);
    EXPECT_EQ(sample.yaw, 0.0);
  }
}

TEST(OdometryTest, TheSeedDecidesTheDrift) {
  const Trajectory trajectory = Trajectory::of_kind(TrajectoryKind::kTurnsAndArcs, 10.0);
  const OdometryError error;
  const auto times = ticks(10.0, 50.0);
  const auto first = OdometrySimulator(trajectory, error, 5).run(times);
  const auto again = OdometrySimulator(trajectory, error, 5).run(times);
  const auto other = OdometrySimulator(trajectory, error, 6).run(times);
  EXPECT_EQ(first.back().x, again.back().x);
  EXPECT_EQ(first.back().yaw, again.back().yaw);
  EXPECT_NE(first.back().yaw, other.back().yaw);
}

TEST(OdometryTest, RejectsTimesThatGoBack) {
  const Trajectory trajectory = Trajectory::of_kind(TrajectoryKind::kTurns, 5.0);
  EXPECT_THROW(OdometrySimulator(trajectory, OdometryError{}, 1).run({1.0, 0.5}),
               std::invalid_argument);
}

}  // namespace
}  // namespace orvalt::simulation
