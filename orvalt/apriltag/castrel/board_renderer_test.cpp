#include "orvalt/apriltag/castrel/board_renderer.hpp"

#include <gtest/gtest.h>

#include "orvalt/apriltag/castrel/april_tag_generator.hpp"

namespace orvalt::apriltag {
namespace {

TEST(BoardRendererTest, TagCornersFollowTheGeneratorsLayout) {
  const cv::Mat grid = AprilTagGenerator().generate_grid(2, 3, 100, 10, 5);
  const std::vector<BoardTag> tags = aprilgrid_tags(2, 3, 100, 10, 5);
  ASSERT_EQ(tags.size(), 6u);
  for (std::size_t i = 0; i < tags.size(); ++i) {
    EXPECT_EQ(tags[i].id, 5 + static_cast<int>(i));
    const auto& corners = tags[i].corners;
    // Clockwise on screen from the top-left, one marker side apart.
    EXPECT_EQ(corners[1] - corners[0], cv::Point2d(100, 0));
    EXPECT_EQ(corners[2] - corners[1], cv::Point2d(0, 100));
    EXPECT_EQ(corners[3] - corners[2], cv::Point2d(-100, 0));
    // Corners lie on pixel edges: the pixel just inside is the black border, the pixel just
    // outside the top-left is white (or off the board).
    const cv::Point inside(static_cast<int>(corners[0].x + 0.5),
                           static_cast<int>(corners[0].y + 0.5));
    EXPECT_EQ(grid.at<uchar>(inside), 0);
    if (inside.x > 0 && inside.y > 0) {
      EXPECT_EQ(grid.at<uchar>(inside - cv::Point(1, 1)), 255);
    }
  }
  EXPECT_EQ(tags[4].corners[0], cv::Point2d(109.5, 109.5));
  EXPECT_EQ(aprilgrid_tags(1, 1, 100, 0, 0, {20, 30})[0].corners[0], cv::Point2d(19.5, 29.5));
}

TEST(BoardRendererTest, PoseHomographyMatchesPinholeProjection) {
  const cv::Matx33d K(600, 0, 319.5, 0, 600, 239.5, 0, 0, 1);
  const double m = 0.001;
  const cv::Point2d target(0.4, 0.3);
  const cv::Matx44d camera_from_board = look_at_board(target, 1.5, 0.3, -0.2, 0.7);
  const cv::Matx33d H = board_view_homography(K, camera_from_board, m);
  // The looked-at point is on the optical axis at the given distance.
  const cv::Vec4d target_in_camera = camera_from_board * cv::Vec4d(target.x, target.y, 0, 1);
  EXPECT_NEAR(target_in_camera[0], 0, 1e-12);
  EXPECT_NEAR(target_in_camera[1], 0, 1e-12);
  EXPECT_NEAR(target_in_camera[2], 1.5, 1e-12);
  for (const cv::Point2d pixel :
       {cv::Point2d(0, 0), cv::Point2d(399.5, 299.5), cv::Point2d(-0.5, 870)}) {
    const cv::Vec4d p =
        camera_from_board * cv::Vec4d((pixel.x + 0.5) * m, (pixel.y + 0.5) * m, 0, 1);
    const cv::Point2d expected(600 * p[0] / p[2] + 319.5, 600 * p[1] / p[2] + 239.5);
    const cv::Point2d mapped = apply_homography(H, pixel);
    EXPECT_NEAR(mapped.x, expected.x, 1e-9);
    EXPECT_NEAR(mapped.y, expected.y, 1e-9);
  }
  EXPECT_NEAR(apply_homography(H, {399.5, 299.5}).x, 319.5, 1e-9);
  // Without tilt or roll the board is upright: x right, y down.
  const cv::Matx33d upright = board_view_homography(K, look_at_board(target, 2, 0, 0, 0), m);
  EXPECT_NEAR(upright(1, 0), 0, 1e-12);
  EXPECT_GT(upright(0, 0), 0);
  EXPECT_GT(upright(1, 1), 0);
}

TEST(BoardRendererTest, IdentityReproducesTheBoardAndOffBoardIsBackground) {
  const cv::Mat board = AprilTagGenerator().generate_grid(2, 2, 40, 8);
  const cv::Mat exact = render_board_view(board, cv::Matx33d::eye(), board.size(), 1);
  EXPECT_EQ(cv::countNonZero(exact != board), 0);

  const cv::Mat larger = render_board_view(board, cv::Matx33d::eye(), {120, 100}, 4, 77);
  ASSERT_EQ(larger.size(), cv::Size(120, 100));
  EXPECT_EQ(larger.at<uchar>(95, 115), 77);
  EXPECT_EQ(larger.at<uchar>(2, 2), 0);  // inside the first marker's black border

  cv::Mat colour;
  cv::merge(std::vector<cv::Mat>{board, board, board}, colour);
  EXPECT_EQ(render_board_view(colour, cv::Matx33d::eye(), {50, 50}).type(), CV_8UC3);
  EXPECT_THROW(render_board_view(cv::Mat(), cv::Matx33d::eye(), {50, 50}), std::invalid_argument);
}

TEST(BoardRendererTest, EdgesBetweenPixelsAreAntiAliased) {
  // Black left half, white right half, moved right by half a pixel: the pixel the edge now
  // crosses is half covered and renders mid-grey instead of snapping to black or white.
  cv::Mat board(20, 20, CV_8UC1, cv::Scalar(255));
  board.colRange(0, 10).setTo(0);
  const cv::Matx33d shift(1, 0, 0.5, 0, 1, 0, 0, 0, 1);
  const cv::Mat view = render_board_view(board, shift, board.size(), 8);
  EXPECT_EQ(view.at<uchar>(10, 9), 0);
  EXPECT_NEAR(view.at<uchar>(10, 10), 128, 20);
  EXPECT_EQ(view.at<uchar>(10, 12), 255);
}

}  // namespace
}  // namespace orvalt::apriltag
