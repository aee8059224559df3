#include "orvalt/simulation/board.hpp"

#include <cmath>

#include <gtest/gtest.h>

namespace orvalt::simulation {
namespace {

// The texture pixel just inside a tag corner (towards the tag's centre) is black ink, and the
// one just outside, diagonally, is white paper: the world corners sit on the printed ones.
TEST(BoardTest, WorldCornersSitOnThePrintedCorners) {
  const Board board(BoardLayout{}, BoardPlacement{});
  const Eigen::Isometry3d board_from_world = board.world_from_board().inverse();
  const double m = board.metres_per_pixel();
  for (const auto& tag : board.tags()) {
    const Eigen::Vector3d centre =
        0.25 * (tag.corners[0] + tag.corners[1] + tag.corners[2] + tag.corners[3]);
    for (const auto& corner : tag.corners) {
      const Eigen::Vector3d on_board = board_from_world * corner;
      ASSERT_NEAR(on_board.z(), 0.0, 1e-12);
      const Eigen::Vector3d inward = (board_from_world * centre - on_board).normalized();
      const auto texel = [&](double offset) {
        const Eigen::Vector3d p = on_board + offset * m * inward;
        return board.texture().at<uchar>(static_cast<int>(std::floor(p.y() / m)),
                                         static_cast<int>(std::floor(p.x() / m)));
      };
      EXPECT_EQ(texel(0.7), 0) << "tag " << tag.id;
      EXPECT_EQ(texel(-0.7), 255) << "tag " << tag.id;
    }
  }
}

TEST(BoardTest, LayoutIdsAndSpacing) {
  BoardLayout layout;
  layout.first_id = 3;
  const Board board(layout, BoardPlacement{});
  ASSERT_EQ(board.tags().size(), 10u);
  for (std::size_t i = 0; i < board.tags().size(); ++i) {
    const auto& tag = board.tags()[i];
    EXPECT_EQ(tag.id, 3 + static_cast<int>(i));
    EXPECT_NEAR((tag.corners[1] - tag.corners[0]).norm(), 0.15, 1e-12);
    EXPECT_NEAR((tag.corners[2] - tag.corners[1]).norm(), 0.15, 1e-12);
  }
  // Left to right along the top row, then the second row below it.
  const auto& first = board.tags()[0].corners[0];
  EXPECT_NEAR((board.tags()[1].corners[0] - first).norm(), 0.15 + 0.045, 1e-12);
  EXPECT_NEAR(first.z() - board.tags()[5].corners[0].z(), 0.15 + 0.045, 1e-12);
  EXPECT_NEAR(board.tag_spacing(), 0.045, 1e-12);
  EXPECT_NEAR(board.margin(), 0.08, 1e-12);
  EXPECT_NEAR(board.width(), 5 * 0.15 + 4 * 0.045 + 2 * 0.08, 1e-12);
  EXPECT_NEAR(board.height(), 2 * 0.15 + 0.045 + 2 * 0.08, 1e-12);
}

// Upright on the floor, centred at its position, its face towards the robot's start.
TEST(BoardTest, StandsOnTheFloorFacingTheStart) {
  for (const double yaw : {0.0, 0.3, -0.5}) {
    BoardPlacement placement;
    placement.x = 1.2;
    placement.y = -0.3;
    placement.yaw = yaw;
    const Board board(BoardLayout{}, placement);
    const Eigen::Isometry3d& world_from_board = board.world_from_board();
    EXPECT_NEAR(world_from_board.linear().determinant(), 1.0, 1e-12);
    const Eigen::Vector3d bottom_centre =
        world_from_board * Eigen::Vector3d(0.5 * board.width(), board.height(), 0.0);
    EXPECT_NEAR(bottom_centre.x(), 1.2, 1e-12);
    EXPECT_NEAR(bottom_centre.y(), -0.3, 1e-12);
    EXPECT_NEAR(bottom_centre.z(), 0.0, 1e-12);
    const Eigen::Vector3d top_left = world_from_board.translation();
    EXPECT_NEAR(top_left.z(), board.height(), 1e-12);
    // The printed face looks back along -x turned by yaw.
    const Eigen::Vector3d face = -world_from_board.linear().col(2);
    EXPECT_NEAR(face.x(), -std::cos(yaw), 1e-12);
    EXPECT_NEAR(face.y(), -std::sin(yaw), 1e-12);
    // As seen from the start, tag 0 is at the top left: left is +y of the world at yaw 0.
    if (yaw == 0.0) {
      EXPECT_GT(board.tags()[0].corners[0].y(), board.tags()[4].corners[1].y());
    }
  }
}

TEST(BoardTest, GapsAreRoundedToWholeTexels) {
  BoardLayout layout;
  layout.tag_spacing = 0.0451;  // 72.16 texels of 0.625 mm
  const Board board(layout, BoardPlacement{});
  EXPECT_NEAR(board.tag_spacing(), 72 * 0.15 / 240, 1e-12);
  EXPECT_NEAR((board.tags()[1].corners[0] - board.tags()[0].corners[0]).norm(),
              0.15 + board.tag_spacing(), 1e-12);
}

}  // namespace
}  // namespace orvalt::simulation
