#include "orvalt/draventa/synthetic_board.hpp"

#include <cmath>
#include <cstdint>

namespace orvalt::draventa {

Eigen::Matrix3d camera_facing_board() {
  Eigen::Matrix3d camera_from_board;
  camera_from_board << 0, 0, 1, -1, 0, 0, 0, -1, 0;
  return camera_from_board;
}

BoardView render_board(const common::CameraIntrinsics& camera, const BoardOptions& board,
                       const Eigen::Isometry3d& camera_from_board) {
  BoardView view;
  for (int row = 0; row < board.rows; ++row) {
    for (int col = 0; col < board.cols; ++col) {
      const double x0 = board.origin_x + col * board.pitch;
      const double y0 = board.origin_y + row * board.pitch;
      const double s = board.tag_size;
      const Eigen::Vector3d points_on_board[5] = {{x0, y0, 0},
                                                  {x0 + s, y0, 0},
                                                  {x0 + s, y0 + s, 0},
                                                  {x0, y0 + s, 0},
                                                  {x0 + s / 2, y0 + s / 2, 0}};
      apriltag::TagPoints points(5, 2);
      for (int k = 0; k < 5; ++k) {
        const Eigen::Vector3d p = camera_from_board * points_on_board[k];
        points(k, 0) = static_cast<float>(camera.fx * -p.y() / p.x() + camera.cx);
        points(k, 1) = static_cast<float>(camera.fy * -p.z() / p.x() + camera.cy);
      }
      view.tags.emplace_back(row * board.cols + col, points);
    }
  }

  // Depth along the forward axis of the ray through each pixel to the board plane n.p = n.o.
  const Eigen::Vector3d normal = camera_from_board.linear().col(2);
  const double offset = normal.dot(camera_from_board.translation());
  view.depth = cv::Mat(camera.height, camera.width, CV_16U, cv::Scalar(0));
  for (int v = 0; v < camera.height; ++v) {
    for (int u = 0; u < camera.width; ++u) {
      const Eigen::Vector3d ray(1.0, -(u - camera.cx) / camera.fx, -(v - camera.cy) / camera.fy);
      const double depth = offset / normal.dot(ray);
      if (depth > 0.0 && depth < 65.0) {
        view.depth.at<std::uint16_t>(v, u) = static_cast<std::uint16_t>(std::lround(depth * 1e3));
      }
    }
  }
  return view;
}

}  // namespace orvalt::draventa
