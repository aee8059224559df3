#pragma once

#include <Eigen/Geometry>
#include <opencv2/core/mat.hpp>

#include "orvalt/apriltag/quinsel/tag_map.hpp"
#include "orvalt/common/camera_intrinsics.hpp"

namespace orvalt::draventa {

inline constexpr common::CameraIntrinsics kSyntheticCamera{500.0, 500.0, 320.0, 240.0, 640, 480};

// A planar grid of square tags in the board frame: the board is the plane z = 0, x to the
// right and y down as its viewer sees it; tag (row, col) has id row * cols + col and its
// top-left corner at (origin_x + col * pitch, origin_y + row * pitch).
struct BoardOptions {
  int rows = 3;
  int cols = 3;
  double tag_size = 0.08;
  double pitch = 0.104;
  double origin_x = 0.0;
  double origin_y = 0.0;
};

struct BoardView {
  apriltag::TagMap tags;  // every tag, corners clockwise from top-left, then its centre
  cv::Mat depth;          // CV_16U millimetres, the board plane's depth at every pixel
};

// Rotation of a camera (forward-left-up axes) that faces the board: its forward axis is the
// board's z axis, its left axis the board's -x, its up axis the board's -y.
Eigen::Matrix3d camera_facing_board();

// The tag points as a detector would report them (float pixel coordinates, not truncated) and
// the depth image a registered depth camera would give (rounded to whole millimetres), for a
// camera at camera_from_board (maps board coordinates to forward-left-up camera coordinates).
BoardView render_board(const common::CameraIntrinsics& camera, const BoardOptions& board,
                       const Eigen::Isometry3d& camera_from_board);

}  // namespace orvalt::draventa
