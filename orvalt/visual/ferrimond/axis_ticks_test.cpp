#include "orvalt/visual/ferrimond/axis_ticks.hpp"

#include <cmath>

#include <gtest/gtest.h>

namespace orvalt::visual {
namespace {

std::vector<std::string> labels_of(const std::vector<Tick>& ticks) {
  std::vector<std::string> labels;
  for (const Tick& tick : ticks) labels.push_back(tick.label);
  return labels;
}

// Room along a horizontal axis for a label at 10 points: about 6 points a character and a gap.
double room_along(const std::string& label) { return 6.0 * label.size() + 10.0; }

TEST(TickLabelTest, TrueMinusAndNoNegativeZero) {
  EXPECT_EQ(tick_label(-150, 0), "\u2212150");
  EXPECT_EQ(tick_label(2.5, 1), "2.5");
  EXPECT_EQ(tick_label(-0.0001, 2), "0.00");
  EXPECT_EQ(tick_label(12345678, 0), "12345678");
}

TEST(AutomaticTicksTest, RoundStepsInsideTheRange) {
  const auto ticks = automatic_ticks(-0.05, 1.05, 6);
  EXPECT_EQ(labels_of(ticks), (std::vector<std::string>{"0.0", "0.2", "0.4", "0.6", "0.8", "1.0"}));
  EXPECT_EQ(labels_of(automatic_ticks(0, 10, 4)),
            (std::vector<std::string>{"0.0", "2.5", "5.0", "7.5", "10.0"}));
  EXPECT_EQ(labels_of(automatic_ticks(-3.2, 3.2, 7)),
            (std::vector<std::string>{"\u22123", "\u22122", "\u22121", "0", "1", "2", "3"}));
  for (int intervals = 1; intervals <= 9; ++intervals) {
    const auto some = automatic_ticks(-7.3, 1234.5, intervals);
    EXPECT_LE(some.size(), static_cast<std::size_t>(intervals + 1));
    EXPECT_GE(some.front().value, -7.3);
    EXPECT_LE(some.back().value, 1234.5);
  }
}

TEST(AutomaticTicksTest, EmptyOrNonFiniteRangeHasNoTicks) {
  EXPECT_TRUE(automatic_ticks(1, 1, 5).empty());
  EXPECT_TRUE(automatic_ticks(2, 1, 5).empty());
  EXPECT_TRUE(automatic_ticks(0, NAN, 5).empty());
  EXPECT_TRUE(automatic_ticks(-INFINITY, 0, 5).empty());
}

// A chart's labels must read right on their own: a scale factor printed apart (or off the
// figure) made 2639 poses read as 2.5.
TEST(FittingTicksTest, TenThousandSamplesAreLabelledInFull) {
  const double low = -0.05 * 9999, high = 1.05 * 9999;
  const auto ticks = fitting_ticks(low, high, 780.0, room_along);
  EXPECT_EQ(labels_of(ticks),
            (std::vector<std::string>{"0", "2000", "4000", "6000", "8000", "10000"}));
  EXPECT_EQ(labels_of(fitting_ticks(-131.9, 2770.9, 780.0, room_along)),
            (std::vector<std::string>{"0", "500", "1000", "1500", "2000", "2500"}));
}

TEST(FittingTicksTest, DisplacementsOfMetresAreLabelledInCentimetres) {
  // 0 to 350 m, in centimetres.
  const auto ticks = fitting_ticks(-1750, 36750, 300.0, [](const std::string&) { return 15.0; });
  ASSERT_GE(ticks.size(), 3u);
  EXPECT_EQ(ticks.front().label, "0");
  EXPECT_EQ(ticks.back().label, "35000");
  for (const Tick& tick : ticks) EXPECT_EQ(tick.label, tick_label(tick.value, 0));
}

TEST(FittingTicksTest, WideLabelsGetFewerTicks) {
  const auto narrow = fitting_ticks(0, 1e6, 780.0, room_along);
  const auto wide = fitting_ticks(0, 1e6, 200.0, room_along);
  EXPECT_LT(wide.size(), narrow.size());
  ASSERT_GE(wide.size(), 2u);
  EXPECT_GE((wide[1].value - wide[0].value) / 1e6 * 200.0, room_along(wide.back().label));
}

}  // namespace
}  // namespace orvalt::visual
