#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "orvalt/apriltag/castrel/april_tag_generator.hpp"
#include "orvalt/testing/fixtures.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::apriltag {
namespace {

int run_render_views(const std::string& arguments,
                     const std::filesystem::path& error_log = "/dev/null") {
  const std::string command = "'" + (orvalt::testing::program_dir() / "render_views").string() +
                              "' " + arguments + " > /dev/null 2> '" + error_log.string() + "'";
  const int raw = std::system(command.c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

TEST(RenderViewsProgramTest, WritesCameraViewsOfTheBoard) {
  orvalt::testing::TempDir dir;
  const AprilTagGenerator generator;
  ASSERT_TRUE(generator.save(generator.generate_grid(6, 6, 120, 30), dir / "board.png"));
  ASSERT_EQ(run_render_views("--board '" + (dir / "board.png").string() + "' --output_dir '" +
                             (dir / "views").string() + "'"),
            0);
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
  EXPECT_EQ(run_render_views("--board '" + (dir / "absent.png").string() + "'"), 1);
  const AprilTagGenerator generator;
  ASSERT_TRUE(generator.save(generator.generate_single(0, 100), dir / "marker.png"));
  EXPECT_EQ(run_render_views("--board '" + (dir / "marker.png").string() + "' --margin -1"), 1);
  EXPECT_FALSE(std::filesystem::exists(dir / "views"));
}

TEST(RenderViewsProgramTest, OutputFolderThatCannotBeCreatedFailsNamingIt) {
  orvalt::testing::TempDir dir;
  const AprilTagGenerator generator;
  ASSERT_TRUE(generator.save(generator.generate_grid(2, 2, 120, 30), dir / "board.png"));
  const std::string board = "--board '" + (dir / "board.png").string() + "'";
  // Below a regular file, and a regular file itself.
  for (const auto& output : {dir / "board.png" / "views", dir / "board.png"}) {
    const auto log = dir / "stderr.txt";
    EXPECT_EQ(run_render_views(board + " --output_dir '" + output.string() + "'", log), 1)
        << output;
    std::ifstream stream(log);
    const std::string text((std::istreambuf_iterator<char>(stream)), {});
    EXPECT_NE(text.find("cannot create output folder " + output.string()), std::string::npos)
        << text;
  }
}

}  // namespace
}  // namespace orvalt::apriltag
