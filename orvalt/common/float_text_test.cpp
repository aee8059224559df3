#include "orvalt/common/float_text.hpp"

#include <cmath>
#include <limits>
#include <random>

#include <gtest/gtest.h>

namespace orvalt::common {
namespace {

TEST(FloatTextTest, SpellsFloatsAsPythonDoes) {
  EXPECT_EQ(float_text(30.0), "30.0");
  EXPECT_EQ(float_text(-0.0), "-0.0");
  EXPECT_EQ(float_text(0.15113095), "0.15113095");
  EXPECT_EQ(float_text(1e-05), "1e-05");
  EXPECT_EQ(float_text(0.0001), "0.0001");
  EXPECT_EQ(float_text(1e16), "1e+16");
  EXPECT_EQ(float_text(1e15), "1000000000000000.0");
  EXPECT_EQ(float_text(0.17453292519943295), "0.17453292519943295");
  EXPECT_EQ(float_text(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(float_text(std::nan("")), "nan");
}

TEST(FloatTextTest, EightDecimalValuesKeepAtMostEightDecimals) {
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> uniform(-4.0, 4.0);
  for (int i = 0; i < 20000; ++i) {
    const double value = std::nearbyint(uniform(random) * 1e8) / 1e8;
    const std::string text = float_text(value);
    EXPECT_EQ(std::stod(text), value) << text;
    ASSERT_LE(text.size() - text.find('.') - 1, 8u) << text;
  }
}

}  // namespace
}  // namespace orvalt::common
