#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "orvalt/apriltag/castrel/april_tag_generator.hpp"
#include "orvalt/testing/program_run.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::apriltag {
namespace {

using orvalt::testing::ProgramRun;
using orvalt::testing::run_program;

TEST(RenderViewsProgramTest, WritesCameraViewsOfTheBoard) {
  orvalt::testing::TempDir dir;
  const AprilTagGenerator generator;
  ASSERT_TRUE(generator.save(generator.generate_grid(6, 6, 120, 30), dir / "board.png"));
  const ProgramRun run = run_program("render_views", {"--board", (dir / "board.png").string(),
                                                      "--output_dir", (dir / "views").string()});
  ASSERT_EQ(run.status, 0) << run.output;
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir / "views")) {
    const cv::Mat view = cv::imread(entry.path().string(), cv::IMREAD_UNCHANGED);
    EXPECT_EQ(view.size(), cv::Size(640, 480)) << entry.path();
    EXPECT_EQ(view.type(), CV_8UC3) << entry.path();
    // The board is in view: some pixels are black marker borders, some white paper.
    double darkest = 0, brightest = 0;
    cv::minMaxLoc(view.reshape(1), &darkest, &brightest);
    EXPECT_LT(darkest, 30) << entry.path();
    EXPECT_GT(brightest, 225) << entry.path();
    ++count;
  }
  EXPECT_EQ(count, 5);
}

TEST(RenderViewsProgramTest, MissingBoardOrNegativeMarginFails) {
  orvalt::testing::TempDir dir;
  EXPECT_EQ(run_program("render_views", {"--board", (dir / "absent.png").string()}).status, 1);
  const AprilTagGenerator generator;
  ASSERT_TRUE(generator.save(generator.generate_single(0, 100), dir / "marker.png"));
  EXPECT_EQ(
      run_program("render_views", {"--board", (dir / "marker.png").string(), "--margin", "-1"})
          .status,
      1);
  EXPECT_FALSE(std::filesystem::exists(dir / "views"));
}

TEST(RenderViewsProgramTest, OutputFolderThatCannotBeCreatedFailsNamingIt) {
  orvalt::testing::TempDir dir;
  const AprilTagGenerator generator;
  ASSERT_TRUE(generator.save(generator.generate_grid(2, 2, 120, 30), dir / "board.png"));
  // Below a regular file, and a regular file itself.
  for (const auto& output : {dir / "board.png" / "views", dir / "board.png"}) {
    const ProgramRun run = run_program(
        "render_views", {"--board", (dir / "board.png").string(), "--output_dir", output.string()});
    EXPECT_EQ(run.status, 1) << output;
    EXPECT_NE(run.output.find("cannot create output folder " + output.string()), std::string::npos)
        << run.output;
  }
}

}  // namespace
}  // namespace orvalt::apriltag
