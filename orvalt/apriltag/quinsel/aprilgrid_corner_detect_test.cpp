#include "orvalt/apriltag/quinsel/aprilgrid_corner_detect.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <opencv2/aruco.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "orvalt/apriltag/castrel/april_tag_generator.hpp"
#include "orvalt/apriltag/castrel/board_renderer.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::apriltag {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr int kWidth = 640;
constexpr int kHeight = 480;
// OpenCV's AprilTag quad fit works on the thresholded pixel grid: an edge that runs along the
// pixel grid comes out up to about half a pixel off, so single corners reach ~0.7 px while the
// error over a view stays near 0.3 px RMS.
constexpr double kMaxCornerError = 0.75;
constexpr double kMaxRmsCornerError = 0.4;

// A camera view of the 6 x 6 board (0.15 m tags on white paper) and its true tag corners.
struct View {
  cv::Mat image;                     // BGR
  std::vector<BoardTag> truth;       // view pixels
  std::vector<cv::Point2d> centres;  // the printed tag centres in view pixels, as truth
};

struct Viewpoint {
  double distance, tilt_x, tilt_y, roll;
  cv::Point2d look_offset_m = {0, 0};  // from the board centre
};

// The standard board (border_bits 1) or the Kalibr-style one (border_bits 2, the same tag
// size and layout, black squares in the gap crossings).
const PrintedBoard& printed_board(int border_bits = 1) {
  static const PrintedBoard standard =
      print_aprilgrid(AprilTagGenerator(), 6, 6, 120, 30, 0, 60, 0.15);
  static const PrintedBoard kalibr_style =
      print_kalibr_grid(AprilTagGenerator("tag36h11", 2), 6, 6, 120, 36, 0, 60, 0.15);
  return border_bits == 2 ? kalibr_style : standard;
}

// Which detector reads which board.
struct DetectorSetup {
  DetectorEngine engine;
  int border_bits;
};
const DetectorSetup kSetups[] = {{DetectorEngine::opencv, 1},
                                 {DetectorEngine::apriltag, 1},
                                 {DetectorEngine::opencv, 2},
                                 {DetectorEngine::apriltag, 2}};

std::string name_of(const DetectorSetup& setup) {
  return detector_engine_name(setup.engine) + ", border " + std::to_string(setup.border_bits);
}

AprilgridCornerDetect detector_for(const DetectorSetup& setup,
                                   std::optional<std::vector<int>> target_ids = std::nullopt) {
  return AprilgridCornerDetect("APRILTAG_36h11", 0.15, std::move(target_ids), setup.engine,
                               setup.border_bits);
}

cv::Mat add_noise(const cv::Mat& gray, double sigma) {
  cv::Mat noise(gray.size(), CV_16S);
  cv::RNG rng(1234);
  rng.fill(noise, cv::RNG::NORMAL, 0, sigma);
  cv::Mat noisy;
  gray.convertTo(noisy, CV_16S);
  cv::add(noisy, noise, noisy);
  noisy.convertTo(noisy, CV_8U);
  return noisy;
}

View render(const Viewpoint& viewpoint, double noise_sigma = 0, double blur_sigma = 0,
            int border_bits = 1) {
  const PrintedBoard& board = printed_board(border_bits);
  const cv::Matx33d K(500, 0, 319.5, 0, 500, 239.5, 0, 0, 1);
  const cv::Matx44d camera_from_board =
      look_at_board(board.centre_m() + viewpoint.look_offset_m, viewpoint.distance,
                    viewpoint.tilt_x, viewpoint.tilt_y, viewpoint.roll);
  const cv::Matx33d H = board_view_homography(K, camera_from_board, board.metres_per_pixel);
  cv::Mat gray = render_board_view(board.paper, H, {kWidth, kHeight});
  if (blur_sigma > 0) cv::GaussianBlur(gray, gray, cv::Size(0, 0), blur_sigma);
  if (noise_sigma > 0) gray = add_noise(gray, noise_sigma);
  View view;
  cv::cvtColor(gray, view.image, cv::COLOR_GRAY2BGR);
  view.truth = project_tags(board.tags, H);
  for (const BoardTag& tag : board.tags) {
    const cv::Point2d paper_centre = (tag.corners[0] + tag.corners[2]) * 0.5;
    const cv::Vec3d centre = H * cv::Vec3d(paper_centre.x, paper_centre.y, 1.0);
    view.centres.emplace_back(centre[0] / centre[2], centre[1] / centre[2]);
  }
  return view;
}

cv::Rect2d bounding_box(const BoardTag& tag) {
  const auto [min_x, max_x] =
      std::minmax({tag.corners[0].x, tag.corners[1].x, tag.corners[2].x, tag.corners[3].x});
  const auto [min_y, max_y] =
      std::minmax({tag.corners[0].y, tag.corners[1].y, tag.corners[2].y, tag.corners[3].y});
  return {min_x, min_y, max_x - min_x, max_y - min_y};
}

const TagPoints* find_tag(const TagMap& map, int id) {
  for (const auto& [key, points] : map) {
    if (key == id) return &points;
  }
  return nullptr;
}

// How well a setup reads a board: the share of the visible tags it must find and how close
// their corners must be.
struct Expectation {
  double min_found_share = 1.0;
  double max_corner_error = kMaxCornerError;
  double max_rms_corner_error = kMaxRmsCornerError;
};

Expectation expectation_of(const DetectorSetup& setup) {
  // OpenCV's contour search takes the black squares that touch a Kalibr-style tag's corners
  // into the tag's outline: it misses some tags and its corners come out up to about a pixel
  // off (measured: 0.71 px RMS fronto-parallel).
  if (setup.engine == DetectorEngine::opencv && setup.border_bits == 2) return {0.6, 1.5, 0.8};
  return {};
}

// The tags that lie wholly inside the image and off `cover` are found (all of them, or the
// setup's share) with their corners in the tag's own order, close to the truth; no id outside
// the board is reported.
void expect_board_found(const View& view, const std::string& label, const cv::Rect2d& cover = {},
                        const DetectorSetup& setup = kSetups[0]) {
  SCOPED_TRACE(label + " (" + name_of(setup) + ")");
  const Expectation expected = expectation_of(setup);
  AprilgridCornerDetect detector = detector_for(setup);
  const auto map = detector.detect(view.image);
  ASSERT_TRUE(map.has_value());
  const cv::Rect2d inside(3, 3, kWidth - 6, kHeight - 6);
  int visible = 0, found_count = 0;
  double squared_sum = 0;
  for (const BoardTag& tag : view.truth) {
    const cv::Rect2d box = bounding_box(tag);
    if ((box & inside) != box || (box & cover).area() > 0) continue;
    ++visible;
    const TagPoints* found = find_tag(*map, tag.id);
    if (found == nullptr) {
      if (expected.min_found_share == 1.0) ADD_FAILURE() << "tag " << tag.id << " not found";
      continue;
    }
    ++found_count;
    for (int k = 0; k < 4; ++k) {
      const double error =
          std::hypot((*found)(k, 0) - tag.corners[k].x, (*found)(k, 1) - tag.corners[k].y);
      EXPECT_LT(error, expected.max_corner_error) << "tag " << tag.id << " corner " << k;
      squared_sum += error * error;
    }
  }
  ASSERT_GT(visible, 0);
  EXPECT_GE(found_count, expected.min_found_share * visible);
  if (found_count > 0) {
    EXPECT_LT(std::sqrt(squared_sum / (4 * found_count)), expected.max_rms_corner_error);
  }
  for (const auto& [id, points] : *map) EXPECT_TRUE(id >= 0 && id < 36) << "id " << id;
}

TEST(AprilgridCornerDetectTest, FindsEveryVisibleTagAtSeveralDistancesAndTilts) {
  expect_board_found(render({1.5, 0, 0, 0}), "fronto-parallel");
  expect_board_found(render({2.0, 0.5, 0, 0.1}), "tilted about x");
  expect_board_found(render({1.8, 0, -0.6, -0.2}), "tilted about y");
  expect_board_found(render({2.4, 0.3, 0.4, 0.5}), "far and tilted");
  expect_board_found(render({1.2, 0.2, 0.2, 0, {0.25, 0.2}}), "close, board leaving the view");
}

TEST(AprilgridCornerDetectTest, CornersStartAtTheTagsOwnTopLeftWhateverTheImageRotation) {
  for (const double roll : {M_PI / 2, M_PI, -M_PI / 2 + 0.3}) {
    expect_board_found(render({1.8, 0.1, 0.1, roll}), "roll " + std::to_string(roll));
  }
}

TEST(AprilgridCornerDetectTest, BothEnginesReadBothBorderStylesWithTheSameTagMap) {
  for (const DetectorSetup& setup : kSetups) {
    const auto view = [&](const Viewpoint& viewpoint, double noise = 0, double blur = 0) {
      return render(viewpoint, noise, blur, setup.border_bits);
    };
    expect_board_found(view({1.5, 0, 0, 0}), "fronto-parallel", {}, setup);
    expect_board_found(view({1.5, 0.1, 0.1, M_PI / 2}), "rolled a quarter turn", {}, setup);
    // OpenCV finds no Kalibr-style tag once noise and blur come in.
    if (setup.engine == DetectorEngine::opencv && setup.border_bits == 2) continue;
    expect_board_found(view({1.4, -0.3, 0.3, -2.5}, 3.0, 0.8), "tilted, rolled, noise and blur", {},
                       setup);
  }
}

TEST(AprilgridCornerDetectTest, StandardBorderCannotReadAKalibrStyleBoard) {
  const View view = render({1.5, 0, 0, 0}, 0, 0, 2);
  for (const DetectorEngine engine : {DetectorEngine::opencv, DetectorEngine::apriltag}) {
    const auto map = detector_for({engine, 1}).detect(view.image);
    EXPECT_TRUE(!map || map->empty())
        << detector_engine_name(engine) << " found " << (map ? map->size() : 0) << " tags";
  }
  EXPECT_THROW(
      AprilgridCornerDetect("APRILTAG_36h11", 0.15, std::nullopt, DetectorEngine::opencv, 0),
      std::invalid_argument);
}

TEST(AprilgridCornerDetectTest, ToleratesNoiseBlurAndACoveredPart) {
  expect_board_found(render({1.8, 0.3, 0.2, 0.2}, 4.0), "noise");
  expect_board_found(render({1.8, 0.3, 0.2, 0.2}, 0, 1.0), "blur");
  expect_board_found(render({1.6, -0.3, 0.3, 0}, 3.0, 0.8), "noise and blur");
  View covered = render({1.6, 0.2, 0, 0});
  const cv::Rect2d cover(250, 150, 160, 140);
  cv::rectangle(covered.image, cover, cv::Scalar(90, 90, 90), cv::FILLED);
  expect_board_found(covered, "partly covered", cover);
}

TEST(AprilgridCornerDetectTest, MapEntriesAreFiveRowsWithTheTagCentreLast) {
  // Close and steeply turned, so that perspective moves the corners' mean off the centre.
  const View view = render({1.0, 0.5, -0.6, 0.3});
  for (const DetectorEngine engine : {DetectorEngine::opencv, DetectorEngine::apriltag}) {
    SCOPED_TRACE(detector_engine_name(engine));
    AprilgridCornerDetect detector = detector_for({engine, 1});
    const auto map = detector.detect(view.image);
    ASSERT_TRUE(map.has_value());
    ASSERT_TRUE(detector.last_ids().has_value());
    double crossing_squares = 0;
    double mean_squares = 0;
    for (std::size_t i = 0; i < map->size(); ++i) {
      const auto& [id, points] = (*map)[i];
      // Detection order, the raw corners as reported.
      EXPECT_EQ(id, (*detector.last_ids())[i]);
      ASSERT_EQ(points.rows(), 5);
      const auto& raw = (*detector.last_corners())[i];
      for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(points(k, 0), raw[k].x);
        EXPECT_EQ(points(k, 1), raw[k].y);
      }
      const cv::Point2d centre = view.centres[static_cast<std::size_t>(id)];
      const double crossing_error = std::hypot(points(4, 0) - centre.x, points(4, 1) - centre.y);
      EXPECT_LT(crossing_error, engine == DetectorEngine::opencv ? kMaxCornerError : 1.0)
          << "tag " << id;
      crossing_squares += crossing_error * crossing_error;
      const Eigen::RowVector2f mean = points.topRows(4).colwise().mean();
      mean_squares += std::pow(std::hypot(mean(0) - centre.x, mean(1) - centre.y), 2);
    }
    ASSERT_GT(map->size(), 10u);
    // Measured: 0.13 px RMS for the crossing, 0.64 px for the corners' mean.
    // The library's corners are less sure this close and steep: 0.19 px RMS for the crossing.
    EXPECT_LT(std::sqrt(crossing_squares / map->size()), 0.25);
    EXPECT_LT(crossing_squares, 0.25 * mean_squares);
  }
}

TEST(AprilgridCornerDetectTest, TargetIdsFilterTheMap) {
  const View view = render({1.6, 0, 0, 0});
  for (const DetectorEngine engine : {DetectorEngine::opencv, DetectorEngine::apriltag}) {
    SCOPED_TRACE(detector_engine_name(engine));
    const auto all = detector_for({engine, 1}).detect(view.image);
    ASSERT_TRUE(all.has_value());
    EXPECT_EQ(all->size(), 36u);

    const auto four = detector_for({engine, 1}, std::vector<int>{0, 1, 2, 3}).detect(view.image);
    ASSERT_TRUE(four.has_value());
    std::vector<int> keys;
    for (const auto& [id, points] : *four) keys.push_back(id);
    std::sort(keys.begin(), keys.end());
    EXPECT_THAT(keys, ElementsAre(0, 1, 2, 3));

    // Markers found but every id filtered out: an empty map, not "nothing found".
    const auto none = detector_for({engine, 1}, std::vector<int>{}).detect(view.image);
    ASSERT_TRUE(none.has_value());
    EXPECT_THAT(*none, IsEmpty());
  }
}

TEST(AprilgridCornerDetectTest, ARepeatedIdKeepsItsFirstPlaceAndTheLastValue) {
  // Two copies of the same two-tag board side by side.
  const cv::Mat board = AprilTagGenerator().generate_grid(1, 2, 100, 30);
  cv::Mat image(300, 640, CV_8UC1, cv::Scalar(255));
  board.copyTo(image(cv::Rect(40, 100, board.cols, board.rows)));
  board.copyTo(image(cv::Rect(360, 100, board.cols, board.rows)));
  AprilgridCornerDetect detector;
  const auto map = detector.detect(image);
  ASSERT_TRUE(map.has_value());
  const std::vector<int>& ids = *detector.last_ids();
  ASSERT_EQ(ids.size(), 4u);
  std::vector<int> first_appearances;
  for (const int id : ids) {
    if (std::find(first_appearances.begin(), first_appearances.end(), id) ==
        first_appearances.end()) {
      first_appearances.push_back(id);
    }
  }
  ASSERT_EQ(map->size(), 2u);
  for (std::size_t i = 0; i < map->size(); ++i) {
    const auto& [id, points] = (*map)[i];
    EXPECT_EQ(id, first_appearances[i]);
    const auto last = ids.rend() - std::find(ids.rbegin(), ids.rend(), id) - 1;
    EXPECT_EQ(points(0, 0), (*detector.last_corners())[last][0].x);
    EXPECT_EQ(points(0, 1), (*detector.last_corners())[last][0].y);
  }
}

TEST(AprilgridCornerDetectTest, FamilyNamesResolveExactlyOrFallBackTo36h11) {
  EXPECT_EQ(AprilgridCornerDetect().aruco_dict(), cv::aruco::DICT_APRILTAG_36h11);
  EXPECT_EQ(AprilgridCornerDetect("APRILTAG_25h9").aruco_dict(), cv::aruco::DICT_APRILTAG_25h9);
  EXPECT_EQ(AprilgridCornerDetect("4X4_50").aruco_dict(), cv::aruco::DICT_4X4_50);
  EXPECT_EQ(AprilgridCornerDetect("ARUCO_ORIGINAL").aruco_dict(), cv::aruco::DICT_ARUCO_ORIGINAL);
  EXPECT_EQ(AprilgridCornerDetect("apriltag_36h11").aruco_dict(), cv::aruco::DICT_APRILTAG_36h11);
  EXPECT_EQ(AprilgridCornerDetect("APRILTAG_25h9 ").aruco_dict(), cv::aruco::DICT_APRILTAG_36h11);
  EXPECT_EQ(AprilgridCornerDetect("tag25h9").aruco_dict(), cv::aruco::DICT_APRILTAG_36h11);

  // The resolved dictionary is the one detection uses: a 25h9 board is read by a 25h9
  // detector and not by the default one.
  const cv::Mat board = AprilTagGenerator("tag25h9").generate_grid(1, 2, 120, 40);
  cv::Mat image(300, 400, CV_8UC1, cv::Scalar(255));
  board.copyTo(image(cv::Rect(60, 80, board.cols, board.rows)));
  for (const DetectorEngine engine : {DetectorEngine::opencv, DetectorEngine::apriltag}) {
    SCOPED_TRACE(detector_engine_name(engine));
    const auto found =
        AprilgridCornerDetect("APRILTAG_25h9", 0.15, std::nullopt, engine).detect(image);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->size(), 2u);
    const auto standard = detector_for({engine, 1}).detect(image);
    EXPECT_TRUE(!standard || standard->empty());
  }
  // The AprilTag library has the AprilTag families only, and says so.
  EXPECT_THROW(AprilgridCornerDetect("4X4_50", 0.15, std::nullopt, DetectorEngine::apriltag),
               std::invalid_argument);
}

TEST(AprilgridCornerDetectTest, RejectsEmptyAndWronglyShapedImagesWithoutTouchingState) {
  AprilgridCornerDetect detector;
  const auto message = [&](const cv::Mat& image) -> std::string {
    try {
      detector.detect(image);
    } catch (const std::invalid_argument& error) {
      return error.what();
    }
    return "(no std::invalid_argument)";
  };
  EXPECT_EQ(message(cv::Mat()), "Input image is None or empty.");
  EXPECT_EQ(message(cv::Mat(480, 640, CV_8UC4, cv::Scalar::all(255))),
            "Input image is not in BGR or grayscale format. Image shape: (480, 640, 4)");
  EXPECT_EQ(message(cv::Mat(480, 640, CV_16UC1, cv::Scalar(0))),
            "Input image is not in BGR or grayscale format. Image shape: (480, 640)");
  const int sizes[] = {4, 5, 6};
  EXPECT_EQ(message(cv::Mat(3, sizes, CV_8UC1, cv::Scalar(0))),
            "Input image is not in BGR or grayscale format. Image shape: (4, 5, 6)");
  EXPECT_FALSE(detector.last_corners().has_value());
  EXPECT_FALSE(detector.last_rejected().has_value());

  // Three channels pass the format check whatever the element type; OpenCV's detector then
  // refuses 16 bits itself.
  EXPECT_THROW(detector.detect(cv::Mat(48, 64, CV_16UC3, cv::Scalar::all(0))), cv::Exception);
}

TEST(AprilgridCornerDetectTest, NoMarkerGivesNothingAndRecordsAnEmptyDetection) {
  for (const DetectorEngine engine : {DetectorEngine::opencv, DetectorEngine::apriltag}) {
    SCOPED_TRACE(detector_engine_name(engine));
    AprilgridCornerDetect detector = detector_for({engine, 1});
    EXPECT_FALSE(detector.detect(cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(200))).has_value());
    ASSERT_TRUE(detector.last_corners().has_value());
    EXPECT_THAT(*detector.last_corners(), IsEmpty());
    EXPECT_FALSE(detector.last_ids().has_value());
    EXPECT_TRUE(detector.last_rejected().has_value());
  }
}

TEST(AprilgridCornerDetectTest, SubpixRefinementDropsSetsOutsideTheImageAndKeepsOrder) {
  const View view = render({1.6, 0.2, 0.1, 0.2});
  cv::Mat gray;
  cv::cvtColor(view.image, gray, cv::COLOR_BGR2GRAY);
  const auto to_set = [](const BoardTag& tag) {
    std::vector<cv::Point2f> set;
    for (const auto& p : tag.corners) set.emplace_back(p);
    return set;
  };
  // Start a pixel off the truth; the second set has a corner one past the last column.
  MarkerCorners sets = {
      to_set(view.truth[0]), {{10, 10}, {640, 10}, {640, 40}, {10, 40}}, to_set(view.truth[7])};
  for (auto& p : sets[0]) p += cv::Point2f(0.8f, -0.6f);
  const AprilgridCornerDetect detector;
  const MarkerCorners refined = detector._refine_corners_subpix(gray, sets);
  ASSERT_EQ(refined.size(), 2u);
  for (int k = 0; k < 4; ++k) {
    EXPECT_LT(cv::norm(cv::Point2d(refined[0][k]) - view.truth[0].corners[k]), 0.6) << k;
    EXPECT_LT(cv::norm(cv::Point2d(refined[1][k]) - view.truth[7].corners[k]), 0.6) << k;
  }
  EXPECT_THROW(detector._refine_corners_subpix(gray, {{{1, 1}, {2, 2}}}), std::invalid_argument);
}

TEST(AprilgridCornerDetectTest, DrawingWorksOnCopies) {
  const View view = render({1.6, 0, 0, 0});
  for (const DetectorEngine engine : {DetectorEngine::opencv, DetectorEngine::apriltag}) {
    SCOPED_TRACE(detector_engine_name(engine));
    AprilgridCornerDetect detector = detector_for({engine, 1});
    const cv::Mat original = view.image.clone();
    // Before any detection there is nothing to draw.
    EXPECT_EQ(cv::norm(detector.draw_detection(view.image), original, cv::NORM_INF), 0);

    const auto map = detector.detect(view.image);
    ASSERT_TRUE(map.has_value());
    orvalt::testing::TempDir dir;
    const cv::Mat detection = detector.draw_detection(view.image, (dir / "vis.png").string());
    // Every marker outline is drawn, in green.
    cv::Mat green_pixels;
    cv::inRange(detection, cv::Scalar(0, 255, 0), cv::Scalar(0, 255, 0), green_pixels);
    for (const BoardTag& tag : view.truth) {
      const cv::Rect box = cv::Rect(bounding_box(tag)) & cv::Rect(0, 0, kWidth, kHeight);
      EXPECT_GT(cv::countNonZero(green_pixels(box)), 20) << "tag " << tag.id;
    }
    EXPECT_TRUE(std::filesystem::exists(dir / "vis.png"));
    const cv::Mat drawn = detector.draw(view.image, *map);
    EXPECT_GT(cv::norm(drawn, original, cv::NORM_L1), 0);
    EXPECT_EQ(cv::norm(view.image, original, cv::NORM_INF), 0);

    // An empty map gives an unchanged copy, still written.
    const cv::Mat empty = detector.draw(view.image, {}, (dir / "empty.png").string());
    EXPECT_EQ(cv::norm(empty, original, cv::NORM_INF), 0);
    EXPECT_EQ(cv::norm(cv::imread((dir / "empty.png").string()), original, cv::NORM_INF), 0);
  }
}

TEST(AprilgridCornerDetectTest, DrawTruncatesCoordinatesAndClipsAtTheBorder) {
  const cv::Mat white(40, 40, CV_8UC3, cv::Scalar::all(255));
  TagPoints points(5, 2);
  points << 1.9f, 2.9f, 9.9f, 3.2f, 9.5f, 11.2f, 2.2f, 10.7f, 5.9f, 7.2f;
  const cv::Mat drawn = AprilgridCornerDetect().draw(white, {{3, points}});
  // The centre dot at (5, 7) is red, the outline's first corner at (1, 2) green; the text
  // origin (-5, -8) lies outside and is clipped.
  EXPECT_EQ(drawn.at<cv::Vec3b>(7, 5), cv::Vec3b(0, 0, 255));
  EXPECT_EQ(drawn.at<cv::Vec3b>(2, 1), cv::Vec3b(0, 255, 0));
  EXPECT_EQ(drawn.at<cv::Vec3b>(39, 39), cv::Vec3b(255, 255, 255));
  EXPECT_THROW(AprilgridCornerDetect().draw(white, {{3, TagPoints(4, 2)}}), std::invalid_argument);
}

}  // namespace
}  // namespace orvalt::apriltag
