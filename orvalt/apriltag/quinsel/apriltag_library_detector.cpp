#include "orvalt/apriltag/quinsel/apriltag_library_detector.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <apriltag/apriltag.h>
#include <opencv2/imgproc.hpp>

namespace orvalt::apriltag {

void AprilTagLibraryDetector::DetectorDeleter::operator()(apriltag_detector* detector) const {
  apriltag_detector_destroy(detector);
}

namespace {

// On a Kalibr-style AprilGrid each tag corner touches a black square, so the corner is an X
// like a chessboard's, and where the two black parts meet the threshold joins them about half
// of the time; the white gap around the tag then splits into four pieces and the library finds
// no quad. Letting white grow by one pixel separates them on real photos (36 of 36 tags on each
// Kalibr-style photo, against 9 to 22 without), at the price of edges one pixel inwards, which
// the X-corner refinement on the original image then removes.
cv::Mat separate_corner_squares(const cv::Mat& gray) {
  cv::Mat separated;
  cv::dilate(gray, separated, cv::getStructuringElement(cv::MORPH_CROSS, {3, 3}));
  return separated;
}

// Sub-pixel X-corners: the window reaches about one code cell from the corner, so it stays
// inside the tag's 2-cell border and the 3-cell square on the other side.
void refine_x_corners(const cv::Mat& gray, std::vector<cv::Point2f>& corners) {
  double side = 0;
  for (std::size_t k = 0; k < corners.size(); ++k) {
    side += cv::norm(corners[(k + 1) % corners.size()] - corners[k]) / corners.size();
  }
  const int half = std::max(2, static_cast<int>(std::lround(side / 10)));
  const cv::TermCriteria criteria(cv::TermCriteria::EPS + cv::TermCriteria::MAX_ITER, 100, 0.001);
  cv::cornerSubPix(gray, corners, cv::Size(half, half), cv::Size(-1, -1), criteria);
}

}  // namespace

AprilTagLibraryDetector::AprilTagLibraryDetector(int aruco_dict, int border_bits)
    : border_bits_(border_bits),
      family_(make_apriltag_family(aruco_dict, border_bits)),
      detector_(apriltag_detector_create()) {
  // Accuracy first: the quad search runs at full resolution (decimating by 2 halves the time
  // but loses tags narrower than about 20 px and moves the corners that refine_edges then
  // only partly restores), without extra smoothing, and the edges are refined on the
  // full-resolution image.
  detector_->quad_decimate = 1.0f;
  detector_->quad_sigma = 0.0f;
  detector_->refine_edges = true;
  // One thread: the calibration already runs one detector per worker on all processors but
  // one, so the library's own threads would only compete with those; results do not depend on
  // the thread count.
  detector_->nthreads = 1;
  // Tiles whose brightest and darkest pixel differ by less than this are left out of the
  // segmentation. The library's 5 lets sensor noise at full resolution through as thousands of
  // tiny edges, which took 3 to 5 times as long on noisy 640 x 480 views; at 15 the same tags
  // were found, on the dim real photos too.
  detector_->qtp.min_white_black_diff = 15;
  // One corrected bit: every detection worker builds its own detector, and the library's table
  // for two bits takes about 100 ms to build against 0.2 ms for one; on the real photos both
  // found the same tags, and fewer corrected bits can only mean fewer false ids.
  apriltag_detector_add_family_bits(detector_.get(), family_.get(), 1);
}

AprilTagLibraryDetector::~AprilTagLibraryDetector() = default;

MarkerDetections AprilTagLibraryDetector::detect(const cv::Mat& gray) {
  if (gray.type() != CV_8UC1 || gray.dims != 2) {
    throw std::invalid_argument("The AprilTag library detector needs an 8-bit grey image");
  }
  // The library copies the image before it works on it, so the cast never lets it write.
  const bool kalibr_style = border_bits_ > 1;
  const cv::Mat searched = kalibr_style ? separate_corner_squares(gray) : gray;
  image_u8_t image{searched.cols, searched.rows, static_cast<int32_t>(searched.step[0]),
                   const_cast<uint8_t*>(searched.ptr<uint8_t>())};
  zarray_t* found = apriltag_detector_detect(detector_.get(), &image);
  if (found == nullptr) throw std::runtime_error("The AprilTag library detector failed");
  MarkerDetections detections;
  for (int i = 0; i < zarray_size(found); ++i) {
    apriltag_detection_t* detection = nullptr;
    zarray_get(found, i, &detection);
    // The library starts at the tag's bottom-right corner and goes the other way round, and
    // puts pixel centres at (0.5, 0.5).
    std::vector<cv::Point2f> corners;
    for (const int k : {1, 0, 3, 2}) {
      corners.emplace_back(static_cast<float>(detection->p[k][0] - 0.5),
                           static_cast<float>(detection->p[k][1] - 0.5));
    }
    if (kalibr_style) refine_x_corners(gray, corners);
    detections.corners.push_back(std::move(corners));
    detections.ids.push_back(detection->id);
  }
  apriltag_detections_destroy(found);
  return detections;
}

}  // namespace orvalt::apriltag
