#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "orvalt/apriltag/quinsel/detector_engine.hpp"
#include "orvalt/apriltag/quinsel/tag_map.hpp"

namespace cv::aruco {
class Dictionary;
struct DetectorParameters;
}  // namespace cv::aruco

namespace orvalt::apriltag {

// What cv::aruco::detectMarkers needs: the marker dictionary and the detector parameters.
struct ArucoDetector {
  cv::Ptr<cv::aruco::Dictionary> dictionary;
  cv::Ptr<cv::aruco::DetectorParameters> parameters;
};

class AprilTagLibraryDetector;

// Finds the AprilTags of an AprilGrid board in one image, with a tuned ArUco detector and the
// AprilTag corner refinement or with the AprilTag C library. Keeps the last detection for
// drawing, so one instance serves one thread at a time.
class AprilgridCornerDetect {
 public:
  // tag_family names the OpenCV dictionary "DICT_" + tag_family (exact, case-sensitive);
  // unknown names fall back to DICT_APRILTAG_36h11. tag_size_m is kept for callers.
  // target_ids, when given, are the only ids detect() keeps. tag_border_bits is the width of
  // the tags' black border in code cells: 1 for standard tags, 2 for Kalibr-style AprilGrids.
  // Throws std::invalid_argument for tag_border_bits below 1, and with the apriltag engine
  // for a dictionary the AprilTag library has no family for.
  explicit AprilgridCornerDetect(std::string tag_family = "APRILTAG_36h11",
                                 double tag_size_m = 0.15,
                                 std::optional<std::vector<int>> target_ids = std::nullopt,
                                 DetectorEngine engine = DetectorEngine::opencv,
                                 int tag_border_bits = 1);
  ~AprilgridCornerDetect();
  AprilgridCornerDetect(AprilgridCornerDetect&&) noexcept;
  AprilgridCornerDetect& operator=(AprilgridCornerDetect&&) noexcept;

  // The tuned detector parameters for tag_border_bits() (a new object on every call).
  cv::Ptr<cv::aruco::DetectorParameters> set_parameters() const;
  // The dictionary aruco_dict() with detector_params() (a new pair on every call).
  ArucoDetector init_detector() const;

  // `image`: 8-bit grey (H x W) or 3-channel BGR. Returns the tags (rows 0-3 the corners,
  // clockwise from the tag's own top-left, row 4 where the diagonals cross, the image of the
  // tag's centre) in detection order, alike from both engines, or std::nullopt when no marker
  // was found; an empty map when every id was filtered out. Throws std::invalid_argument for an
  // empty image or another layout; the last detection is then left as it was.
  std::optional<TagMap> detect(const cv::Mat& image);

  // Not called by detect(): an extra sub-pixel pass for callers that want one.
  // Each set of four corners refined with cv::cornerSubPix on `gray` (11 x 11 window); sets
  // with a point outside the image are dropped. Throws std::invalid_argument for a set that
  // does not hold four points.
  MarkerCorners _refine_corners_subpix(const cv::Mat& gray, const MarkerCorners& corners) const;

  // A copy of `image` (the one passed to the last detect()) with the rejected candidates in
  // blue (the opencv engine's only) and the detected markers in green; written to save_path
  // when given.
  cv::Mat draw_detection(const cv::Mat& image,
                         const std::optional<std::string>& save_path = std::nullopt) const;
  // A copy of `image` with each tag's outline (green), centre dot and "ID:<id>" (red); written
  // to save_path when given. Throws std::invalid_argument for an entry with fewer than 5 rows.
  cv::Mat draw(const cv::Mat& image, const TagMap& corner_dict,
               const std::optional<std::string>& save_path = std::nullopt) const;

  const std::string& tag_family() const { return tag_family_; }
  double tag_size_m() const { return tag_size_m_; }
  const std::optional<std::vector<int>>& target_ids() const { return target_ids_; }
  DetectorEngine engine() const { return engine_; }
  int tag_border_bits() const { return tag_border_bits_; }
  // The OpenCV predefined dictionary identifier (cv::aruco::PREDEFINED_DICTIONARY_NAME).
  int aruco_dict() const { return aruco_dict_; }
  const cv::Ptr<cv::aruco::DetectorParameters>& detector_params() const { return detector_params_; }
  const ArucoDetector& detector() const { return detector_; }

  // The marker detector's result of the last detection, before id filtering (corners with
  // pixel centres at integers, as in the tag map); std::nullopt before the first. last_ids()
  // is also std::nullopt after a detection that found no marker. The apriltag engine reports
  // no rejected candidates.
  const std::optional<MarkerCorners>& last_corners() const { return last_corners_; }
  const std::optional<std::vector<int>>& last_ids() const { return last_ids_; }
  const std::optional<MarkerCorners>& last_rejected() const { return last_rejected_; }

 private:
  // cv::aruco::detectMarkers on the blurred image, corners moved to OpenCV's pixel convention.
  void detect_with_aruco(const cv::Mat& gray, MarkerCorners& corners, std::vector<int>& ids,
                         MarkerCorners& rejected) const;

  std::string tag_family_;
  double tag_size_m_;
  std::optional<std::vector<int>> target_ids_;
  DetectorEngine engine_;
  int tag_border_bits_;
  int aruco_dict_;
  cv::Ptr<cv::aruco::DetectorParameters> detector_params_;
  ArucoDetector detector_;
  std::unique_ptr<AprilTagLibraryDetector> library_detector_;  // the apriltag engine's only
  std::optional<MarkerCorners> last_corners_;
  std::optional<std::vector<int>> last_ids_;
  std::optional<MarkerCorners> last_rejected_;
};

}  // namespace orvalt::apriltag
