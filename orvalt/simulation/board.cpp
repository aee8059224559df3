#include "orvalt/simulation/board.hpp"

#include <cmath>

#include <opencv2/core.hpp>

#include "orvalt/apriltag/castrel/april_tag_generator.hpp"
#include "orvalt/apriltag/castrel/board_renderer.hpp"

namespace orvalt::simulation {

Board::Board(const BoardLayout& layout, const BoardPlacement& placement)
    : metres_per_pixel_(layout.tag_size / layout.pixels_per_tag),
      spacing_pixels_(static_cast<int>(std::lround(layout.tag_spacing / metres_per_pixel_))),
      margin_pixels_(static_cast<int>(std::lround(layout.margin / metres_per_pixel_))) {
  const apriltag::AprilTagGenerator generator("tag36h11", 1);
  const cv::Mat grid = generator.generate_grid(layout.rows, layout.cols, layout.pixels_per_tag,
                                               spacing_pixels_, layout.first_id);
  cv::copyMakeBorder(grid, texture_, margin_pixels_, margin_pixels_, margin_pixels_, margin_pixels_,
                     cv::BORDER_CONSTANT, cv::Scalar(255));

  // Upright on the floor, the printed face towards -x of the world turned by `yaw`: x to the
  // right and y down as a viewer at the robot's start sees it.
  const Eigen::Vector3d into_board(std::cos(placement.yaw), std::sin(placement.yaw), 0.0);
  const Eigen::Vector3d down(0.0, 0.0, -1.0);
  const Eigen::Vector3d right = down.cross(into_board);
  world_from_board_ = Eigen::Isometry3d::Identity();
  world_from_board_.linear().col(0) = right;
  world_from_board_.linear().col(1) = down;
  world_from_board_.linear().col(2) = into_board;
  world_from_board_.translation() =
      Eigen::Vector3d(placement.x, placement.y, height()) - 0.5 * width() * right;

  const double m = metres_per_pixel_;
  for (const auto& tag :
       apriltag::aprilgrid_tags(layout.rows, layout.cols, layout.pixels_per_tag, spacing_pixels_,
                                layout.first_id, cv::Point2d(margin_pixels_, margin_pixels_))) {
    WorldTag world_tag;
    world_tag.id = tag.id;
    for (std::size_t k = 0; k < 4; ++k) {
      const Eigen::Vector3d on_board((tag.corners[k].x + 0.5) * m, (tag.corners[k].y + 0.5) * m,
                                     0.0);
      world_tag.corners[k] = world_from_board_ * on_board;
    }
    tags_.push_back(world_tag);
  }
}

double Board::width() const { return texture_.cols * metres_per_pixel_; }
double Board::height() const { return texture_.rows * metres_per_pixel_; }

}  // namespace orvalt::simulation
