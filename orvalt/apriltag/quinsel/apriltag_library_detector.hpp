#pragma once

#include <memory>
#include <vector>

#include <opencv2/core.hpp>

#include "orvalt/apriltag/quinsel/apriltag_family.hpp"
#include "orvalt/apriltag/quinsel/tag_map.hpp"

struct apriltag_detector;

namespace orvalt::apriltag {

// Markers found in one image: ids[i] is the id of the marker whose corners are corners[i].
struct MarkerDetections {
  MarkerCorners corners;
  std::vector<int> ids;
};

// The AprilTag C library's detector for one family, set up for corner accuracy. It reports
// markers as OpenCV's ArUco detector does: corners clockwise from the tag's own top-left, pixel
// centres at integers. With a border wider than one cell it expects a Kalibr-style AprilGrid
// (black squares touching the tag corners) and refines the corners as the X-corners they are
// there. One instance serves one thread at a time.
class AprilTagLibraryDetector {
 public:
  // aruco_dict and border_bits as make_apriltag_family takes them (and throws for).
  AprilTagLibraryDetector(int aruco_dict, int border_bits);
  ~AprilTagLibraryDetector();
  AprilTagLibraryDetector(const AprilTagLibraryDetector&) = delete;
  AprilTagLibraryDetector& operator=(const AprilTagLibraryDetector&) = delete;

  // `gray`: 8-bit single-channel. Markers in the library's order.
  MarkerDetections detect(const cv::Mat& gray);

 private:
  struct DetectorDeleter {
    void operator()(apriltag_detector* detector) const;
  };
  int border_bits_;
  // Declared before the detector, which refers to it, so that it is freed after it.
  ApriltagFamilyPtr family_;
  std::unique_ptr<apriltag_detector, DetectorDeleter> detector_;
};

}  // namespace orvalt::apriltag
