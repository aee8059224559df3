#include "orvalt/visual/ferrimond/chart_layout.hpp"

#include <cmath>

#include <gtest/gtest.h>

namespace orvalt::visual {
namespace {

TEST(PaddedRangeTest, GrowsTheFiniteRangeByAFifthOnEachSide) {
  const std::vector<double> a = {0.0, NAN, 10.0};
  const std::vector<double> b = {INFINITY, 5.0};
  EXPECT_EQ(padded_range({&a, &b}), std::make_pair(-0.5, 10.5));
}

TEST(PaddedRangeTest, EmptyAndSingleValueRangesStayDrawable) {
  const std::vector<double> none = {NAN};
  const std::vector<double> one = {3.0, 3.0};
  EXPECT_EQ(padded_range({&none}), std::make_pair(0.0, 1.0));
  EXPECT_EQ(padded_range({}), std::make_pair(0.0, 1.0));
  EXPECT_EQ(padded_range({&one}), std::make_pair(2.0, 4.0));
}

TEST(EmptiestCornerTest, PicksTheQuarterWithFewestPoints) {
  // Points crowd every quarter but the bottom right.
  const std::vector<double> xs = {0.1, 0.1, 0.9, 0.2, 0.8};
  const std::vector<double> ys = {0.1, 0.9, 0.9, 0.8, 0.95};
  EXPECT_EQ(emptiest_corner({{&xs, &ys}}, 0, 1, 0, 1), 1);
  // No points: the top right, where readers look first.
  const std::vector<double> none;
  EXPECT_EQ(emptiest_corner({{&none, &none}}, 0, 1, 0, 1), 3);
}

}  // namespace
}  // namespace orvalt::visual
