#include "orvalt/simulation/trajectory.hpp"

#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include "orvalt/common/angles.hpp"

namespace orvalt::simulation {
namespace {

using common::kDegree;
const TrajectoryKind kKinds[] = {TrajectoryKind::kTurnsAndArcs, TrajectoryKind::kTurns,
                                 TrajectoryKind::kStraight, TrajectoryKind::kGentleArcs};

double cycle_duration(const Trajectory& trajectory) {
  double total = 0;
  for (const auto& manoeuvre : trajectory.cycle()) total += manoeuvre.duration;
  return total;
}

TEST(TrajectoryTest, EveryCycleEndsAtRestWhereItStarted) {
  for (const auto kind : kKinds) {
    const Trajectory trajectory = Trajectory::of_kind(kind, 20.0);
    EXPECT_NEAR(cycle_duration(trajectory), 20.0, 1e-9) << trajectory_kind_name(kind);
    const PlanarState end = trajectory.state(20.0);
    EXPECT_NEAR(end.x, 0.0, 1e-9) << trajectory_kind_name(kind);
    EXPECT_NEAR(end.y, 0.0, 1e-9) << trajectory_kind_name(kind);
    EXPECT_NEAR(end.yaw, 0.0, 1e-12) << trajectory_kind_name(kind);
    EXPECT_NEAR(end.speed, 0.0, 1e-12);
    EXPECT_NEAR(end.yaw_rate, 0.0, 1e-12);
  }
}

// Speeds are the time derivatives of the pose, and the path is continuous at manoeuvre
// boundaries, checked at random instants.
TEST(TrajectoryTest, StateIsContinuousAndSpeedsAreItsDerivatives) {
  std::mt19937_64 random(7);
  for (const auto kind : kKinds) {
    const Trajectory trajectory = Trajectory::of_kind(kind, 45.0);
    std::uniform_real_distribution<double> instant(0.01, 44.99);
    for (int i = 0; i < 300; ++i) {
      const double t = instant(random);
      constexpr double h = 1e-6;
      const PlanarState before = trajectory.state(t - h);
      const PlanarState now = trajectory.state(t);
      const PlanarState after = trajectory.state(t + h);
      const double dx = (after.x - before.x) / (2 * h);
      const double dy = (after.y - before.y) / (2 * h);
      EXPECT_NEAR(dx * std::cos(now.yaw) + dy * std::sin(now.yaw), now.speed, 1e-5);
      // Wheeled: no sideways motion.
      EXPECT_NEAR(-dx * std::sin(now.yaw) + dy * std::cos(now.yaw), 0.0, 1e-5);
      EXPECT_NEAR((after.yaw - before.yaw) / (2 * h), now.yaw_rate, 1e-5);
      EXPECT_NEAR((after.distance - before.distance) / (2 * h), now.speed, 1e-5);
    }
  }
}

TEST(TrajectoryTest, DefaultDriveTurnsBothWaysMovesBothWaysAndKeepsTheBoardAhead) {
  const Trajectory trajectory = Trajectory::of_kind(TrajectoryKind::kTurnsAndArcs, 20.0);
  double min_yaw = 0, max_yaw = 0, min_x = 0, max_x = 0, min_speed = 0, max_speed = 0;
  double max_rate = 0;
  bool arc = false;
  for (double t = 0; t <= 20.0; t += 0.01) {
    const PlanarState state = trajectory.state(t);
    min_yaw = std::min(min_yaw, state.yaw);
    max_yaw = std::max(max_yaw, state.yaw);
    min_x = std::min(min_x, state.x);
    max_x = std::max(max_x, state.x);
    min_speed = std::min(min_speed, state.speed);
    max_speed = std::max(max_speed, state.speed);
    max_rate = std::max(max_rate, std::abs(state.yaw_rate));
    arc |= std::abs(state.speed) > 0.02 && std::abs(state.yaw_rate) > 0.05;
  }
  EXPECT_GT(max_yaw, 25 * kDegree);
  EXPECT_LT(min_yaw, -25 * kDegree);
  EXPECT_LT(min_speed, -0.05);
  EXPECT_GT(max_speed, 0.05);
  EXPECT_TRUE(arc);
  // The board stands 1 m ahead: the robot never drives closer than 0.7 m to it.
  EXPECT_LT(max_x, 0.3);
  EXPECT_GT(min_x, -0.5);
  // A person drives this gently.
  EXPECT_LT(max_speed, 0.35);
  EXPECT_LT(max_rate, 1.0);
}

TEST(TrajectoryTest, KindsKeepToTheirMotion) {
  const Trajectory straight = Trajectory::of_kind(TrajectoryKind::kStraight, 20.0);
  const Trajectory turns = Trajectory::of_kind(TrajectoryKind::kTurns, 20.0);
  double travelled = 0, turned = 0;
  for (double t = 0; t <= 20.0; t += 0.05) {
    EXPECT_EQ(straight.state(t).yaw, 0.0);
    EXPECT_EQ(straight.state(t).y, 0.0);
    EXPECT_EQ(turns.state(t).x, 0.0);
    EXPECT_EQ(turns.state(t).y, 0.0);
    travelled = std::max(travelled, std::abs(straight.state(t).x));
    turned = std::max(turned, std::abs(turns.state(t).yaw));
  }
  EXPECT_GT(travelled, 0.2);
  EXPECT_GT(turned, 25 * kDegree);

  const Trajectory gentle = Trajectory::of_kind(TrajectoryKind::kGentleArcs, 20.0);
  double gentle_turned = 0, gentle_travelled = 0;
  for (double t = 0; t <= 20.0; t += 0.05) {
    gentle_turned = std::max(gentle_turned, std::abs(gentle.state(t).yaw));
    gentle_travelled = std::max(gentle_travelled, std::abs(gentle.state(t).x));
  }
  EXPECT_GT(gentle_turned, 5 * kDegree);
  EXPECT_LT(gentle_turned, 10 * kDegree);
  EXPECT_GT(gentle_travelled, 0.2);
}

TEST(TrajectoryTest, CycleRepeatsAndTimeIsClamped) {
  const Trajectory trajectory = Trajectory::of_kind(TrajectoryKind::kTurnsAndArcs, 50.0);
  for (double t : {1.3, 7.7, 12.1}) {
    const PlanarState first = trajectory.state(t);
    const PlanarState second = trajectory.state(t + 20.0);
    EXPECT_NEAR(first.x, second.x, 1e-9);
    EXPECT_NEAR(first.yaw, second.yaw, 1e-9);
    EXPECT_NEAR(first.distance, second.distance, 1e-9);  // out and back: net distance 0
  }
  EXPECT_EQ(trajectory.state(-1.0).x, trajectory.state(0.0).x);
  EXPECT_EQ(trajectory.state(60.0).yaw, trajectory.state(50.0).yaw);
}

TEST(TrajectoryTest, ArcFollowsItsCircle) {
  // A quarter circle of radius 1 m to the left.
  const Trajectory trajectory({{4.0, M_PI / 2, M_PI / 2}}, 4.0);
  const PlanarState end = trajectory.state(4.0);
  EXPECT_NEAR(end.x, 1.0, 1e-12);
  EXPECT_NEAR(end.y, 1.0, 1e-12);
  EXPECT_NEAR(end.yaw, M_PI / 2, 1e-12);
  const PlanarState middle = trajectory.state(2.0);
  EXPECT_NEAR(std::hypot(middle.x, middle.y - 1.0), 1.0, 1e-12);
}

}  // namespace
}  // namespace orvalt::simulation
