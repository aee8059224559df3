#include "orvalt/draventa/odom_relative_transform.hpp"

#include <type_traits>
#include <vector>

#include <gtest/gtest.h>
#include <Eigen/Geometry>

#include "orvalt/testing/eigen_matchers.hpp"

namespace orvalt::draventa {
namespace {

using testing::EigenNear;

Eigen::Matrix4d relative(const Eigen::Vector3d& t_i, const Eigen::Vector4d& q_i,
                         const Eigen::Vector3d& t_j, const Eigen::Vector4d& q_j) {
  return OdomRelativeTransform::compute_odom_relative_transform(t_i, q_i, t_j, q_j);
}

TEST(OdomRelativeTransformTest, IdenticalPosesGiveIdentity) {
  const Eigen::Vector3d t(1.5, -2.0, 0.1);
  const Eigen::Vector4d q(0.9, 0.1, -0.3, 0.2);  // not normalised: pose_to_mat does it
  EXPECT_THAT(relative(t, q, t, q), EigenNear(Eigen::Matrix4d::Identity(), 1e-12));
}

TEST(OdomRelativeTransformTest, TranslationIsExpressedInFrameI) {
  // Frame i faces +y of the odometry frame; moving 1 m along +y is 1 m forward in frame i.
  const double s = std::sqrt(0.5);
  Eigen::Matrix4d expected = Eigen::Matrix4d::Identity();
  expected(0, 3) = 1.0;
  EXPECT_THAT(relative({2, 3, 0}, {s, 0, 0, s}, {2, 4, 0}, {s, 0, 0, s}),
              EigenNear(expected, 1e-12));
}

TEST(OdomRelativeTransformTest, MatchesAnIndependentComposition) {
  const Eigen::Quaterniond q_i(Eigen::AngleAxisd(0.3, Eigen::Vector3d(0.1, 0.2, 1).normalized()));
  const Eigen::Quaterniond q_j(Eigen::AngleAxisd(-0.9, Eigen::Vector3d(0.5, -1, 1).normalized()));
  const Eigen::Vector3d t_i(1.0, -0.5, 0.2);
  const Eigen::Vector3d t_j(1.7, 0.4, 0.1);
  const Eigen::Isometry3d odom_from_i = Eigen::Translation3d(t_i) * q_i;
  const Eigen::Isometry3d odom_from_j = Eigen::Translation3d(t_j) * q_j;
  const Eigen::Matrix4d T_rel = relative(t_i, {q_i.w(), q_i.x(), q_i.y(), q_i.z()}, t_j,
                                         {q_j.w(), q_j.x(), q_j.y(), q_j.z()});
  EXPECT_THAT(T_rel, EigenNear((odom_from_i.inverse() * odom_from_j).matrix(), 1e-12));
  // A point given in frame j lands where frame i sees it.
  const Eigen::Vector3d p_in_j(0.3, 0.2, -0.1);
  const Eigen::Vector3d p_in_i = odom_from_i.inverse() * (odom_from_j * p_in_j);
  EXPECT_THAT(Eigen::Vector3d((T_rel * p_in_j.homogeneous()).head<3>()), EigenNear(p_in_i, 1e-12));
}

// Positions of three and quaternions of four numbers are what the types take: lists of any
// length, which would need a run-time check, do not convert.
TEST(OdomRelativeTransformTest, WrongLengthsAreRuledOutByTheTypes) {
  using List = std::vector<double>;
  static_assert(
      !std::is_invocable_v<decltype(&OdomRelativeTransform::compute_odom_relative_transform), List,
                           List, List, List>);
  EXPECT_THAT(relative({0, 0, 0}, {1, 0, 0, 0}, {0, 0, 0}, {1, 0, 0, 0}),
              EigenNear(Eigen::Matrix4d::Identity(), 1e-15));
}

}  // namespace
}  // namespace orvalt::draventa
