#include "orvalt/calibration/utils/transform_utils.hpp"

#include <cmath>
#include <random>
#include <stdexcept>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <Eigen/Geometry>

#include "orvalt/testing/eigen_matchers.hpp"
#include "orvalt/testing/log_capture.hpp"

namespace orvalt::calibration {
namespace {

using orvalt::testing::EigenNear;
using orvalt::testing::IsNearQuaternion;
using orvalt::testing::IsNearRigidTransform;
using orvalt::testing::LogCapture;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kLogger = "orvalt.calibration.utils";

Eigen::Matrix3d rpy_rotation(double roll, double pitch, double yaw) {
  return (Eigen::AngleAxisd(yaw, Eigen::Vector3d::UnitZ()) *
          Eigen::AngleAxisd(pitch, Eigen::Vector3d::UnitY()) *
          Eigen::AngleAxisd(roll, Eigen::Vector3d::UnitX()))
      .toRotationMatrix();
}

Eigen::Matrix4d rigid(const Eigen::Matrix3d& R, const Eigen::Vector3d& t) {
  Eigen::Matrix4d T = Eigen::Matrix4d::Identity();
  T.block<3, 3>(0, 0) = R;
  T.block<3, 1>(0, 3) = t;
  return T;
}

Eigen::Matrix4d random_rigid(std::mt19937& rng, double max_angle) {
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  const Eigen::Vector3d axis = Eigen::Vector3d(unit(rng), unit(rng), unit(rng)).normalized();
  const double angle = max_angle * (0.2 + 0.8 * std::abs(unit(rng)));
  return rigid(Eigen::AngleAxisd(angle, axis).toRotationMatrix(),
               Eigen::Vector3d(unit(rng), unit(rng), unit(rng)));
}

TEST(TransformUtilsTest, Vector6MatchesFixedAxisProductAndRoundTripsThroughEuler) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> angle(-3.1, 3.1), half(-1.5, 1.5), metres(-2, 2);
  for (int i = 0; i < 200; ++i) {
    Vector6d v;
    v << angle(rng), half(rng), angle(rng), metres(rng), metres(rng), metres(rng);
    const Eigen::Matrix4d X = TransformUtils::vector6_to_transform_matrix(v);
    EXPECT_THAT(X, EigenNear(rigid(rpy_rotation(v(0), v(1), v(2)), v.tail<3>()), 1e-12));
    const Eigen::Matrix3d R = X.block<3, 3>(0, 0);
    EXPECT_NEAR(R.determinant(), 1.0, 1e-12);
    EXPECT_THAT(TransformUtils::mat2euler(R), EigenNear(Eigen::Vector3d(v.head<3>()), 1e-9));
    EXPECT_THAT(TransformUtils::rotmat_to_rpy(R), EigenNear(Eigen::Vector3d(v.head<3>()), 1e-9));
  }
}

TEST(TransformUtilsTest, EulerAtGimbalLockStillReproducesTheRotation) {
  for (const double pitch : {M_PI / 2, -M_PI / 2}) {
    for (const double roll : {0.0, 0.4, -2.0}) {
      for (const double yaw : {0.0, 1.1, -0.3}) {
        const Eigen::Matrix3d R = rpy_rotation(roll, pitch, yaw);
        const Eigen::Vector3d rpy = TransformUtils::rotmat_to_rpy(R);
        ASSERT_TRUE(rpy.allFinite());
        EXPECT_NEAR(rpy(1), pitch, 1e-6);
        EXPECT_THAT(rpy_rotation(rpy(0), rpy(1), rpy(2)), EigenNear(R, 1e-9))
            << "roll " << roll << " pitch " << pitch << " yaw " << yaw;
      }
    }
  }
}

TEST(TransformUtilsTest, QuaternionMatchesAngleAxisWithNonNegativeW) {
  std::mt19937 rng(11);
  for (int i = 0; i < 200; ++i) {
    const Eigen::Matrix4d T = random_rigid(rng, M_PI);
    const Eigen::Quaterniond expected(Eigen::Matrix3d(T.block<3, 3>(0, 0)));
    const Eigen::Vector4d q = TransformUtils::mat2quat(T.block<3, 3>(0, 0));
    EXPECT_GE(q(0), 0.0);
    EXPECT_NEAR(q.norm(), 1.0, 1e-12);
    EXPECT_THAT(
        q, IsNearQuaternion(Eigen::Vector4d(expected.w(), expected.x(), expected.y(), expected.z()),
                            1e-12));
    // pose_to_mat is the inverse, whichever sign the quaternion was given with.
    EXPECT_THAT(TransformUtils::pose_to_mat(T.block<3, 1>(0, 3), -q), EigenNear(T, 1e-12));
  }
}

TEST(TransformUtilsTest, HalfTurnsGiveUnitQuaternionsAndRecoverableEuler) {
  const std::vector<Eigen::Vector3d> axes = {
      Eigen::Vector3d::UnitX(), Eigen::Vector3d::UnitY(), Eigen::Vector3d::UnitZ(),
      Eigen::Vector3d(1, -1, 0).normalized(), Eigen::Vector3d(-1, 2, 3).normalized()};
  for (const Eigen::Vector3d& axis : axes) {
    const Eigen::Matrix3d R = Eigen::AngleAxisd(M_PI, axis).toRotationMatrix();
    const Eigen::Vector4d q = TransformUtils::mat2quat(R);
    EXPECT_NEAR(q(0), 0.0, 1e-12);
    EXPECT_NEAR(q.norm(), 1.0, 1e-12);
    EXPECT_THAT(q, IsNearQuaternion(Eigen::Vector4d(0, axis.x(), axis.y(), axis.z()), 1e-12));
    const Eigen::Matrix3d from_q =
        TransformUtils::pose_to_mat(Eigen::Vector3d::Zero(), q).topLeftCorner(3, 3);
    EXPECT_THAT(from_q, EigenNear(R, 1e-12));
    const Eigen::Vector3d rpy = TransformUtils::mat2euler(R);
    EXPECT_THAT(rpy_rotation(rpy(0), rpy(1), rpy(2)), EigenNear(R, 1e-9));
  }
}

TEST(TransformUtilsTest, PoseToMatNormalisesAndRejectsZeroQuaternion) {
  const Eigen::Vector4d scaled(2.0, 0.0, 0.0, 2.0);  // 90 degrees about z, norm 2*sqrt(2)
  const Eigen::Matrix4d T = TransformUtils::pose_to_mat(Eigen::Vector3d(1, 2, 3), scaled);
  EXPECT_THAT(T, EigenNear(rigid(rpy_rotation(0, 0, M_PI / 2), Eigen::Vector3d(1, 2, 3)), 1e-12));
  EXPECT_THROW(TransformUtils::pose_to_mat(Eigen::Vector3d::Zero(), Eigen::Vector4d::Zero()),
               std::invalid_argument);
}

TEST(TransformUtilsTest, TransformsPointRowsByRotationThenTranslation) {
  std::mt19937 rng(3);
  const Eigen::Matrix4d X = random_rigid(rng, 2.0);
  const Points3d pts = Points3d::Random(17, 3);
  const Points3d moved = TransformUtils::transform_camera_points_to_base(pts, X);
  ASSERT_EQ(moved.rows(), 17);
  const Eigen::Affine3d base_from_camera(X);
  for (Eigen::Index i = 0; i < pts.rows(); ++i) {
    const Eigen::Vector3d expected = base_from_camera * Eigen::Vector3d(pts.row(i).transpose());
    EXPECT_THAT(Eigen::Vector3d(moved.row(i).transpose()), EigenNear(expected, 1e-12));
  }
  EXPECT_EQ(TransformUtils::transform_camera_points_to_base(Points3d(0, 3), X).rows(), 0);
}

TEST(TransformUtilsTest, AxxbRecoversXFromExactGeneralMotions) {
  std::mt19937 rng(42);
  for (int trial = 0; trial < 20; ++trial) {
    const Eigen::Matrix4d X = random_rigid(rng, M_PI * 0.9);
    std::vector<Eigen::Matrix4d> A_list, B_list;
    for (int i = 0; i < 3 + trial % 5; ++i) {
      const Eigen::Matrix4d A = random_rigid(rng, 1.0);
      A_list.push_back(A);
      B_list.push_back(X.inverse() * A * X);
    }
    LogCapture warnings(kLogger, spdlog::level::warn);
    const Eigen::Matrix4d estimate = TransformUtils::solve_axxb_linear(A_list, B_list);
    EXPECT_THAT(estimate, IsNearRigidTransform(X, 1e-6, 1e-6));
    EXPECT_THAT(warnings.text(), Not(HasSubstr("degenerate")));
    EXPECT_NEAR(estimate.topLeftCorner(3, 3).determinant(), 1.0, 1e-9);
  }
}

TEST(TransformUtilsTest, AxxbOnPlanarMotionsStaysAProperRotationThatFitsTheData) {
  // A robot driving on a floor: every odometry rotation is about the base z axis.
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> yaw(-0.6, 0.6), step(-0.5, 0.5);
  Vector6d x_vec;
  x_vec << -1.6, 0.05, -1.5, 0.3, -0.05, 0.4;
  const Eigen::Matrix4d X = TransformUtils::vector6_to_transform_matrix(x_vec);
  std::vector<Eigen::Matrix4d> A_list, B_list;
  for (int i = 0; i < 10; ++i) {
    const Eigen::Matrix4d A =
        rigid(rpy_rotation(0, 0, yaw(rng)), Eigen::Vector3d(step(rng), step(rng), 0));
    A_list.push_back(A);
    B_list.push_back(X.inverse() * A * X);
  }
  LogCapture warnings(kLogger, spdlog::level::warn);
  const Eigen::Matrix4d estimate = TransformUtils::solve_axxb_linear(A_list, B_list);
  EXPECT_THAT(warnings.text(), HasSubstr("degenerate"));
  ASSERT_TRUE(estimate.allFinite());
  const Eigen::Matrix3d R = estimate.block<3, 3>(0, 0);
  EXPECT_THAT(R * R.transpose(), EigenNear(Eigen::Matrix3d::Identity(), 1e-9));
  EXPECT_NEAR(R.determinant(), 1.0, 1e-9);
  // The observable part is still right: the camera axis that maps to base z.
  EXPECT_THAT(Eigen::Vector3d(R.row(2).transpose()),
              EigenNear(Eigen::Vector3d(X.block<1, 3>(2, 0).transpose()), 1e-6));
}

TEST(TransformUtilsTest, AxxbRejectsTooFewOrMismatchedPairs) {
  const std::vector<Eigen::Matrix4d> two(2, Eigen::Matrix4d::Identity());
  const std::vector<Eigen::Matrix4d> three(3, Eigen::Matrix4d::Identity());
  EXPECT_THROW(TransformUtils::solve_axxb_linear(two, two), std::invalid_argument);
  EXPECT_THROW(TransformUtils::solve_axxb_linear(three, two), std::invalid_argument);
}

}  // namespace
}  // namespace orvalt::calibration
