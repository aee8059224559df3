#pragma once

#include <utility>
#include <vector>

#include <Eigen/Core>

namespace orvalt::apriltag {

// Pixel points of one tag, one (x = column, y = row) row per point. The detector gives five
// rows: the four corners, clockwise from the tag's own top-left corner, then the image of the tag's
// centre (where the diagonals cross).
using TagPoints = Eigen::Matrix<float, Eigen::Dynamic, 2, Eigen::RowMajor>;

// Tag id to points, in the order the detector reported the markers (insertion order).
using TagMap = std::vector<std::pair<int, TagPoints>>;

}  // namespace orvalt::apriltag
