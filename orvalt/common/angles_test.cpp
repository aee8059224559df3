#include "orvalt/common/angles.hpp"

#include <cmath>
#include <random>

#include <gtest/gtest.h>
#include <Eigen/Core>

namespace orvalt::common {
namespace {

TEST(AnglesTest, KnownAnglesConvertBothWays) {
  EXPECT_DOUBLE_EQ(deg_to_rad(180.0), M_PI);
  EXPECT_DOUBLE_EQ(deg_to_rad(-90.0), -M_PI / 2);
  EXPECT_DOUBLE_EQ(rad_to_deg(M_PI / 4), 45.0);
  EXPECT_EQ(deg_to_rad(0.0), 0.0);
  static_assert(deg_to_rad(180.0) == kPi, "usable in constant expressions");
}

TEST(AnglesTest, RoundTripsAndVectorsAgreeWithScalars) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> degrees(-720.0, 720.0);
  for (int trial = 0; trial < 100; ++trial) {
    const Eigen::Vector3d angles(degrees(random), degrees(random), degrees(random));
    const Eigen::Vector3d radians = deg_to_rad(angles);
    const Eigen::Vector3d back = rad_to_deg(radians);
    for (int i = 0; i < 3; ++i) {
      EXPECT_NEAR(radians(i), deg_to_rad(angles(i)), 1e-15 * std::abs(radians(i)));
      // The unit constant and the vector form round alike, so either may replace the other.
      EXPECT_EQ(radians(i), angles(i) * kDegree);
      EXPECT_NEAR(back(i), angles(i), 1e-12 * std::abs(angles(i)));
      EXPECT_NEAR(rad_to_deg(deg_to_rad(angles(i))), angles(i), 1e-12 * std::abs(angles(i)));
    }
  }
}

TEST(AnglesTest, VectorConversionsKeepTheShapeAndEvaluate) {
  const Eigen::Matrix<double, 2, 3> degrees = Eigen::Matrix<double, 2, 3>::Constant(90.0);
  const auto radians = deg_to_rad(degrees);
  static_assert(
      decltype(radians)::RowsAtCompileTime == 2 && decltype(radians)::ColsAtCompileTime == 3,
      "fixed sizes survive");
  EXPECT_TRUE(radians.isApproxToConstant(M_PI / 2));
}

}  // namespace
}  // namespace orvalt::common
