// Which way each motion of a pair points: the odometry motion A is the pose of base k+1 in
// base k, the estimator's motion maps camera k coordinates to camera k+1. The hand-eye
// equation A X = X B holds with B the inverse of the estimator's motion.

#include <gtest/gtest.h>
#include <Eigen/Geometry>

#include "orvalt/draventa/camera_pose_estimator.hpp"
#include "orvalt/draventa/odom_relative_transform.hpp"
#include "orvalt/draventa/synthetic_board.hpp"
#include "orvalt/testing/eigen_matchers.hpp"

namespace orvalt::draventa {
namespace {

using testing::EigenNear;

struct OdomPose {
  Eigen::Vector3d t;
  Eigen::Vector4d q;  // w, x, y, z
};

OdomPose odom_pose(const Eigen::Isometry3d& odom_from_base) {
  const Eigen::Quaterniond q(odom_from_base.linear());
  const Eigen::Vector3d& t = odom_from_base.translation();
  return {t, {q.w(), q.x(), q.y(), q.z()}};
}

TEST(MotionDirectionTest, OdometryAndInverseCameraMotionSatisfyHandEye) {
  // The board frame is the odometry frame. The camera poses are those of the exact round trip
  // (corners on whole pixels), so the estimator returns the true camera motion.
  const PinholeCamera camera;
  BoardOptions board;
  board.origin_x = -0.152;
  board.origin_y = -0.152;
  Eigen::Isometry3d camera1_from_odom = Eigen::Isometry3d::Identity();
  camera1_from_odom.linear() = camera_facing_board();
  camera1_from_odom.translation() = Eigen::Vector3d(2.0, 0.0, 0.0);
  Eigen::Isometry3d camera2_from_camera1 = Eigen::Isometry3d::Identity();
  camera2_from_camera1.linear() = Eigen::AngleAxisd(M_PI / 2, Eigen::Vector3d::UnitX()).matrix();
  camera2_from_camera1.translation() = Eigen::Vector3d(-1.0, 0.05, -0.03);
  const Eigen::Isometry3d camera2_from_odom = camera2_from_camera1 * camera1_from_odom;

  // X: the camera's pose in the base frame, looking forward and slightly down.
  Eigen::Isometry3d base_from_camera = Eigen::Isometry3d::Identity();
  base_from_camera.linear() = (Eigen::AngleAxisd(0.05, Eigen::Vector3d::UnitZ()) *
                               Eigen::AngleAxisd(0.3, Eigen::Vector3d::UnitY()) *
                               Eigen::AngleAxisd(-0.02, Eigen::Vector3d::UnitX()))
                                  .matrix();
  base_from_camera.translation() = Eigen::Vector3d(0.2, -0.03, 0.5);
  const Eigen::Matrix4d X = base_from_camera.matrix();

  const OdomPose base1 = odom_pose(camera1_from_odom.inverse() * base_from_camera.inverse());
  const OdomPose base2 = odom_pose(camera2_from_odom.inverse() * base_from_camera.inverse());
  const Eigen::Matrix4d A =
      OdomRelativeTransform::compute_odom_relative_transform(base1.t, base1.q, base2.t, base2.q);

  const BoardView prev = render_board(camera, board, camera1_from_odom);
  const BoardView curr = render_board(camera, board, camera2_from_odom);
  const CameraPoseEstimator estimator(camera.fx, camera.fy, camera.cx, camera.cy, camera.width,
                                      camera.height);
  const auto motion =
      estimator.compute_camera_relative_transform(prev.tags, curr.tags, prev.depth, curr.depth);
  ASSERT_TRUE(motion.success);
  const Eigen::Matrix4d B = motion.cam_k1_from_cam_k.inverse();

  EXPECT_THAT(A * X, EigenNear(X * B, 1e-6));
  // The estimator's motion itself points the other way: with it the equation is far off.
  EXPECT_GT((A * X - X * motion.cam_k1_from_cam_k).cwiseAbs().maxCoeff(), 0.5);
}

}  // namespace
}  // namespace orvalt::draventa
