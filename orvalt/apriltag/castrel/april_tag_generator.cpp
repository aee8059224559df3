#include "orvalt/apriltag/castrel/april_tag_generator.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>

#include <opencv2/aruco.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

namespace orvalt::apriltag {

const std::vector<std::pair<std::string, int>> AprilTagGenerator::TAG_FAMILIES = {
    {"tag36h11", cv::aruco::DICT_APRILTAG_36h11},
    {"tag25h9", cv::aruco::DICT_APRILTAG_25h9},
    {"tag16h5", cv::aruco::DICT_APRILTAG_16h5},
};

namespace {

constexpr int kMinSidePixels = 20;

int dictionary_of(const std::string& tag_family) {
  const auto found =
      std::find_if(AprilTagGenerator::TAG_FAMILIES.begin(), AprilTagGenerator::TAG_FAMILIES.end(),
                   [&](const auto& entry) { return entry.first == tag_family; });
  if (found == AprilTagGenerator::TAG_FAMILIES.end()) {
    std::string names;
    for (const auto& [name, dictionary] : AprilTagGenerator::TAG_FAMILIES) {
      names += (names.empty() ? "'" : ", '") + name + "'";
    }
    throw std::invalid_argument("Supported families: [" + names + "]");
  }
  return found->second;
}

void check_marker_arguments(int tag_id, int side_pixels) {
  if (tag_id < 0) throw std::invalid_argument("Tag ID must be non-negative");
  if (side_pixels < kMinSidePixels) throw std::invalid_argument("Size must be at least 20 pixels");
}

}  // namespace

AprilTagGenerator::AprilTagGenerator(const std::string& tag_family, int border_bits)
    : tag_family_(tag_family),
      border_bits_(border_bits),
      aruco_dict_(cv::aruco::getPredefinedDictionary(dictionary_of(tag_family))) {}

cv::Mat AprilTagGenerator::generate_single(int tag_id, int side_pixels) const {
  check_marker_arguments(tag_id, side_pixels);
  cv::Mat marker;
  cv::aruco::drawMarker(aruco_dict_, tag_id, side_pixels, marker, border_bits_);
  return marker;
}

cv::Mat AprilTagGenerator::generate_grid(int rows, int cols, int tag_size, int spacing,
                                         int start_id) const {
  if (rows <= 0 || cols <= 0) throw std::invalid_argument("Rows and cols must be positive");
  if (spacing < 0) throw std::invalid_argument("Spacing must be non-negative");
  // The first marker would fail these checks anyway; checking first keeps an invalid size
  // from reaching the canvas arithmetic.
  check_marker_arguments(start_id, tag_size);
  const std::int64_t pitch = std::int64_t{tag_size} + spacing;
  const std::int64_t width = cols * pitch - spacing;
  const std::int64_t height = rows * pitch - spacing;
  if (width > std::numeric_limits<int>::max() || height > std::numeric_limits<int>::max() ||
      start_id + std::int64_t{rows} * cols - 1 > std::numeric_limits<int>::max()) {
    throw std::invalid_argument("Grid is too large");
  }
  cv::Mat canvas(static_cast<int>(height), static_cast<int>(width), CV_8UC1, cv::Scalar(255));
  int current_id = start_id;
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      const cv::Mat marker = generate_single(current_id++, tag_size);
      const cv::Rect place(static_cast<int>(c * pitch), static_cast<int>(r * pitch), tag_size,
                           tag_size);
      marker.copyTo(canvas(place));
    }
  }
  return canvas;
}

cv::Mat AprilTagGenerator::generate_kalibr_grid(int rows, int cols, int tag_size, int spacing,
                                                int start_id) const {
  cv::Mat canvas;
  cv::copyMakeBorder(generate_grid(rows, cols, tag_size, spacing, start_id), canvas, spacing,
                     spacing, spacing, spacing, cv::BORDER_CONSTANT, cv::Scalar(255));
  const int pitch = tag_size + spacing;
  for (int r = 0; r <= rows; ++r) {
    for (int c = 0; c <= cols; ++c) {
      canvas(cv::Rect(c * pitch, r * pitch, spacing, spacing)).setTo(0);
    }
  }
  return canvas;
}

bool AprilTagGenerator::save(const cv::Mat& image, const std::filesystem::path& save_path) const {
  if (save_path.has_parent_path()) std::filesystem::create_directories(save_path.parent_path());
  try {
    return cv::imwrite(save_path.string(), image);
  } catch (const cv::Exception&) {
    // No writer for the extension, or an image the format cannot hold.
    return false;
  }
}

}  // namespace orvalt::apriltag
