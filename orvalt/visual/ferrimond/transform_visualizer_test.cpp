#include "orvalt/visual/ferrimond/transform_visualizer.hpp"

#include <algorithm>
#include <cmath>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::visual {
namespace {

using calibration::PoseRow;

PoseRow pose(double x_m, double y_m, double yaw = 0.0) {
  PoseRow row;
  row.tx = x_m;
  row.ty = y_m;
  row.qz = std::sin(yaw / 2);
  row.qw = std::cos(yaw / 2);
  return row;
}

// Pixels of this BGR colour, give or take the renderer's shading (anti-aliased edges do not
// count).
int count_colour(const cv::Mat& image, cv::Vec3b bgr) {
  cv::Mat mask;
  const cv::Scalar low(std::max(bgr[0] - 4, 0), std::max(bgr[1] - 4, 0), std::max(bgr[2] - 4, 0));
  const cv::Scalar high(bgr[0] + 4, bgr[1] + 4, bgr[2] + 4);
  cv::inRange(image, low, high, mask);
  return cv::countNonZero(mask);
}

const cv::Vec3b kForestGreen(34, 139, 34);
const cv::Vec3b kPurple(128, 0, 128);
const cv::Vec3b kOrange(0, 165, 255);
const cv::Vec3b kRed(0, 0, 255);
const cv::Vec3b kBlue(255, 0, 0);
const cv::Vec3b kGreen(0, 128, 0);
// The grid's grey (#b0b0b0) at alpha 0.4 over white.
const cv::Vec3b kTopViewGrid(223, 223, 223);

// Rows (or columns) of `mask` with more than `least` set pixels, each run of neighbours counted
// once: long straight lines, however many pixels wide.
std::vector<int> long_lines(const cv::Mat& mask, bool rows, int least) {
  std::vector<int> starts;
  bool previous = false;
  for (int i = 0; i < (rows ? mask.rows : mask.cols); ++i) {
    const bool line = cv::countNonZero(rows ? mask.row(i) : mask.col(i)) > least;
    if (line && !previous) starts.push_back(i);
    previous = line;
  }
  return starts;
}

// Grid lines inside the top view's black frame: rows and columns of light grey (the thin lines
// blend with white where they fall between pixels). The legend and the path hide parts of some.
int grid_lines(const cv::Mat& image) {
  cv::Mat black, grey;
  cv::inRange(image, cv::Scalar(0, 0, 0), cv::Scalar(60, 60, 60), black);
  // The frame's sides are the only long vertical black lines; its top and bottom the only
  // rows black all the way between them.
  const std::vector<int> sides = long_lines(black, false, black.rows / 2);
  if (sides.size() != 2) return -1;
  const cv::Range between(sides[0], sides[1]);
  const std::vector<int> ends =
      long_lines(black.colRange(between), true, (between.size() * 9) / 10);
  if (ends.size() != 2) return -1;
  constexpr int kClear = 8;  // pixels kept away from the frame's anti-aliased edges
  const cv::Rect inside(cv::Point(sides[0] + kClear, ends[0] + kClear),
                        cv::Point(sides[1] - kClear, ends[1] - kClear));
  cv::inRange(image(inside), cv::Scalar(190, 190, 190), cv::Scalar(250, 250, 250), grey);
  return static_cast<int>(long_lines(grey, true, grey.cols / 2).size() +
                          long_lines(grey, false, grey.rows / 2).size());
}

// Plots `rows` into a fresh directory and reads both figures back.
class TransformVisualizerTest : public ::testing::Test {
 protected:
  // Small top views keep the test quick where the size does not matter.
  void plot(const std::vector<PoseRow>& rows, double inches = 4.0, double grid_size = 25.0) {
    TransformVisualizer visualizer(dir_.path(), grid_size, {inches, inches});
    visualizer.plot(rows, 1.5, 0.25);
    visualizer.save("robot");
    top_view_ = cv::imread((dir_ / "robot_2D.png").string());
    chart_ = cv::imread((dir_ / "robot_axis.png").string());
    ASSERT_FALSE(top_view_.empty());
    ASSERT_FALSE(chart_.empty());
  }

  testing::TempDir dir_;
  cv::Mat top_view_;
  cv::Mat chart_;
};

std::vector<PoseRow> quarter_turn(int count) {
  std::vector<PoseRow> rows;
  for (int i = 0; i < count; ++i) {
    const double angle = M_PI / 2 * i / (count - 1);
    rows.push_back(pose(0.8 * std::cos(angle), 0.8 * std::sin(angle), angle + M_PI / 2));
    rows.back().tz = 0.05 * i / count;
  }
  return rows;
}

TEST_F(TransformVisualizerTest, FiguresHaveTheirSizeAtThreeHundredDpi) {
  plot(quarter_turn(24), 10.0);
  // 10 x 10 and 12 x 5 inches before the white margins are cropped away.
  EXPECT_GT(top_view_.cols, 2400);
  EXPECT_LE(top_view_.cols, 3000);
  EXPECT_NEAR(top_view_.rows, top_view_.cols, 100);
  EXPECT_GT(chart_.cols, 3000);
  EXPECT_LE(chart_.cols, 3600);
  EXPECT_LE(chart_.rows, 1500);
}

TEST_F(TransformVisualizerTest, TopViewShowsPathMarkersAndArrows) {
  plot(quarter_turn(24));
  EXPECT_GT(count_colour(top_view_, kForestGreen), 1000);
  EXPECT_GT(count_colour(top_view_, kPurple), 300);
  EXPECT_GT(count_colour(top_view_, kRed), 300);
  EXPECT_GT(count_colour(top_view_, kBlue), 300);
  EXPECT_GT(count_colour(top_view_, kOrange), 100);
  EXPECT_GT(count_colour(chart_, kBlue), 5000);
  EXPECT_GT(count_colour(chart_, kGreen), 5000);
  EXPECT_GT(count_colour(chart_, kRed), 5000);
}

TEST_F(TransformVisualizerTest, EmptyListDrawsOriginAndLegendOnly) {
  plot({});
  EXPECT_GT(count_colour(top_view_, kPurple), 300);
  EXPECT_EQ(count_colour(top_view_, kRed), 0);
  EXPECT_EQ(count_colour(top_view_, kBlue), 0);
  EXPECT_EQ(count_colour(top_view_, kOrange), 0);
  // The legend still shows the path's line sample.
  EXPECT_GT(count_colour(top_view_, kForestGreen), 0);
}

TEST_F(TransformVisualizerTest, WindowStaysFixedWhenThePathLeavesIt) {
  // (1 m, 2 m) is drawn at (100 cm, 200 cm), outside the +-150 cm window: only the legend's
  // samples of the path and the markers remain.
  plot({pose(1.0, 2.0), pose(2.0, 2.5)});
  const cv::Size outside_size = top_view_.size();
  const int outside_green = count_colour(top_view_, kForestGreen);
  const int outside_red = count_colour(top_view_, kRed);
  EXPECT_EQ(count_colour(top_view_, kOrange), 0);
  plot({pose(0.1, 0.2), pose(1.0, 0.5)});
  EXPECT_EQ(top_view_.size(), outside_size);
  EXPECT_GT(count_colour(top_view_, kForestGreen), outside_green + 1000);
  EXPECT_GT(count_colour(top_view_, kRed), outside_red + 300);
}

TEST_F(TransformVisualizerTest, ArrowsCrossingTheWindowEdgeAreClippedNotDropped) {
  // Both arrows start inside the window and end beyond its right edge at 150 cm.
  plot({pose(1.47, 0.0), pose(1.47, 0.5)});
  EXPECT_GT(count_colour(top_view_, kOrange), 20);
  // An arrow wholly outside leaves no trace.
  plot({pose(1.6, 0.0), pose(1.6, 0.5)});
  EXPECT_EQ(count_colour(top_view_, kOrange), 0);
}

TEST_F(TransformVisualizerTest, GridSizeOfMinusOneOrLessDrawsNoTicks) {
  plot(quarter_turn(5), 4.0, 25.0);
  EXPECT_EQ(grid_lines(top_view_), 2 * 11);
  plot(quarter_turn(5), 4.0, -1.0);
  EXPECT_EQ(grid_lines(top_view_), 0);
  plot(quarter_turn(5), 4.0, -30.0);
  EXPECT_EQ(grid_lines(top_view_), 0);
}

TEST_F(TransformVisualizerTest, LongChartInMetresStaysWhollyOnTheFigure) {
  // 10,000 samples over 300 m: a white border all round shows that nothing was cut off.
  std::vector<PoseRow> rows;
  for (int i = 0; i < 10000; ++i) rows.push_back(pose(0.03 * i, -0.01 * i));
  plot(rows);
  ASSERT_LE(chart_.cols, 3600);
  ASSERT_LE(chart_.rows, 1500);
  const auto white_border = [](const cv::Mat& image) {
    cv::Mat gray;
    cv::cvtColor(image, gray, cv::COLOR_BGR2GRAY);
    double darkest = 0;
    for (const cv::Mat& edge :
         {gray.row(0), gray.row(gray.rows - 1), gray.col(0), gray.col(gray.cols - 1)}) {
      double low = 0;
      cv::minMaxLoc(edge, &low);
      darkest = std::max(darkest, 255.0 - low);
    }
    return darkest == 0.0;
  };
  EXPECT_TRUE(white_border(chart_));
  EXPECT_TRUE(white_border(top_view_));
  EXPECT_GT(count_colour(chart_, kBlue), 5000);
}

TEST_F(TransformVisualizerTest, SaveBeforePlotWritesBlankAxes) {
  TransformVisualizer visualizer(dir_.path());
  visualizer.save("blank");
  EXPECT_TRUE(std::filesystem::exists(dir_ / "blank_2D.png"));
  EXPECT_TRUE(std::filesystem::exists(dir_ / "blank_axis.png"));
  EXPECT_EQ(count_colour(cv::imread((dir_ / "blank_2D.png").string()), kForestGreen), 0);
}

TEST_F(TransformVisualizerTest, ZeroTickStepFailsBeforeDrawing) {
  TransformVisualizer visualizer(dir_.path(), 0.5);
  EXPECT_THROW(visualizer.plot(quarter_turn(5), 0, 0), std::invalid_argument);
  TransformVisualizer without_ticks(dir_.path(), -1.0, {3.0, 3.0});
  EXPECT_NO_THROW(without_ticks.plot(quarter_turn(5), 0, 0));
}

TEST_F(TransformVisualizerTest, SaveDirectoryIsCreatedOneLevelDeep) {
  TransformVisualizer visualizer(dir_ / "plots");
  EXPECT_TRUE(std::filesystem::is_directory(dir_ / "plots"));
  EXPECT_NO_THROW(TransformVisualizer again(dir_ / "plots"));
  EXPECT_THROW(TransformVisualizer(dir_ / "a" / "b"), std::filesystem::filesystem_error);
}

TEST(TransformVisualizerStaticTest, YawOfQuaternions) {
  EXPECT_NEAR(TransformVisualizer::quat_to_yaw(0, 0, 0.7071068, 0.7071068), M_PI / 2, 1e-6);
  EXPECT_DOUBLE_EQ(TransformVisualizer::quat_to_yaw(0, 0, 0, 1), 0.0);
  EXPECT_NEAR(TransformVisualizer::quat_to_yaw(0, 0, 1, 0), M_PI, 1e-12);
}

TEST(TransformVisualizerStaticTest, ArrowEveryTwelfthOfTheSamples) {
  EXPECT_EQ(TransformVisualizer::arrow_indices(24),
            (std::vector<int>{0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22}));
  EXPECT_EQ(TransformVisualizer::arrow_indices(5), (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_TRUE(TransformVisualizer::arrow_indices(0).empty());
}

TEST(TransformVisualizerStaticTest, TicksFollowTheIntegerGridSize) {
  EXPECT_EQ(TransformVisualizer::tick_positions(10.0, 150.0).size(), 31u);
  const auto ticks = TransformVisualizer::tick_positions(25.9, 150.0);
  ASSERT_EQ(ticks.size(), 13u);
  EXPECT_EQ(ticks.front(), -150);
  EXPECT_EQ(ticks[1], -125);
  EXPECT_EQ(ticks.back(), 150);
  EXPECT_THROW(TransformVisualizer::tick_positions(0.5, 150.0), std::invalid_argument);
  EXPECT_THROW(TransformVisualizer::tick_positions(-0.9, 150.0), std::invalid_argument);
  EXPECT_TRUE(TransformVisualizer::tick_positions(-1.0, 150.0).empty());
}

TEST(TransformVisualizerStaticTest, TitleCarriesBothExtents) {
  EXPECT_EQ(TransformVisualizer::top_view_title("Transform Trajectory [-3m, 3m]", 1.5, 0.25),
            "2D Transform Trajectory [-3m, 3m]_1.50(m)_0.25(m)");
}

}  // namespace
}  // namespace orvalt::visual
