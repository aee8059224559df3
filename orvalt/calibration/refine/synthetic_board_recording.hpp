#pragma once

#include <cstdint>

#include "orvalt/calibration/refine/board_refinement.hpp"
#include "orvalt/simulation/simulation_options.hpp"

namespace orvalt::calibration {

// A recording reduced to what the board refinement reads, made with known truth: the
// simulator's drive, board and camera, the tag corners projected exactly (then optionally
// perturbed), the odometry dead-reckoned with the given errors, floor points in front of the
// robot. Random draws are seeded, so every recording reproduces.
struct SyntheticBoardRecordingOptions {
  double duration = 20.0;     // seconds
  double camera_rate = 15.0;  // Hz
  simulation::TrajectoryKind trajectory = simulation::TrajectoryKind::kTurnsAndArcs;
  Vector6d true_vec6 = Eigen::Map<const Vector6d>(simulation::SimulationOptions().extrinsic.data());
  double latency_s = 0.0;      // image stamps later than the capture by this much
  double odometry_rate = 0.0;  // Hz of RefinementInput::odometry; 0: the frames' poses only
  simulation::OdometryError odometry_error = simulation::NoiseSettings::exact().odometry;
  double pixel_noise = 0.0;  // standard deviation per corner coordinate, pixels
  int clouds = 4;
  int points_per_cloud = 200;
  double floor_noise = 0.0;  // metres, standard deviation of each floor point's height
  std::uint64_t seed = 1;
};

struct SyntheticBoardRecording {
  RefinementInput input;  // initial_vec6 is the truth; tests perturb it
  Vector6d true_vec6;
  double true_time_offset_s = 0.0;
};

SyntheticBoardRecording make_synthetic_board_recording(
    const SyntheticBoardRecordingOptions& options);

}  // namespace orvalt::calibration
