#pragma once

#include <filesystem>
#include <vector>

#include <Eigen/Core>

#include "orvalt/calibration/utils/transform_utils.hpp"

namespace orvalt::calibration {

// Motion pairs and ground clouds generated from a known extrinsic X, for tests and
// benchmarks of the optimizer. Random draws are seeded, so every problem reproduces.
struct SyntheticProblemOptions {
  Vector6d true_vec6 = (Vector6d() << 0.02, 0.3, -0.05, 0.2, -0.03, 0.5).finished();
  int num_motions = 20;
  bool planar = false;           // base motions only turn about z and move in x, y
  double max_rotation = 0.4;     // radians per motion
  double max_translation = 0.3;  // metres per motion, per axis
  int num_clouds = 4;
  int points_per_cloud = 300;
  double rotation_noise = 0.0;     // radians, standard deviation per axis of each B
  double translation_noise = 0.0;  // metres, per axis of each B
  double ground_noise = 0.0;       // metres, standard deviation of each point's height
  unsigned seed = 1;
};

struct SyntheticProblem {
  Eigen::Matrix4d X;                           // base_from_camera
  std::vector<Eigen::Matrix4d> A_list;         // pose of base i+1 in base i
  std::vector<Eigen::Matrix4d> B_list;         // X^-1 A_i X, perturbed by the motion noise
  std::vector<Points3d> camera_ground_points;  // the floor z = 0 of the base frame, in camera
                                               // coordinates, one patch in front per cloud
};

SyntheticProblem make_synthetic_problem(const SyntheticProblemOptions& options);

// Writes cloud i as "ground_<i>.ply" into dir (which must exist).
void write_ground_clouds(const std::vector<Points3d>& clouds, const std::filesystem::path& dir);

}  // namespace orvalt::calibration
