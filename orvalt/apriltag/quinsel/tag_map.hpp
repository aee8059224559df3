#pragma once

#include <utility>
#include <vector>

#include <Eigen/Core>
#include <opencv2/core/types.hpp>

namespace orvalt::apriltag {

// Pixel points of one tag, one (x = column, y = row) row per point. The detector gives five
// rows: the four corners, clockwise from the tag's own top-left corner, then the image of the tag's
// centre (where the diagonals cross).
using TagPoints = Eigen::Matrix<float, Eigen::Dynamic, 2, Eigen::RowMajor>;

// Tag id to points, in the order the detector reported the markers (insertion order).
using TagMap = std::vector<std::pair<int, TagPoints>>;

// Marker corners of one image as a marker detector reports them: one set of four points per
// marker (or per rejected candidate).
using MarkerCorners = std::vector<std::vector<cv::Point2f>>;

}  // namespace orvalt::apriltag
