#pragma once

#include <vector>

#include <Eigen/Geometry>

#include "orvalt/simulation/simulation_options.hpp"

namespace orvalt::simulation {

// The robot base on the floor at one instant, in the world frame (the odometry frame at the
// start of the recording).
struct PlanarState {
  double x = 0.0;
  double y = 0.0;
  double yaw = 0.0;       // radians
  double distance = 0.0;  // signed path length driven since the start, metres (backward < 0)
  double speed = 0.0;     // metres per second along the heading
  double yaw_rate = 0.0;  // radians per second

  // base_footprint -> world.
  Eigen::Isometry3d world_from_base() const;
};

// One manoeuvre: the base drives `distance` metres (negative: backward) while turning `turn`
// radians, along an arc of constant curvature, starting and ending at rest.
struct Manoeuvre {
  double duration = 1.0;  // seconds
  double distance = 0.0;
  double turn = 0.0;
};

// The driven path: a cycle of manoeuvres that ends where it started, repeated until `duration`.
// Speed within a manoeuvre follows 1 - cos, so that velocity and acceleration are continuous.
class Trajectory {
 public:
  Trajectory(std::vector<Manoeuvre> cycle, double duration);
  // The cycle a person drives for this calibration, of the given kind (about 20 s long).
  static Trajectory of_kind(TrajectoryKind kind, double duration);

  // The state at `time` seconds from the start, clamped to [0, duration].
  PlanarState state(double time) const;
  double duration() const { return duration_; }
  const std::vector<Manoeuvre>& cycle() const { return cycle_; }

 private:
  struct Start {
    double time;
    PlanarState state;
  };
  std::vector<Manoeuvre> cycle_;
  std::vector<Start> starts_;  // of every manoeuvre up to the end of the recording
  double duration_;
};

}  // namespace orvalt::simulation
