#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "orvalt/apriltag/castrel/april_tag_generator.hpp"
#include "orvalt/apriltag/castrel/board_renderer.hpp"
#include "orvalt/testing/file_contents.hpp"
#include "orvalt/testing/program_run.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::apriltag {
namespace {

namespace fs = std::filesystem;
using orvalt::testing::ProgramRun;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::UnorderedElementsAre;

ProgramRun run_quinsel(const std::vector<std::string>& arguments) {
  orvalt::testing::ProgramOptions options;
  options.separate_errors = true;
  return orvalt::testing::run_program("quinsel", arguments, options);
}

std::size_t count_of(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// A BGR view of the 6 x 6 board, the first row of tags (ids 0 to 5) across the top half;
// Kalibr-style (2-cell tag border, black squares between the tags) when asked.
cv::Mat board_view(bool kalibr_style = false) {
  const PrintedBoard board =
      kalibr_style ? print_kalibr_grid(AprilTagGenerator("tag36h11", 2), 6, 6, 120, 36, 0, 60, 0.15)
                   : print_aprilgrid(AprilTagGenerator(), 6, 6, 120, 30, 0, 60, 0.15);
  const cv::Matx33d K(500, 0, 319.5, 0, 500, 239.5, 0, 0, 1);
  const cv::Matx33d H = board_view_homography(K, look_at_board(board.centre_m(), 1.6, 0.1, 0.1, 0),
                                              board.metres_per_pixel);
  cv::Mat colour;
  cv::cvtColor(render_board_view(board.paper, H, {640, 480}), colour, cv::COLOR_GRAY2BGR);
  return colour;
}

// Where the drawn image differs from the input.
cv::Rect changed_area(const cv::Mat& before, const cv::Mat& after) {
  cv::Mat difference;
  cv::absdiff(before, after, difference);
  cv::cvtColor(difference, difference, cv::COLOR_BGR2GRAY);
  return cv::boundingRect(difference > 0);
}

TEST(QuinselProgramTest, ProcessesAFolderOfMixedFiles) {
  orvalt::testing::TempDir dir;
  const fs::path images = dir / "images";
  fs::create_directories(images);
  const cv::Mat view = board_view();
  ASSERT_TRUE(cv::imwrite((images / "a.PNG").string(), view));
  ASSERT_TRUE(cv::imwrite((images / "c.jpg").string(), view, {cv::IMWRITE_JPEG_QUALITY, 98}));
  ASSERT_TRUE(cv::imwrite((images / "blank.png").string(),
                          cv::Mat(100, 100, CV_8UC3, cv::Scalar::all(128))));
  std::ofstream(images / "b.txt") << "not an image";
  std::ofstream(images / "broken.jpeg") << "not a jpeg either";
  const fs::path output = dir / "out" / "nested";

  const ProgramRun run =
      run_quinsel({"--image_dir", images.string(), "--output_dir", output.string()});
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(count_of(run.errors, "Processing image: "), 5u) << run.errors;
  for (const char* name : {"a.PNG", "b.txt", "c.jpg", "blank.png", "broken.jpeg"}) {
    EXPECT_THAT(run.errors, HasSubstr(std::string("Processing image: ") + name));
  }
  EXPECT_THAT(run.errors, HasSubstr("Failed to read image: " + (images / "broken.jpeg").string()));
  EXPECT_THAT(run.errors,
              HasSubstr("Failed to detect tags in image: " + (images / "blank.png").string()));
  EXPECT_THAT(run.errors, Not(HasSubstr("image: " + (images / "b.txt").string())));
  EXPECT_THAT(run.errors, HasSubstr("Found 4 tags in image: " + (images / "a.PNG").string()));
  EXPECT_THAT(run.errors, HasSubstr("Read 3 images, 2 with tags, 8 tags found"));

  std::set<std::string> written;
  for (const auto& entry : fs::directory_iterator(output)) {
    written.insert(entry.path().filename().string());
  }
  EXPECT_THAT(written, UnorderedElementsAre("vis_a.PNG", "a.PNG", "vis_c.jpg", "c.jpg"));

  // Without --target_ids only tags 0 to 3 are drawn: the drawing stays in the top-left part
  // of the board, where the first row's first four tags are.
  const cv::Rect drawn = changed_area(view, cv::imread((output / "a.PNG").string()));
  EXPECT_FALSE(drawn.empty());
  EXPECT_LT(drawn.br().y, 240);
  EXPECT_LT(drawn.br().x, 460);
  const cv::Rect all_markers = changed_area(view, cv::imread((output / "vis_a.PNG").string()));
  EXPECT_GT(all_markers.br().y, 300);
}

TEST(QuinselProgramTest, TargetIdsOptionSelectsTheDrawnTags) {
  orvalt::testing::TempDir dir;
  const fs::path images = dir / "images";
  fs::create_directories(images);
  const cv::Mat view = board_view();
  ASSERT_TRUE(cv::imwrite((images / "view.png").string(), view));
  const ProgramRun run =
      run_quinsel({"--image_dir", images.string(), "--output_dir", (dir / "out").string(),
                   "--target_ids", "35", "34", "--tag_size_m", "0.2"});
  ASSERT_EQ(run.status, 0) << run.errors;
  // Tags 34 and 35 are at the bottom right of the board.
  const cv::Rect drawn = changed_area(view, cv::imread((dir / "out" / "view.png").string()));
  EXPECT_GT(drawn.tl().x, 320);
  EXPECT_GT(drawn.tl().y, 240);
}

TEST(QuinselProgramTest, DetectorAndBorderOptionsReachTheDetector) {
  orvalt::testing::TempDir dir;
  const fs::path images = dir / "images";
  fs::create_directories(images);
  ASSERT_TRUE(cv::imwrite((images / "kalibr.png").string(), board_view(true)));
  const auto run_with = [&](std::vector<std::string> options) {
    options.insert(options.begin(),
                   {"--image_dir", images.string(), "--output_dir", (dir / "out").string()});
    return run_quinsel(options);
  };
  // The standard border reads none of a Kalibr-style board, whichever the engine.
  for (const std::string engine : {"opencv", "apriltag"}) {
    const ProgramRun standard = run_with({"--detector", engine});
    ASSERT_EQ(standard.status, 0) << standard.errors;
    EXPECT_THAT(standard.errors, HasSubstr("Read 1 images, 0 with tags, 0 tags found")) << engine;
    const ProgramRun wide = run_with({"--detector", engine, "--tag_border_bits", "2"});
    ASSERT_EQ(wide.status, 0) << wide.errors;
    // OpenCV reads only some tags of a Kalibr-style board; the library all four targets.
    EXPECT_THAT(wide.errors, HasSubstr(std::string("Read 1 images, 1 with tags, ") +
                                       (engine == "apriltag" ? "4 tags found" : "")))
        << engine;
  }
  const ProgramRun bad = run_with({"--detector", "aruco"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_THAT(bad.errors, HasSubstr("argument --detector: invalid choice: 'aruco'"));
  EXPECT_EQ(run_with({"--tag_border_bits", "3"}).status, 2);
}

TEST(QuinselProgramTest, MissingImageFolderFailsBeforeCreatingOutput) {
  orvalt::testing::TempDir dir;
  const ProgramRun run = run_quinsel(
      {"--image_dir", (dir / "absent").string(), "--output_dir", (dir / "out").string()});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.errors, HasSubstr("image_dir does not exist: " + (dir / "absent").string()));
  EXPECT_FALSE(fs::exists(dir / "out"));
}

TEST(QuinselProgramTest, ImageDirThatIsAFileFailsClearly) {
  orvalt::testing::TempDir dir;
  const fs::path file = dir / "view.png";
  ASSERT_TRUE(cv::imwrite(file.string(), board_view()));
  const ProgramRun run =
      run_quinsel({"--image_dir", file.string(), "--output_dir", (dir / "out").string()});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.errors, HasSubstr("image_dir is not a directory: " + file.string()));
  EXPECT_FALSE(fs::exists(dir / "out"));
}

TEST(QuinselProgramTest, RefusesToWriteIntoTheImageFolder) {
  orvalt::testing::TempDir dir;
  const fs::path images = dir / "images";
  fs::create_directories(images);
  ASSERT_TRUE(cv::imwrite((images / "view.png").string(), board_view()));
  const std::string before = orvalt::testing::read_text(images / "view.png");
  // The same folder spelled another way is still the same folder.
  for (const fs::path& output : {images, images / "." / ""}) {
    const ProgramRun run =
        run_quinsel({"--image_dir", images.string(), "--output_dir", output.string()});
    EXPECT_EQ(run.status, 1) << output;
    EXPECT_THAT(run.errors, HasSubstr("would overwrite the input images")) << output;
  }
  EXPECT_EQ(orvalt::testing::read_text(images / "view.png"), before);
  EXPECT_FALSE(fs::exists(images / "vis_view.png"));
}

TEST(QuinselProgramTest, DrawingThatCannotBeWrittenFailsTheCommand) {
  orvalt::testing::TempDir dir;
  const fs::path images = dir / "images";
  fs::create_directories(images);
  ASSERT_TRUE(cv::imwrite((images / "view.png").string(), board_view()));
  // A folder where the drawing should go makes the write fail, even for root.
  fs::create_directories(dir / "out" / "vis_view.png");
  const ProgramRun run =
      run_quinsel({"--image_dir", images.string(), "--output_dir", (dir / "out").string()});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.errors,
              HasSubstr("Failed to write image: " + (dir / "out" / "vis_view.png").string()));
}

TEST(QuinselProgramTest, HelpListsTheOptionsAndBadValuesExitWithTwo) {
  const ProgramRun help = run_quinsel({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_THAT(help.output, HasSubstr("usage: quinsel"));
  EXPECT_THAT(help.output, HasSubstr("Detect AprilGrid board in the image and return tag poses."));
  for (const char* text :
       {"Tag family to use for detection.", "Size of the AprilTag board in meters.",
        "List of target tag IDs to detect.", "Path to the input image file.",
        "Path to the output directory."}) {
    EXPECT_THAT(help.output, HasSubstr(text));
  }
  const ProgramRun bad = run_quinsel({"--tag_size_m", "large"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_THAT(bad.errors, HasSubstr("quinsel: error:"));
}

}  // namespace
}  // namespace orvalt::apriltag
