#include "orvalt/apriltag/quinsel/apriltag_family.hpp"

#include <stdexcept>
#include <string>

#include <apriltag/apriltag.h>
#include <apriltag/tag16h5.h>
#include <apriltag/tag25h9.h>
#include <apriltag/tag36h10.h>
#include <apriltag/tag36h11.h>
#include <opencv2/aruco/dictionary.hpp>

namespace orvalt::apriltag {

ApriltagFamilyPtr make_apriltag_family(int aruco_dict, int border_bits) {
  if (border_bits < 1) {
    throw std::invalid_argument("Tag border must be at least 1 cell wide, got " +
                                std::to_string(border_bits));
  }
  ApriltagFamilyPtr family;
  switch (aruco_dict) {
    case cv::aruco::DICT_APRILTAG_16h5:
      family = ApriltagFamilyPtr(tag16h5_create(), {tag16h5_destroy});
      break;
    case cv::aruco::DICT_APRILTAG_25h9:
      family = ApriltagFamilyPtr(tag25h9_create(), {tag25h9_destroy});
      break;
    case cv::aruco::DICT_APRILTAG_36h10:
      family = ApriltagFamilyPtr(tag36h10_create(), {tag36h10_destroy});
      break;
    case cv::aruco::DICT_APRILTAG_36h11:
      family = ApriltagFamilyPtr(tag36h11_create(), {tag36h11_destroy});
      break;
    default:
      throw std::invalid_argument(
          "The AprilTag library has no family for OpenCV dictionary " + std::to_string(aruco_dict) +
          "; use tag_family APRILTAG_16h5, APRILTAG_25h9, APRILTAG_36h10 or APRILTAG_36h11");
  }
  // The library places each code bit by its cell, counted from the outer edge of the black
  // border, and finds the quad at width_at_border cells: a wider border moves every bit
  // inwards and widens the quad by the extra cells on both sides. The codes stay the same.
  const int extra = border_bits - 1;
  for (uint32_t bit = 0; bit < family->nbits; ++bit) {
    family->bit_x[bit] += extra;
    family->bit_y[bit] += extra;
  }
  family->width_at_border += 2 * extra;
  family->total_width += 2 * extra;
  return family;
}

}  // namespace orvalt::apriltag
