#pragma once

#include <array>
#include <vector>

#include <opencv2/core.hpp>

namespace orvalt::apriltag {

// Board pixel coordinates put pixel centres at integers (OpenCV's convention), so the marker
// whose first pixel is column c, row r has its outer top-left corner at (c - 0.5, r - 0.5).

// One tag of a board: its id and its outer corners in board pixel coordinates, in the tag's own
// order: top-left, top-right, bottom-right, bottom-left (clockwise on screen).
struct BoardTag {
  int id = 0;
  std::array<cv::Point2d, 4> corners;
};

// The tags of AprilTagGenerator::generate_grid(rows, cols, tag_size, spacing, start_id) in id
// order, shifted by `offset` (for a margin added around the board).
std::vector<BoardTag> aprilgrid_tags(int rows, int cols, int tag_size, int spacing,
                                     int start_id = 0, cv::Point2d offset = {0, 0});

cv::Point2d apply_homography(const cv::Matx33d& H, const cv::Point2d& point);
// The tags with every corner mapped through H (board pixels to view pixels).
std::vector<BoardTag> project_tags(const std::vector<BoardTag>& tags, const cv::Matx33d& H);

class AprilTagGenerator;

// An AprilGrid board printed on white paper (markers need a white quiet zone), with the true
// tag corners in paper pixels and the print scale.
struct PrintedBoard {
  cv::Mat paper;
  std::vector<BoardTag> tags;
  double metres_per_pixel = 0;
  // The paper's centre in the board frame of board_view_homography, metres.
  cv::Point2d centre_m() const;
};

// generator.generate_grid(rows, cols, tag_size, spacing, start_id) with `margin` white pixels
// on every side, printed so that one tag is tag_size_m metres wide.
PrintedBoard print_aprilgrid(const AprilTagGenerator& generator, int rows, int cols, int tag_size,
                             int spacing, int start_id, int margin, double tag_size_m);
// The same for generator.generate_kalibr_grid(rows, cols, tag_size, spacing, start_id).
PrintedBoard print_kalibr_grid(const AprilTagGenerator& generator, int rows, int cols, int tag_size,
                               int spacing, int start_id, int margin, double tag_size_m);

// view_from_board of a flat board seen by a pinhole camera with intrinsics K. Board pixel
// (x, y) is the point ((x + 0.5) m, (y + 0.5) m, 0) of the board frame (x right, y down, origin
// at the board's outer top-left edge), m = metres_per_pixel; camera_from_board maps board-frame
// points to camera-frame points (metres).
cv::Matx33d board_view_homography(const cv::Matx33d& K, const cv::Matx44d& camera_from_board,
                                  double metres_per_pixel);

// camera_from_board of a camera `distance` metres in front of the board point `target` (board
// frame, metres) and looking straight at it, after the board is turned about that point by
// tilt_x, then tilt_y (radians, about the board's x and y axes) and rolled about the viewing
// direction. All angles zero: the board is fronto-parallel, x right and y down in the image.
cv::Matx44d look_at_board(cv::Point2d target, double distance, double tilt_x, double tilt_y,
                          double roll);

// Renders `board` (8-bit, 1 or 3 channels) into an image of `size` of the same type: view
// pixel p shows the board at view_from_board^-1 p. Each view pixel is the mean of
// supersample x supersample samples, so edges are anti-aliased as a camera pixel integrates
// light; view pixels off the board get `background`.
cv::Mat render_board_view(const cv::Mat& board, const cv::Matx33d& view_from_board, cv::Size size,
                          int supersample = 4, double background = 128);

}  // namespace orvalt::apriltag
