#include "orvalt/calibration/varnholt/motion_pairs.hpp"

#include <cmath>
#include <random>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <Eigen/Geometry>

#include "orvalt/testing/eigen_matchers.hpp"

namespace orvalt::calibration {
namespace {

using Eigen::Isometry3d;

// A frame whose file name carried this pose of base_footprint in the odometry frame.
FrameRecord frame_at(const Isometry3d& odom_from_base) {
  FrameRecord frame;
  const Eigen::Vector3d t = odom_from_base.translation();
  const Eigen::Quaterniond q(odom_from_base.rotation());
  frame.pose.tx = t.x();
  frame.pose.ty = t.y();
  frame.pose.tz = t.z();
  frame.pose.qw = q.w();
  frame.pose.qx = q.x();
  frame.pose.qy = q.y();
  frame.pose.qz = q.z();
  return frame;
}

// What the camera motion estimator reports between two camera poses: the map of tag points
// from camera k to camera k+1 coordinates, cam_k1_from_cam_k.
Eigen::Matrix4d estimator_motion(const Isometry3d& odom_from_camera_k,
                                 const Isometry3d& odom_from_camera_k1) {
  return (odom_from_camera_k1.inverse() * odom_from_camera_k).matrix();
}

Isometry3d pose(double x, double y, double yaw) {
  return Eigen::Translation3d(x, y, 0) * Eigen::AngleAxisd(yaw, Eigen::Vector3d::UnitZ());
}

Isometry3d mounting() {
  // Pitched down 4 degrees, turned 3 degrees, ahead and left of the base origin.
  return Eigen::Translation3d(0.025, 0.028, 0.152) *
         Eigen::AngleAxisd(3.0 * M_PI / 180, Eigen::Vector3d::UnitZ()) *
         Eigen::AngleAxisd(4.0 * M_PI / 180, Eigen::Vector3d::UnitY()) *
         Eigen::AngleAxisd(0.6 * M_PI / 180, Eigen::Vector3d::UnitX());
}

TEST(MotionPairsTest, PairsOfASimulatedDriveSatisfyHandEye) {
  const Isometry3d base_from_camera = mounting();
  std::mt19937 random(7);
  std::uniform_real_distribution<double> step(-0.05, 0.05);
  Isometry3d odom_from_base = pose(0.2, -0.1, 0.3);
  for (int k = 0; k < 30; ++k) {
    const Isometry3d next = odom_from_base * pose(step(random), step(random), 4 * step(random));
    const Eigen::Matrix4d A = odom_motion(frame_at(odom_from_base), frame_at(next));
    const Eigen::Matrix4d B =
        camera_motion(estimator_motion(odom_from_base * base_from_camera, next * base_from_camera));
    const Eigen::Matrix4d X = base_from_camera.matrix();
    EXPECT_THAT(Eigen::Matrix4d(A * X), testing::EigenNear(Eigen::Matrix4d(X * B), 1e-12));
    odom_from_base = next;
  }
}

TEST(MotionPairsTest, AFourCentimetreStraightMovePassesTheGate) {
  const Isometry3d base_from_camera = mounting();
  const Isometry3d start = pose(0.5, 0.2, 0.7);
  const Isometry3d end = start * pose(0.04, 0.0, 0.0);
  const Eigen::Matrix4d A = odom_motion(frame_at(start), frame_at(end));
  const Eigen::Matrix4d cam_k1_from_cam_k =
      estimator_motion(start * base_from_camera, end * base_from_camera);
  const MotionDiscrepancy kept = motion_discrepancy(A, camera_motion(cam_k1_from_cam_k));
  EXPECT_LT(kept.distance_error, 0.005);
  EXPECT_TRUE(keeps_pair(kept));
  // The estimator's own motion points the other way: compared as it is, the move would be
  // twice its length off and the pair lost.
  EXPECT_FALSE(keeps_pair(motion_discrepancy(A, cam_k1_from_cam_k)));
}

TEST(MotionPairsTest, GateKeepsExactlyFiveCentimetres) {
  Eigen::Matrix4d A = Eigen::Matrix4d::Identity();
  const Eigen::Matrix4d B = Eigen::Matrix4d::Identity();
  A(0, 3) = 0.05;
  const MotionDiscrepancy at_limit = motion_discrepancy(A, B);
  EXPECT_EQ(at_limit.distance_error, 0.05);
  EXPECT_TRUE(keeps_pair(at_limit));
  A(0, 3) = 0.0500001;
  EXPECT_FALSE(keeps_pair(motion_discrepancy(A, B)));
  MotionDiscrepancy broken;
  broken.distance_error = std::nan("");
  EXPECT_FALSE(keeps_pair(broken));
}

TEST(MotionPairsTest, AngleErrorsAreRollPitchYawDifferences) {
  Eigen::Matrix4d A = Eigen::Matrix4d::Identity();
  A.block<3, 3>(0, 0) = Eigen::AngleAxisd(0.1, Eigen::Vector3d::UnitZ()).toRotationMatrix();
  const MotionDiscrepancy discrepancy = motion_discrepancy(A, Eigen::Matrix4d::Identity());
  EXPECT_THAT(discrepancy.angle_error, testing::EigenNear(Eigen::Vector3d(0, 0, 0.1), 1e-12));
  EXPECT_NEAR(discrepancy.angle_error_deg.z(), 0.1 * 180 / M_PI, 1e-12);
  EXPECT_EQ(estimate_line(1, 2, discrepancy),
            fmt::format("1_2 : dis_error: 0, t_error: [0 0 0], R_error_rad: [0 0 {}], "
                        "R_error_deg: [0 0 {}]",
                        discrepancy.angle_error.z(), discrepancy.angle_error_deg.z()));
}

}  // namespace
}  // namespace orvalt::calibration
