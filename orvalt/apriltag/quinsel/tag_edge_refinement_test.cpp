#include "orvalt/apriltag/quinsel/tag_edge_refinement.hpp"

#include <cmath>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "orvalt/apriltag/castrel/april_tag_generator.hpp"
#include "orvalt/apriltag/castrel/board_renderer.hpp"
#include "orvalt/apriltag/quinsel/aprilgrid_corner_detect.hpp"

namespace orvalt::apriltag {
namespace {

const cv::Matx33d kCamera(386.2, 0, 321.4, 0, 385.7, 238.9, 0, 0, 1);
const cv::Size kImageSize(640, 480);

// A 2 x 3 AprilGrid seen from `distance` metres at the given tilts, with a camera's blur and
// shot noise, and its tags' true corners in the view.
struct View {
  cv::Mat image;
  std::vector<BoardTag> tags;
};

View render_view(double distance, double tilt_x, double tilt_y, double roll, int seed) {
  const AprilTagGenerator generator;
  const PrintedBoard board = print_aprilgrid(generator, 2, 3, 80, 24, 0, 40, 0.15);
  const cv::Matx33d view_from_board = board_view_homography(
      kCamera, look_at_board(board.centre_m(), distance, tilt_x, tilt_y, roll),
      board.metres_per_pixel);
  cv::Mat image = render_board_view(board.paper, view_from_board, kImageSize, 8, 200);
  cv::GaussianBlur(image, image, cv::Size(0, 0), 0.6);
  cv::Mat noise(image.size(), CV_16S);
  cv::RNG rng(seed);
  rng.fill(noise, cv::RNG::NORMAL, 0, 2.0);
  image.convertTo(image, CV_16S);
  image += noise;
  image.convertTo(image, CV_8U);
  return {image, project_tags(board.tags, view_from_board)};
}

double corner_error(const TagPoints& points, const BoardTag& truth, int corner) {
  return std::hypot(points(corner, 0) - truth.corners[corner].x,
                    points(corner, 1) - truth.corners[corner].y);
}

const BoardTag& truth_of(const View& view, int id) {
  for (const BoardTag& tag : view.tags) {
    if (tag.id == id) return tag;
  }
  throw std::out_of_range("no tag " + std::to_string(id));
}

// Near, far, tilted and rolled views: the corners from the edges are within a few hundredths
// of a pixel of the true ones, where the detector's own are tenths off.
TEST(TagEdgeRefinementTest, CornersFromEdgesAreFarCloserThanTheDetectors) {
  AprilgridCornerDetect detector("APRILTAG_36h11", 0.15);
  double detector_squares = 0.0, edge_squares = 0.0, worst = 0.0;
  int corners = 0;
  const double views[][4] = {
      {0.9, 0.0, 0.0, 0.0}, {1.2, 0.5, 0.0, 0.1}, {1.6, 0.0, -0.6, -0.2}, {1.1, 0.4, 0.5, 0.3}};
  int seed = 1;
  for (const auto& pose : views) {
    const View view = render_view(pose[0], pose[1], pose[2], pose[3], seed++);
    const std::optional<TagMap> found = detector.detect(view.image);
    ASSERT_TRUE(found);
    const TagMap refined = refine_tags_edges(view.image, *found);
    EXPECT_EQ(refined.size(), found->size()) << "every tag of a clean view fits";
    for (std::size_t i = 0; i < refined.size(); ++i) {
      const auto& [id, points] = refined[i];
      const auto detected = std::find_if(found->begin(), found->end(),
                                         [id = id](const auto& tag) { return tag.first == id; });
      for (int c = 0; c < 4; ++c) {
        const double error = corner_error(points, truth_of(view, id), c);
        edge_squares += error * error;
        worst = std::max(worst, error);
        const double detector_error = corner_error(detected->second, truth_of(view, id), c);
        detector_squares += detector_error * detector_error;
        ++corners;
      }
    }
  }
  ASSERT_GT(corners, 60);
  const double edge_rms = std::sqrt(edge_squares / corners);
  EXPECT_LT(edge_rms, 0.04);
  EXPECT_LT(worst, 0.12);
  EXPECT_LT(edge_rms, 0.3 * std::sqrt(detector_squares / corners));
}

TEST(TagEdgeRefinementTest, RefusesWhatIsNotAClearTag) {
  const View view = render_view(1.0, 0.0, 0.0, 0.0, 7);
  const cv::Mat& gray = view.image;
  ASSERT_EQ(gray.type(), CV_8UC1);
  TagPoints true_corners(4, 2);
  for (int c = 0; c < 4; ++c) {
    true_corners.row(c) << static_cast<float>(view.tags[0].corners[c].x),
        static_cast<float>(view.tags[0].corners[c].y);
  }
  ASSERT_TRUE(refine_tag_edges(gray, true_corners));

  // No edges at all: a plain grey image.
  const cv::Mat plain(kImageSize, CV_8UC1, cv::Scalar(128));
  EXPECT_FALSE(refine_tag_edges(plain, true_corners));
  // A quad several pixels off the tag would be pulled onto it: not the corners it stood for.
  TagPoints shifted = true_corners;
  shifted.col(0).array() += 5.0f;
  EXPECT_FALSE(refine_tag_edges(gray, shifted));
  // Too small for its sides to hold enough edge points.
  TagPoints tiny = true_corners;
  for (int c = 0; c < 4; ++c)
    tiny.row(c) = true_corners.row(0) + (true_corners.row(c) - true_corners.row(0)) * 0.1f;
  EXPECT_FALSE(refine_tag_edges(gray, tiny));

  // Only the tags that fit stay, under their ids.
  const TagMap tags = {{4, shifted}, {0, true_corners}};
  const TagMap kept = refine_tags_edges(view.image, tags);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].first, 0);
}

}  // namespace
}  // namespace orvalt::apriltag
