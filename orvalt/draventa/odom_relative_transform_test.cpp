#include "orvalt/draventa/odom_relative_transform.hpp"

#include <gtest/gtest.h>
#include <Eigen/Geometry>

#include "orvalt/testing/eigen_matchers.hpp"

namespace orvalt::draventa {
namespace {

using testing::EigenNear;

Eigen::Matrix4d relative(const std::vector<double>& t_i, const std::vector<double>& q_i,
                         const std::vector<double>& t_j, const std::vector<double>& q_j) {
  return OdomRelativeTransform::compute_odom_relative_transform(t_i, q_i, t_j, q_j);
}

TEST(OdomRelativeTransformTest, IdenticalPosesGiveIdentity) {
  const std::vector<double> t = {1.5, -2.0, 0.1};
  const std::vector<double> q = {0.9, 0.1, -0.3, 0.2};  // not normalised: pose_to_mat does it
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
  const Eigen::Matrix4d T_rel =
      relative({t_i.x(), t_i.y(), t_i.z()}, {q_i.w(), q_i.x(), q_i.y(), q_i.z()},
               {t_j.x(), t_j.y(), t_j.z()}, {q_j.w(), q_j.x(), q_j.y(), q_j.z()});
  EXPECT_THAT(T_rel, EigenNear((odom_from_i.inverse() * odom_from_j).matrix(), 1e-12));
  // A point given in frame j lands where frame i sees it.
  const Eigen::Vector3d p_in_j(0.3, 0.2, -0.1);
  const Eigen::Vector3d p_in_i = odom_from_i.inverse() * (odom_from_j * p_in_j);
  EXPECT_THAT(Eigen::Vector3d((T_rel * p_in_j.homogeneous()).head<3>()), EigenNear(p_in_i, 1e-12));
}

TEST(OdomRelativeTransformTest, RejectsWrongLengths) {
  const std::vector<double> t = {0, 0, 0};
  const std::vector<double> q = {1, 0, 0, 0};
  const std::vector<double> short_q = {1, 0, 0};
  const std::vector<double> long_t = {0, 0, 0, 0};
  for (const auto& call : std::vector<std::function<void()>>{[&] { relative(long_t, q, t, q); },
                                                             [&] { relative(t, short_q, t, q); },
                                                             [&] {
                                                               relative(t, q, {0, 0}, q);
                                                             },
                                                             [&] { relative(t, q, t, short_q); }}) {
    try {
      call();
      ADD_FAILURE() << "no error";
    } catch (const std::invalid_argument& error) {
      EXPECT_STREQ(error.what(), "All inputs must be 3D vectors and 4D quaternions.");
    }
  }
}

}  // namespace
}  // namespace orvalt::draventa
