#pragma once

#include <array>
#include <vector>

#include <Eigen/Geometry>
#include <opencv2/core.hpp>

#include "orvalt/simulation/simulation_options.hpp"

namespace orvalt::simulation {

// One tag of the board with its outer corners in the world frame, in the detector's order:
// the tag's own top-left, top-right, bottom-right, bottom-left.
struct WorldTag {
  int id = 0;
  std::array<Eigen::Vector3d, 4> corners;
};

// The printed AprilGrid standing in the room: its texture (the castrel board with a white
// margin) and where it is. The board frame has its origin at the board's outer top-left edge,
// x to the right and y down as printed, z into the board; texture pixel (u, v) covers the
// board point ((u + 0.5) m, (v + 0.5) m, 0), m = metres_per_pixel(). Gaps and margin are whole
// texture pixels, so they are the requested lengths rounded to the texture's resolution.
class Board {
 public:
  Board(const BoardLayout& layout, const BoardPlacement& placement);

  const cv::Mat& texture() const { return texture_; }  // 8-bit grey, 255 white
  double metres_per_pixel() const { return metres_per_pixel_; }
  double width() const;   // metres, margin included
  double height() const;  // metres, margin included
  double tag_spacing() const { return spacing_pixels_ * metres_per_pixel_; }
  double margin() const { return margin_pixels_ * metres_per_pixel_; }
  const Eigen::Isometry3d& world_from_board() const { return world_from_board_; }
  const std::vector<WorldTag>& tags() const { return tags_; }

 private:
  double metres_per_pixel_;
  int spacing_pixels_;
  int margin_pixels_;
  cv::Mat texture_;
  Eigen::Isometry3d world_from_board_;
  std::vector<WorldTag> tags_;
};

}  // namespace orvalt::simulation
