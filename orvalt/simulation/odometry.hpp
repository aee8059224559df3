#pragma once

#include <cstdint>
#include <vector>

#include "orvalt/simulation/simulation_options.hpp"
#include "orvalt/simulation/trajectory.hpp"

namespace orvalt::simulation {

// What wheel odometry reports at one instant: the dead-reckoned pose of base_footprint in
// odom, and the wheel rotation angles for the robot's wheel joints.
struct OdometrySample {
  double time = 0.0;  // seconds from the start
  double x = 0.0;
  double y = 0.0;
  double yaw = 0.0;
  double left_wheel_angle = 0.0;   // radians
  double right_wheel_angle = 0.0;  // radians
};

// Dead reckoning from the driven path with wheel-odometry errors: a distance scale error,
// correlated wheel slip, a yaw scale error and yaw noise that grows with motion. With all
// errors zero it reproduces the path exactly, because each integration step is a
// constant-curvature arc and so is the path between manoeuvre boundaries.
class OdometrySimulator {
 public:
  static constexpr double kWheelRadius = 0.05;     // metres
  static constexpr double kWheelSeparation = 0.3;  // metres

  OdometrySimulator(const Trajectory& trajectory, const OdometryError& error, std::uint64_t seed);

  // Samples at `times` (seconds, non-decreasing, from 0 on).
  std::vector<OdometrySample> run(const std::vector<double>& times) const;

 private:
  const Trajectory& trajectory_;
  OdometryError error_;
  std::uint64_t seed_;
};

}  // namespace orvalt::simulation
