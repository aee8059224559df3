#pragma once

#include <memory>

struct apriltag_family;

namespace orvalt::apriltag {

// Frees a family with the library function that made it.
struct ApriltagFamilyDeleter {
  void (*destroy)(apriltag_family*) = nullptr;
  void operator()(apriltag_family* family) const { destroy(family); }
};
using ApriltagFamilyPtr = std::unique_ptr<apriltag_family, ApriltagFamilyDeleter>;

// The AprilTag library's family for an OpenCV AprilTag dictionary (cv::aruco::DICT_APRILTAG_16h5,
// _25h9, _36h10, _36h11), with its code inside a black border `border_bits` cells wide: 1 is
// the library's own family, 2 the border of Kalibr-style AprilGrids. Throws
// std::invalid_argument for another dictionary or border_bits below 1.
ApriltagFamilyPtr make_apriltag_family(int aruco_dict, int border_bits);

}  // namespace orvalt::apriltag
