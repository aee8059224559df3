#include "orvalt/apriltag/quinsel/apriltag_family.hpp"

#include <cstdlib>
#include <stdexcept>
#include <string>

#include <apriltag/apriltag.h>
#include <gtest/gtest.h>
#include <opencv2/aruco.hpp>
#include <opencv2/core.hpp>

namespace orvalt::apriltag {
namespace {

// The library's own drawing of a family's marker, without its white frame, one pixel per cell,
// turned half a turn: OpenCV's dictionaries draw the library's codes that way round (the ids
// are the same; the detectors' corner order accounts for the turn).
cv::Mat library_marker(apriltag_family* family, int id) {
  image_u8_t* drawn = apriltag_to_image(family, id);
  const int frame = (family->total_width - family->width_at_border) / 2;
  cv::Mat marker =
      cv::Mat(drawn->height, drawn->width, CV_8UC1, drawn->buf, static_cast<size_t>(drawn->stride))(
          cv::Rect(frame, frame, family->width_at_border, family->width_at_border))
          .clone();
  cv::rotate(marker, marker, cv::ROTATE_180);
  // The library does not export image_u8_destroy; this is what it does.
  std::free(drawn->buf);
  std::free(drawn);
  return marker;
}

TEST(ApriltagFamilyTest, CodesSitInsideABorderAsWideAsAskedLikeOpenCVDrawsThem) {
  for (const int dictionary : {cv::aruco::DICT_APRILTAG_16h5, cv::aruco::DICT_APRILTAG_25h9,
                               cv::aruco::DICT_APRILTAG_36h10, cv::aruco::DICT_APRILTAG_36h11}) {
    const auto opencv_dictionary = cv::aruco::getPredefinedDictionary(dictionary);
    for (const int border_bits : {1, 2}) {
      SCOPED_TRACE("dictionary " + std::to_string(dictionary) + ", border " +
                   std::to_string(border_bits));
      const ApriltagFamilyPtr family = make_apriltag_family(dictionary, border_bits);
      EXPECT_EQ(family->width_at_border, opencv_dictionary->markerSize + 2 * border_bits);
      for (const int id : {0, 1, 17, 29}) {
        cv::Mat drawn_by_opencv;
        cv::aruco::drawMarker(opencv_dictionary, id, family->width_at_border, drawn_by_opencv,
                              border_bits);
        EXPECT_EQ(cv::norm(library_marker(family.get(), id), drawn_by_opencv, cv::NORM_INF), 0)
            << "id " << id;
      }
    }
  }
}

TEST(ApriltagFamilyTest, RefusesWhatTheLibraryCannotRead) {
  EXPECT_THROW(make_apriltag_family(cv::aruco::DICT_4X4_50, 1), std::invalid_argument);
  EXPECT_THROW(make_apriltag_family(cv::aruco::DICT_ARUCO_ORIGINAL, 1), std::invalid_argument);
  EXPECT_THROW(make_apriltag_family(cv::aruco::DICT_APRILTAG_36h11, 0), std::invalid_argument);
}

}  // namespace
}  // namespace orvalt::apriltag
