#include "orvalt/apriltag/castrel/april_tag_generator.hpp"

#include <filesystem>
#include <stdexcept>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "orvalt/testing/program_run.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::apriltag {
namespace {

bool same_pixels(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && cv::countNonZero(a != b) == 0;
}

template <typename Call>
std::string invalid_argument_text(Call call) {
  try {
    call();
  } catch (const std::invalid_argument& error) {
    return error.what();
  }
  return "(no std::invalid_argument)";
}

TEST(AprilTagGeneratorTest, SingleMarkerHasRequestedSizeAndBorderToTheEdge) {
  const AprilTagGenerator generator;
  EXPECT_EQ(generator.tag_family(), "tag36h11");
  EXPECT_EQ(generator.border_bits(), 1);
  const cv::Mat marker = generator.generate_single(3, 400);
  ASSERT_EQ(marker.size(), cv::Size(400, 400));
  ASSERT_EQ(marker.type(), CV_8UC1);
  // The black border reaches all four edges: no white margin.
  EXPECT_EQ(cv::countNonZero(marker.row(0)), 0);
  EXPECT_EQ(cv::countNonZero(marker.row(399)), 0);
  EXPECT_EQ(cv::countNonZero(marker.col(0)), 0);
  EXPECT_EQ(cv::countNonZero(marker.col(399)), 0);
  EXPECT_FALSE(same_pixels(marker, generator.generate_single(4, 400)));

  EXPECT_EQ(generator.generate_single(0, 20).size(), cv::Size(20, 20));
  EXPECT_EQ(invalid_argument_text([&] { generator.generate_single(0, 19); }),
            "Size must be at least 20 pixels");
  EXPECT_EQ(invalid_argument_text([&] { generator.generate_single(-1, 100); }),
            "Tag ID must be non-negative");
  // 36h11 has 587 markers; beyond that OpenCV refuses.
  EXPECT_THROW(generator.generate_single(587, 100), cv::Exception);
}

TEST(AprilTagGeneratorTest, GridPlacesConsecutiveIdsRowByRowWithWhiteGaps) {
  const AprilTagGenerator generator;
  EXPECT_TRUE(
      same_pixels(generator.generate_grid(1, 1, 120, 30), generator.generate_single(0, 120)));

  const cv::Mat grid = generator.generate_grid(2, 3, 100, 10, 5);
  ASSERT_EQ(grid.size(), cv::Size(320, 210));
  for (int r = 0; r < 2; ++r) {
    for (int c = 0; c < 3; ++c) {
      const cv::Mat placed = grid(cv::Rect(c * 110, r * 110, 100, 100));
      EXPECT_TRUE(same_pixels(placed, generator.generate_single(5 + r * 3 + c, 100)))
          << "row " << r << " col " << c;
    }
  }
  EXPECT_EQ(cv::countNonZero(grid.colRange(100, 110) != 255), 0);
  EXPECT_EQ(cv::countNonZero(grid.colRange(210, 220) != 255), 0);
  EXPECT_EQ(cv::countNonZero(grid.rowRange(100, 110) != 255), 0);

  EXPECT_EQ(generator.generate_grid(6, 6, 120, 30).size(), cv::Size(870, 870));
  // Touching markers are allowed.
  EXPECT_EQ(generator.generate_grid(2, 2, 50, 0).size(), cv::Size(100, 100));
}

TEST(AprilTagGeneratorTest, KalibrGridFramesTheMarkersAndPutsSquaresInEveryGapCrossing) {
  const AprilTagGenerator generator("tag36h11", 2);
  const cv::Mat grid = generator.generate_kalibr_grid(2, 3, 100, 30, 5);
  ASSERT_EQ(grid.size(), cv::Size(3 * 100 + 4 * 30, 2 * 100 + 3 * 30));
  for (int r = 0; r < 2; ++r) {
    for (int c = 0; c < 3; ++c) {
      const cv::Mat placed = grid(cv::Rect(30 + c * 130, 30 + r * 130, 100, 100));
      EXPECT_TRUE(same_pixels(placed, generator.generate_single(5 + r * 3 + c, 100)))
          << "row " << r << " col " << c;
    }
  }
  for (int r = 0; r <= 2; ++r) {
    for (int c = 0; c <= 3; ++c) {
      EXPECT_EQ(cv::countNonZero(grid(cv::Rect(c * 130, r * 130, 30, 30))), 0)
          << "crossing " << r << ", " << c;
    }
  }
  // Between two crossings the gap is white.
  EXPECT_EQ(cv::countNonZero(grid(cv::Rect(30, 0, 100, 30)) != 255), 0);
  EXPECT_EQ(cv::countNonZero(grid(cv::Rect(130, 160, 30, 100)) != 255), 0);
}

TEST(AprilTagGeneratorTest, GridRejectsBadShapesBeforeRendering) {
  const AprilTagGenerator generator;
  EXPECT_EQ(invalid_argument_text([&] { generator.generate_grid(0, 4, 100, 10); }),
            "Rows and cols must be positive");
  EXPECT_EQ(invalid_argument_text([&] { generator.generate_grid(4, -1, 100, 10); }),
            "Rows and cols must be positive");
  EXPECT_EQ(invalid_argument_text([&] { generator.generate_grid(2, 2, 100, -1); }),
            "Spacing must be non-negative");
  EXPECT_EQ(invalid_argument_text([&] { generator.generate_grid(2, 2, 19, 5); }),
            "Size must be at least 20 pixels");
  EXPECT_EQ(invalid_argument_text([&] { generator.generate_grid(2, 2, -100, 5); }),
            "Size must be at least 20 pixels");
  EXPECT_EQ(invalid_argument_text([&] { generator.generate_grid(2, 2, 100, 5, -1); }),
            "Tag ID must be non-negative");
  EXPECT_EQ(invalid_argument_text([&] { generator.generate_grid(50000, 50000, 100000, 5); }),
            "Grid is too large");
  // Ids run past the end of the 16h5 dictionary (30 markers).
  EXPECT_THROW(AprilTagGenerator("tag16h5").generate_grid(6, 6, 40, 5), cv::Exception);
}

TEST(AprilTagGeneratorTest, FamiliesAreTheGeneratorsOwnNames) {
  const AprilTagGenerator small("tag25h9");
  EXPECT_FALSE(same_pixels(small.generate_single(0, 100),
                           AprilTagGenerator("tag36h11").generate_single(0, 100)));
  EXPECT_EQ(AprilTagGenerator("tag16h5", 2).border_bits(), 2);
  EXPECT_EQ(invalid_argument_text([] { AprilTagGenerator("APRILTAG_36h11"); }),
            "Supported families: ['tag36h11', 'tag25h9', 'tag16h5']");
}

TEST(AprilTagGeneratorTest, SaveCreatesFoldersAndReportsFailure) {
  orvalt::testing::TempDir dir;
  const AprilTagGenerator generator;
  const cv::Mat marker = generator.generate_single(1, 60);
  const auto path = dir / "a" / "b" / "marker.png";
  ASSERT_TRUE(generator.save(marker, path));
  EXPECT_TRUE(same_pixels(cv::imread(path.string(), cv::IMREAD_UNCHANGED), marker));
  EXPECT_FALSE(generator.save(marker, dir / "marker.unknown_format"));
}

TEST(CastrelProgramTest, WritesTheExampleMarkerAndBoardIntoTheWorkingDirectory) {
  orvalt::testing::TempDir dir;
  orvalt::testing::ProgramOptions in_dir;
  in_dir.working_dir = dir.path();
  in_dir.separate_errors = true;
  const orvalt::testing::ProgramRun run = orvalt::testing::run_program("castrel", {}, in_dir);
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(run.output.substr(0, run.output.find('\n')), "✅ Generation done (pure OpenCV)");
  const AprilTagGenerator generator;
  EXPECT_TRUE(same_pixels(cv::imread((dir / "apriltag_single.png").string(), cv::IMREAD_UNCHANGED),
                          generator.generate_single(0, 400)));
  const cv::Mat board = cv::imread((dir / "aprilgrid_6x6.png").string(), cv::IMREAD_UNCHANGED);
  EXPECT_TRUE(same_pixels(board, generator.generate_grid(6, 6, 120, 30, 0)));
}

TEST(CastrelProgramTest, KalibrBoardOptionWritesOnlyThatBoard) {
  orvalt::testing::TempDir dir;
  orvalt::testing::ProgramOptions options;
  options.working_dir = dir.path();
  ASSERT_EQ(
      orvalt::testing::run_program("castrel", {"--kalibr_board", "boards/kalibr.png"}, options)
          .status,
      0);
  const cv::Mat board = cv::imread((dir / "boards" / "kalibr.png").string(), cv::IMREAD_UNCHANGED);
  EXPECT_TRUE(
      same_pixels(board, AprilTagGenerator("tag36h11", 2).generate_kalibr_grid(6, 6, 200, 60)));
  EXPECT_FALSE(std::filesystem::exists(dir / "aprilgrid_6x6.png"));
}

}  // namespace
}  // namespace orvalt::apriltag
