#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

namespace cv::aruco {
class Dictionary;
}

namespace orvalt::apriltag {

// Printable AprilTag images: single markers and AprilGrid boards (consecutive-id markers in
// rows, separated by white gaps, no outer margin). Images are 8-bit single-channel, 0 = black,
// 255 = white.
class AprilTagGenerator {
 public:
  // Family name to OpenCV predefined dictionary identifier, in this order.
  static const std::vector<std::pair<std::string, int>> TAG_FAMILIES;

  // Throws std::invalid_argument "Supported families: [...]" for a family not in TAG_FAMILIES.
  explicit AprilTagGenerator(const std::string& tag_family = "tag36h11", int border_bits = 1);

  // The marker, side_pixels square, its black border reaching the image edge. Throws
  // std::invalid_argument for a negative id or fewer than 20 pixels; an id beyond the
  // dictionary is OpenCV's error.
  cv::Mat generate_single(int tag_id, int side_pixels) const;
  // rows x cols markers of tag_size pixels, spacing pixels apart; the marker in grid row r,
  // column c has id start_id + r * cols + c and its top-left pixel at
  // (c * (tag_size + spacing), r * (tag_size + spacing)).
  cv::Mat generate_grid(int rows, int cols, int tag_size, int spacing, int start_id = 0) const;
  // A Kalibr-style AprilGrid: generate_grid's markers inside a white frame `spacing` wide, with
  // a black spacing x spacing square in every crossing of the gaps, the outer ones included;
  // the marker in grid row r, column c has its top-left pixel at
  // (spacing + c * (tag_size + spacing), spacing + r * (tag_size + spacing)). Such boards
  // draw their markers with border_bits 2.
  cv::Mat generate_kalibr_grid(int rows, int cols, int tag_size, int spacing,
                               int start_id = 0) const;
  // Writes the image (format from the extension), creating missing parent directories.
  // Returns false when the image could not be written.
  bool save(const cv::Mat& image, const std::filesystem::path& save_path) const;

  const std::string& tag_family() const { return tag_family_; }
  int border_bits() const { return border_bits_; }
  const cv::Ptr<cv::aruco::Dictionary>& aruco_dict() const { return aruco_dict_; }

 private:
  std::string tag_family_;
  int border_bits_;
  cv::Ptr<cv::aruco::Dictionary> aruco_dict_;
};

}  // namespace orvalt::apriltag
