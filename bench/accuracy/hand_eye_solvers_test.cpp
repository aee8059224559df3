#include "bench/accuracy/hand_eye_solvers.hpp"

#include <random>

#include <gtest/gtest.h>
#include <Eigen/Geometry>

#include "orvalt/calibration/utils/transform_utils.hpp"
#include "orvalt/testing/eigen_matchers.hpp"

namespace orvalt::bench {
namespace {

using orvalt::testing::IsNearRigidTransform;

Eigen::Matrix4d random_pose(std::mt19937_64& random, double max_angle, double max_offset) {
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  const Eigen::Vector3d axis = Eigen::Vector3d(unit(random), unit(random), unit(random));
  Eigen::Matrix4d T = Eigen::Matrix4d::Identity();
  T.block<3, 3>(0, 0) =
      Eigen::AngleAxisd(max_angle * unit(random), axis.normalized()).toRotationMatrix();
  T.block<3, 1>(0, 3) = max_offset * Eigen::Vector3d(unit(random), unit(random), unit(random));
  return T;
}

// Pairs A_i X = X B_i of independent random motions: consecutive pairs share no station, as
// when the pair gate drops the motions between them.
struct ExactPairs {
  Eigen::Matrix4d X;
  std::vector<Eigen::Matrix4d> A_list;
  std::vector<Eigen::Matrix4d> B_list;
};

ExactPairs exact_pairs(std::uint64_t seed, int count) {
  std::mt19937_64 random(seed);
  ExactPairs pairs;
  pairs.X = random_pose(random, 0.5, 0.2);
  for (int i = 0; i < count; ++i) {
    const Eigen::Matrix4d A = random_pose(random, 0.6, 0.3);
    pairs.A_list.push_back(A);
    pairs.B_list.push_back(pairs.X.inverse() * A * pairs.X);
  }
  return pairs;
}

TEST(HandEyeSolversTest, StationsReproduceEveryPairAsTheirRelativeMotion) {
  const ExactPairs pairs = exact_pairs(3, 6);
  const HandEyeStations stations = stations_from_motions(pairs.A_list, pairs.B_list);
  ASSERT_EQ(stations.gripper_to_base.size(), 7u);
  ASSERT_EQ(stations.target_to_camera.size(), 7u);
  for (std::size_t i = 0; i < pairs.A_list.size(); ++i) {
    const Eigen::Matrix4d A =
        stations.gripper_to_base[i].inverse() * stations.gripper_to_base[i + 1];
    // The pose of camera i+1 in camera i, from the board's pose in both cameras.
    const Eigen::Matrix4d B =
        stations.target_to_camera[i] * stations.target_to_camera[i + 1].inverse();
    EXPECT_THAT(A, IsNearRigidTransform(pairs.A_list[i], 1e-9, 1e-9));
    EXPECT_THAT(B, IsNearRigidTransform(pairs.B_list[i], 1e-9, 1e-9));
  }
  EXPECT_THROW(stations_from_motions(pairs.A_list, {}), std::invalid_argument);
}

// The conversion to OpenCV's gripper-to-base and target-to-camera poses is right when every
// method recovers X from exact pairs; a flipped direction or a swapped inverse gives another X.
TEST(HandEyeSolversTest, EveryOpenCvMethodRecoversXFromExactPairs) {
  for (std::uint64_t seed : {1u, 2u, 5u}) {
    const ExactPairs pairs = exact_pairs(seed, 8);
    for (const OpenCvHandEyeMethod& method : opencv_hand_eye_methods()) {
      EXPECT_THAT(solve_hand_eye_opencv(pairs.A_list, pairs.B_list, method.method),
                  IsNearRigidTransform(pairs.X, 1e-6, 1e-6))
          << method.name << ", seed " << seed;
    }
    EXPECT_THAT(calibration::TransformUtils::solve_axxb_linear(pairs.A_list, pairs.B_list),
                IsNearRigidTransform(pairs.X, 1e-6, 1e-6));
  }
}

TEST(HandEyeSolversTest, OpenCvNeedsTwoPairs) {
  const ExactPairs pairs = exact_pairs(4, 1);
  EXPECT_THROW(
      solve_hand_eye_opencv(pairs.A_list, pairs.B_list, opencv_hand_eye_methods()[0].method),
      std::invalid_argument);
}

}  // namespace
}  // namespace orvalt::bench
