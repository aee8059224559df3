#include <cmath>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "orvalt/apriltag/castrel/board_renderer.hpp"
#include "orvalt/common/argument_parser.hpp"

namespace {

// A VGA pinhole camera; the board, with its white paper margin, is printed 0.9 m wide.
constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr double kFocal = 600.0;
constexpr double kPrintedWidthM = 0.9;

struct Viewpoint {
  double distance, tilt_x, tilt_y, roll;
};
constexpr Viewpoint kViewpoints[] = {
    {1.6, 0.0, 0.0, 0.0}, {2.0, 0.35, 0.0, 0.1},       {1.8, 0.0, -0.5, -0.2},
    {1.9, 0.3, 0.4, 0.5}, {1.5, -0.2, 0.25, M_PI / 2},
};

}  // namespace

int main(int argc, char** argv) {
  std::string board_path = "aprilgrid_6x6.png";
  std::string output_dir = "views";
  int margin = 60;
  orvalt::common::ArgumentParser parser(
      "render_views",
      "Render perspective 640 x 480 camera views of a board image (as written by castrel),\n"
      "printed on white paper, into a folder.");
  parser.add_option("--board", &board_path, "Board image to render.");
  parser.add_option("--margin", &margin, "White paper margin around the board, in board pixels.");
  parser.add_option("--output_dir", &output_dir, "Folder for the views (created).");
  parser.parse_or_exit(argc, argv);

  const cv::Mat board = cv::imread(board_path, cv::IMREAD_GRAYSCALE);
  if (board.empty()) {
    std::cerr << "render_views: error: cannot read board image " << board_path << "\n";
    return 1;
  }
  if (margin < 0) {
    std::cerr << "render_views: error: --margin must be non-negative\n";
    return 1;
  }
  cv::Mat paper;
  cv::copyMakeBorder(board, paper, margin, margin, margin, margin, cv::BORDER_CONSTANT,
                     cv::Scalar(255));
  const double metres_per_pixel = kPrintedWidthM / paper.cols;
  const cv::Point2d centre(paper.cols * metres_per_pixel / 2, paper.rows * metres_per_pixel / 2);
  const cv::Matx33d K(kFocal, 0, (kWidth - 1) / 2.0, 0, kFocal, (kHeight - 1) / 2.0, 0, 0, 1);

  // A folder that cannot be made (a file in the way, no permission) is a user error, not a crash.
  std::error_code error;
  std::filesystem::create_directories(output_dir, error);
  if (error || !std::filesystem::is_directory(output_dir)) {
    std::cerr << "render_views: error: cannot create output folder " << output_dir << ": "
              << (error ? error.message() : "a file of that name is in the way") << "\n";
    return 1;
  }
  cv::RNG rng(42);
  int index = 0;
  for (const Viewpoint& viewpoint : kViewpoints) {
    const cv::Matx44d camera_from_board = orvalt::apriltag::look_at_board(
        centre, viewpoint.distance, viewpoint.tilt_x, viewpoint.tilt_y, viewpoint.roll);
    const cv::Mat gray = orvalt::apriltag::render_board_view(
        paper, orvalt::apriltag::board_view_homography(K, camera_from_board, metres_per_pixel),
        {kWidth, kHeight});
    // Sensor noise, so that the views are not unrealistically clean.
    cv::Mat noise(gray.size(), CV_16S);
    rng.fill(noise, cv::RNG::NORMAL, 0, 2.0);
    cv::Mat noisy;
    gray.convertTo(noisy, CV_16S);
    noisy += noise;
    noisy.convertTo(noisy, CV_8U);
    cv::Mat colour;
    cv::cvtColor(noisy, colour, cv::COLOR_GRAY2BGR);
    const std::string name = "view_" + std::to_string(index++) + ".png";
    const auto path = std::filesystem::path(output_dir) / name;
    if (!cv::imwrite(path.string(), colour)) {
      std::cerr << "render_views: error: cannot write " << path.string() << "\n";
      return 1;
    }
    std::cout << "Wrote " << path.string() << "\n";
  }
  return 0;
}
