#include "orvalt/apriltag/quinsel/aprilgrid_corner_detect.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

#include <Eigen/Geometry>
#include <opencv2/aruco.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "orvalt/apriltag/quinsel/apriltag_library_detector.hpp"

namespace orvalt::apriltag {
namespace {

// Every predefined dictionary of OpenCV 4.6, by its enumerator name.
const std::pair<const char*, cv::aruco::PREDEFINED_DICTIONARY_NAME> kDictionaries[] = {
    {"DICT_4X4_50", cv::aruco::DICT_4X4_50},
    {"DICT_4X4_100", cv::aruco::DICT_4X4_100},
    {"DICT_4X4_250", cv::aruco::DICT_4X4_250},
    {"DICT_4X4_1000", cv::aruco::DICT_4X4_1000},
    {"DICT_5X5_50", cv::aruco::DICT_5X5_50},
    {"DICT_5X5_100", cv::aruco::DICT_5X5_100},
    {"DICT_5X5_250", cv::aruco::DICT_5X5_250},
    {"DICT_5X5_1000", cv::aruco::DICT_5X5_1000},
    {"DICT_6X6_50", cv::aruco::DICT_6X6_50},
    {"DICT_6X6_100", cv::aruco::DICT_6X6_100},
    {"DICT_6X6_250", cv::aruco::DICT_6X6_250},
    {"DICT_6X6_1000", cv::aruco::DICT_6X6_1000},
    {"DICT_7X7_50", cv::aruco::DICT_7X7_50},
    {"DICT_7X7_100", cv::aruco::DICT_7X7_100},
    {"DICT_7X7_250", cv::aruco::DICT_7X7_250},
    {"DICT_7X7_1000", cv::aruco::DICT_7X7_1000},
    {"DICT_ARUCO_ORIGINAL", cv::aruco::DICT_ARUCO_ORIGINAL},
    {"DICT_APRILTAG_16h5", cv::aruco::DICT_APRILTAG_16h5},
    {"DICT_APRILTAG_25h9", cv::aruco::DICT_APRILTAG_25h9},
    {"DICT_APRILTAG_36h10", cv::aruco::DICT_APRILTAG_36h10},
    {"DICT_APRILTAG_36h11", cv::aruco::DICT_APRILTAG_36h11},
};

// The image of the tag's centre: where its diagonals cross. Perspective keeps that point on
// the printed centre in every view, whereas the corners' mean drifts off it as the tag turns
// away, so only the crossing can be paired across frames like a corner.
Eigen::RowVector2f diagonal_crossing(const TagPoints& corners) {
  const auto homogeneous = [&](int k) {
    return Eigen::Vector3d(corners(k, 0), corners(k, 1), 1.0);
  };
  const Eigen::Vector3d crossing =
      homogeneous(0).cross(homogeneous(2)).cross(homogeneous(1).cross(homogeneous(3)));
  // Parallel diagonals (a degenerate quad) have no crossing.
  if (!(std::abs(crossing.z()) > 1e-9 * crossing.norm())) {
    return corners.topRows(4).colwise().mean();
  }
  return (crossing.head<2>() / crossing.z()).cast<float>().transpose();
}

int resolve_dictionary(const std::string& tag_family) {
  const std::string name = "DICT_" + tag_family;
  for (const auto& [known, id] : kDictionaries) {
    if (name == known) return id;
  }
  return cv::aruco::DICT_APRILTAG_36h11;
}

// The image's dimensions as "(rows, cols)" or "(rows, cols, channels)".
std::string shape_text(const cv::Mat& image) {
  std::string text = "(";
  for (int i = 0; i < image.dims; ++i) {
    text += (i ? ", " : "") + std::to_string(image.size[i]);
  }
  if (image.channels() > 1) text += ", " + std::to_string(image.channels());
  return text + ")";
}

cv::Mat to_gray(const cv::Mat& image) {
  if (image.empty()) throw std::invalid_argument("Input image is None or empty.");
  if (image.dims == 2 && image.channels() == 3) {
    cv::Mat gray;
    cv::cvtColor(image, gray, cv::COLOR_BGR2GRAY);
    return gray;
  }
  if (image.dims == 2 && image.type() == CV_8UC1) return image;
  throw std::invalid_argument("Input image is not in BGR or grayscale format. Image shape: " +
                              shape_text(image));
}

// Truncation toward zero, as the drawing conventions ask.
cv::Point to_pixel(float x, float y) { return {static_cast<int>(x), static_cast<int>(y)}; }

int checked_border_bits(int tag_border_bits) {
  if (tag_border_bits < 1) {
    throw std::invalid_argument("tag_border_bits must be at least 1, got " +
                                std::to_string(tag_border_bits));
  }
  return tag_border_bits;
}

}  // namespace

AprilgridCornerDetect::AprilgridCornerDetect(std::string tag_family, double tag_size_m,
                                             std::optional<std::vector<int>> target_ids,
                                             DetectorEngine engine, int tag_border_bits)
    : tag_family_(std::move(tag_family)),
      tag_size_m_(tag_size_m),
      target_ids_(std::move(target_ids)),
      engine_(engine),
      tag_border_bits_(checked_border_bits(tag_border_bits)),
      aruco_dict_(resolve_dictionary(tag_family_)),
      detector_params_(set_parameters()),
      detector_(init_detector()) {
  if (engine_ == DetectorEngine::apriltag) {
    library_detector_ = std::make_unique<AprilTagLibraryDetector>(aruco_dict_, tag_border_bits_);
  }
}

AprilgridCornerDetect::~AprilgridCornerDetect() = default;
AprilgridCornerDetect::AprilgridCornerDetect(AprilgridCornerDetect&&) noexcept = default;
AprilgridCornerDetect& AprilgridCornerDetect::operator=(AprilgridCornerDetect&&) noexcept = default;

cv::Ptr<cv::aruco::DetectorParameters> AprilgridCornerDetect::set_parameters() const {
  auto params = cv::aruco::DetectorParameters::create();
  params->adaptiveThreshWinSizeMin = 7;
  params->adaptiveThreshWinSizeMax = 21;
  params->adaptiveThreshWinSizeStep = 4;
  params->adaptiveThreshConstant = 2;
  params->minMarkerPerimeterRate = 0.025;
  params->maxMarkerPerimeterRate = 2.0;
  params->minDistanceToBorder = 1;
  params->minMarkerDistanceRate = 0.02;
  params->maxErroneousBitsInBorderRate = 0.44;
  params->minOtsuStdDev = 2.0;
  params->cornerRefinementMethod = cv::aruco::CORNER_REFINE_APRILTAG;
  params->cornerRefinementWinSize = 9;
  params->cornerRefinementMaxIterations = 100;
  params->cornerRefinementMinAccuracy = 0.0001;
  params->perspectiveRemoveIgnoredMarginPerCell = 0.11;
  params->errorCorrectionRate = 0.7;
  params->markerBorderBits = tag_border_bits_;
  params->useAruco3Detection = false;
  return params;
}

ArucoDetector AprilgridCornerDetect::init_detector() const {
  return {cv::aruco::getPredefinedDictionary(aruco_dict_), detector_params_};
}

std::optional<TagMap> AprilgridCornerDetect::detect(const cv::Mat& image) {
  const cv::Mat gray = to_gray(image);
  MarkerCorners corners, rejected;
  std::vector<int> ids;
  if (library_detector_) {
    MarkerDetections found = library_detector_->detect(gray);
    corners = std::move(found.corners);
    ids = std::move(found.ids);
  } else {
    detect_with_aruco(gray, corners, ids, rejected);
  }
  last_corners_ = corners;
  last_ids_ = ids.empty() ? std::nullopt : std::optional<std::vector<int>>(ids);
  last_rejected_ = rejected;
  if (corners.empty() || ids.empty()) return std::nullopt;

  TagMap corner_dict;
  for (std::size_t i = 0; i < ids.size() && i < corners.size(); ++i) {
    const int id = ids[i];
    if (target_ids_ &&
        std::find(target_ids_->begin(), target_ids_->end(), id) == target_ids_->end()) {
      continue;
    }
    TagPoints points(5, 2);
    for (int k = 0; k < 4; ++k) points.row(k) << corners[i][k].x, corners[i][k].y;
    points.row(4) = diagonal_crossing(points);
    const auto existing = std::find_if(corner_dict.begin(), corner_dict.end(),
                                       [id](const auto& entry) { return entry.first == id; });
    if (existing != corner_dict.end()) {
      existing->second = std::move(points);
    } else {
      corner_dict.emplace_back(id, std::move(points));
    }
  }
  return corner_dict;
}

void AprilgridCornerDetect::detect_with_aruco(const cv::Mat& gray, MarkerCorners& corners,
                                              std::vector<int>& ids,
                                              MarkerCorners& rejected) const {
  cv::Mat smoothed;
  cv::GaussianBlur(gray, smoothed, cv::Size(3, 3), 0);
  cv::aruco::detectMarkers(smoothed, detector_.dictionary, corners, ids, detector_.parameters,
                           rejected);
  if (detector_.parameters->cornerRefinementMethod == cv::aruco::CORNER_REFINE_APRILTAG) {
    // The AprilTag quad fit puts pixel centres at (0.5, 0.5), OpenCV (and the camera
    // intrinsics the corners are later used with) at (0, 0): without this every corner would
    // sit half a pixel down and right of the true one.
    for (auto& marker : corners) {
      for (auto& corner : marker) corner -= cv::Point2f(0.5f, 0.5f);
    }
  }
}

MarkerCorners AprilgridCornerDetect::_refine_corners_subpix(const cv::Mat& gray,
                                                            const MarkerCorners& corners) const {
  const cv::TermCriteria criteria(cv::TermCriteria::EPS + cv::TermCriteria::MAX_ITER, 100, 0.001);
  const int h = gray.rows;
  const int w = gray.cols;
  MarkerCorners refined;
  for (std::size_t i = 0; i < corners.size(); ++i) {
    if (corners[i].size() != 4) {
      throw std::invalid_argument("Corner set " + std::to_string(i) + " has " +
                                  std::to_string(corners[i].size()) + " points, expected 4");
    }
    const bool inside = std::all_of(corners[i].begin(), corners[i].end(), [&](const auto& p) {
      return p.x >= 0 && p.y >= 0 && p.x < w && p.y < h;
    });
    if (!inside) continue;
    std::vector<cv::Point2f> points = corners[i];
    cv::cornerSubPix(gray, points, cv::Size(5, 5), cv::Size(-1, -1), criteria);
    refined.push_back(std::move(points));
  }
  return refined;
}

cv::Mat AprilgridCornerDetect::draw_detection(const cv::Mat& image,
                                              const std::optional<std::string>& save_path) const {
  cv::Mat canvas = image.clone();
  if (last_rejected_ && !last_rejected_->empty()) {
    for (const auto& candidate : *last_rejected_) {
      std::vector<cv::Point> outline;
      for (const auto& p : candidate) outline.push_back(to_pixel(p.x, p.y));
      cv::polylines(canvas, outline, true, cv::Scalar(255, 0, 0), 1);
    }
  }
  if (last_ids_ && !last_ids_->empty()) {
    cv::aruco::drawDetectedMarkers(canvas, *last_corners_, *last_ids_, cv::Scalar(0, 255, 0));
  }
  if (save_path) cv::imwrite(*save_path, canvas);
  return canvas;
}

cv::Mat AprilgridCornerDetect::draw(const cv::Mat& image, const TagMap& corner_dict,
                                    const std::optional<std::string>& save_path) const {
  cv::Mat canvas = image.clone();
  const cv::Scalar green(0, 255, 0), red(0, 0, 255);
  for (const auto& [id, points] : corner_dict) {
    if (points.rows() < 5) {
      throw std::invalid_argument("Tag " + std::to_string(id) + " has " +
                                  std::to_string(points.rows()) + " points, expected 5");
    }
    std::vector<cv::Point> outline;
    for (int k = 0; k < 4; ++k) outline.push_back(to_pixel(points(k, 0), points(k, 1)));
    const cv::Point centre = to_pixel(points(4, 0), points(4, 1));
    cv::polylines(canvas, outline, true, green, 1);
    cv::circle(canvas, centre, 4, red, -1);
    cv::putText(canvas, "ID:" + std::to_string(id), centre + cv::Point(-10, -15),
                cv::FONT_HERSHEY_SIMPLEX, 0.7, red, 2);
  }
  if (save_path) cv::imwrite(*save_path, canvas);
  return canvas;
}

}  // namespace orvalt::apriltag
