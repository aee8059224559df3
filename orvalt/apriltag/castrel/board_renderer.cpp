#include "orvalt/apriltag/castrel/board_renderer.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "orvalt/apriltag/castrel/april_tag_generator.hpp"

namespace orvalt::apriltag {

std::vector<BoardTag> aprilgrid_tags(int rows, int cols, int tag_size, int spacing, int start_id,
                                     cv::Point2d offset) {
  std::vector<BoardTag> tags;
  tags.reserve(static_cast<std::size_t>(std::max(rows, 0)) * std::max(cols, 0));
  const double pitch = static_cast<double>(tag_size) + spacing;
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      const cv::Point2d top_left = offset + cv::Point2d(c * pitch - 0.5, r * pitch - 0.5);
      BoardTag tag;
      tag.id = start_id + r * cols + c;
      tag.corners = {top_left, top_left + cv::Point2d(tag_size, 0),
                     top_left + cv::Point2d(tag_size, tag_size),
                     top_left + cv::Point2d(0, tag_size)};
      tags.push_back(tag);
    }
  }
  return tags;
}

cv::Point2d apply_homography(const cv::Matx33d& H, const cv::Point2d& point) {
  const cv::Vec3d mapped = H * cv::Vec3d(point.x, point.y, 1.0);
  return {mapped[0] / mapped[2], mapped[1] / mapped[2]};
}

std::vector<BoardTag> project_tags(const std::vector<BoardTag>& tags, const cv::Matx33d& H) {
  std::vector<BoardTag> projected = tags;
  for (BoardTag& tag : projected) {
    for (cv::Point2d& corner : tag.corners) corner = apply_homography(H, corner);
  }
  return projected;
}

cv::Point2d PrintedBoard::centre_m() const {
  return {paper.cols * metres_per_pixel / 2, paper.rows * metres_per_pixel / 2};
}

namespace {

PrintedBoard print_board(const cv::Mat& board, std::vector<BoardTag> tags, int margin,
                         double metres_per_pixel) {
  if (margin < 0) throw std::invalid_argument("print_aprilgrid: margin must be non-negative");
  PrintedBoard printed;
  cv::copyMakeBorder(board, printed.paper, margin, margin, margin, margin, cv::BORDER_CONSTANT,
                     cv::Scalar(255));
  const cv::Point2d shift(margin, margin);
  for (BoardTag& tag : tags) {
    for (cv::Point2d& corner : tag.corners) corner += shift;
  }
  printed.tags = std::move(tags);
  printed.metres_per_pixel = metres_per_pixel;
  return printed;
}

}  // namespace

PrintedBoard print_aprilgrid(const AprilTagGenerator& generator, int rows, int cols, int tag_size,
                             int spacing, int start_id, int margin, double tag_size_m) {
  return print_board(generator.generate_grid(rows, cols, tag_size, spacing, start_id),
                     aprilgrid_tags(rows, cols, tag_size, spacing, start_id), margin,
                     tag_size_m / tag_size);
}

PrintedBoard print_kalibr_grid(const AprilTagGenerator& generator, int rows, int cols, int tag_size,
                               int spacing, int start_id, int margin, double tag_size_m) {
  return print_board(
      generator.generate_kalibr_grid(rows, cols, tag_size, spacing, start_id),
      aprilgrid_tags(rows, cols, tag_size, spacing, start_id, {1.0 * spacing, 1.0 * spacing}),
      margin, tag_size_m / tag_size);
}

cv::Matx33d board_view_homography(const cv::Matx33d& K, const cv::Matx44d& camera_from_board,
                                  double metres_per_pixel) {
  const double m = metres_per_pixel;
  const cv::Matx33d board_metres_from_pixels(m, 0, 0.5 * m, 0, m, 0.5 * m, 0, 0, 1);
  // A point (X, Y, 0) of the board plane reaches the camera as X r1 + Y r2 + t.
  const cv::Matx33d plane_to_camera(
      camera_from_board(0, 0), camera_from_board(0, 1), camera_from_board(0, 3),
      camera_from_board(1, 0), camera_from_board(1, 1), camera_from_board(1, 3),
      camera_from_board(2, 0), camera_from_board(2, 1), camera_from_board(2, 3));
  return K * plane_to_camera * board_metres_from_pixels;
}

cv::Matx44d look_at_board(cv::Point2d target, double distance, double tilt_x, double tilt_y,
                          double roll) {
  cv::Matx33d R_x, R_y, R_z;
  cv::Rodrigues(cv::Vec3d(tilt_x, 0, 0), R_x);
  cv::Rodrigues(cv::Vec3d(0, tilt_y, 0), R_y);
  cv::Rodrigues(cv::Vec3d(0, 0, roll), R_z);
  const cv::Matx33d R = R_z * R_y * R_x;
  const cv::Vec3d t = cv::Vec3d(0, 0, distance) - R * cv::Vec3d(target.x, target.y, 0);
  return {R(0, 0), R(0, 1), R(0, 2), t[0], R(1, 0), R(1, 1), R(1, 2), t[1],
          R(2, 0), R(2, 1), R(2, 2), t[2], 0,       0,       0,       1};
}

cv::Mat render_board_view(const cv::Mat& board, const cv::Matx33d& view_from_board, cv::Size size,
                          int supersample, double background) {
  if (board.empty() || board.depth() != CV_8U) {
    throw std::invalid_argument("render_board_view: board must be a non-empty 8-bit image");
  }
  if (supersample < 1) throw std::invalid_argument("render_board_view: supersample must be >= 1");
  const double s = supersample;
  // Fine pixel (S u + (S - 1) / 2) is the centre of view pixel u, so that the block average
  // below lands each fine sample in the view pixel that contains it.
  const cv::Matx33d fine_from_view(s, 0, (s - 1) / 2, 0, s, (s - 1) / 2, 0, 0, 1);
  cv::Mat fine;
  cv::warpPerspective(board, fine, fine_from_view * view_from_board, size * supersample,
                      cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(background));
  if (supersample == 1) return fine;
  cv::Mat view;
  cv::resize(fine, view, size, 0, 0, cv::INTER_AREA);
  return view;
}

}  // namespace orvalt::apriltag
