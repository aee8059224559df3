#include "orvalt/common/progress_bar.hpp"

#include <gtest/gtest.h>

namespace orvalt::common {
namespace {

TEST(ProgressBarTest, RendersFractionCountsAndTimes) {
  EXPECT_EQ(ProgressBar::render("Collecting TF", 200, 50, 2.0),
            "Collecting TF:  25%|#######                       | 50/200 [00:02<00:06, 25.0it/s]");
  EXPECT_EQ(ProgressBar::render("Done", 4, 4, 3725.0),
            "Done: 100%|##############################| 4/4 [1:02:05<00:00, 0.0it/s]");
}

TEST(ProgressBarTest, WithoutTotalShowsCountAndRate) {
  EXPECT_EQ(ProgressBar::render("Parsing sensors", std::nullopt, 120, 4.0),
            "Parsing sensors: 120it [00:04, 30.0it/s]");
  EXPECT_EQ(ProgressBar::render("Empty", 0, 0, 0.0), "Empty: 0it [00:00, 0.0it/s]");
}

TEST(ProgressBarTest, CountsBeyondTheTotalStayWithinTheBar) {
  EXPECT_EQ(ProgressBar::render("Over", 2, 3, 1.0),
            "Over: 100%|##############################| 3/2 [00:01<00:00, 3.0it/s]");
}

TEST(ProgressBarTest, CountsUpdates) {
  ProgressBar bar("Loop", 10);
  bar.update();
  bar.update(4);
  EXPECT_EQ(bar.count(), 5u);
  bar.finish();
  bar.finish();
}

}  // namespace
}  // namespace orvalt::common
