#pragma once

#include <cstdint>
#include <filesystem>

#include <Eigen/Core>

#include "orvalt/simulation/recording_writer.hpp"
#include "orvalt/simulation/simulation.hpp"

namespace orvalt::simulation {

inline constexpr const char* kGroundTruthFile = "ground_truth.json";

// Writes ground_truth.json into the recording's directory: the true extrinsic under the keys
// and layout of calibration_result.json (vec6, rotation, translation, rotation_euler,
// rotation_deg, rotation_quat, extrinsic_matrix_4x4, at full precision), then the nominal
// extrinsic of /tf_static, the frames, camera intrinsics, board layout and pose (with every
// tag corner in the world), room, trajectory, rates, topics with their message counts and
// delays, the camera latency (when there is one), the seed, every noise setting, and the
// odometry drift at the end.
void write_ground_truth(const Simulation& simulation, const RecordingSummary& summary);

// What a consumer of a recording needs back from its ground truth.
struct GroundTruth {
  Eigen::Matrix<double, 6, 1> vec6;  // [rx, ry, rz, tx, ty, tz], radians and metres
  Eigen::Matrix4d extrinsic_matrix;  // camera (forward-left-up) -> base_footprint
  CameraIntrinsics intrinsics;
  std::uint64_t seed = 0;
  double camera_latency_ms = 0.0;  // camera header stamps minus capture times
};

// Reads `path` (a ground_truth.json, or a recording directory holding one). Throws
// common::FileNotFoundError when it is missing and std::runtime_error when it is malformed.
GroundTruth read_ground_truth(const std::filesystem::path& path);

}  // namespace orvalt::simulation
