// Time per image and corner accuracy of AprilgridCornerDetect, with each detection engine,
// against the AprilRobotics apriltag library (tag36h11, its default settings) on the same
// rendered views of a 6 x 6 AprilGrid with known true corners; then recall, false ids, time
// and corner agreement with the library on the real camera images of the shared fixtures
// (standard tags and Kalibr-style AprilGrids), when that folder is there.

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <apriltag/apriltag.h>
#include <apriltag/tag36h11.h>
#include <fmt/format.h>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "orvalt/apriltag/castrel/april_tag_generator.hpp"
#include "orvalt/apriltag/castrel/board_renderer.hpp"
#include "orvalt/apriltag/quinsel/aprilgrid_corner_detect.hpp"
#include "orvalt/common/argument_parser.hpp"
#include "orvalt/testing/real_image_truth.hpp"

namespace {

using orvalt::apriltag::BoardTag;
using Corners = std::array<cv::Point2d, 4>;
using orvalt::testing::read_truth;
using orvalt::testing::TruthImage;

struct Detection {
  int id;
  Corners corners;  // OpenCV pixel convention: pixel centres at integers
};

struct View {
  cv::Mat gray;
  std::vector<BoardTag> truth;
};

// Seeded camera views: 1.2 to 2.6 m away (tags 30 to 60 px wide), tilted up to about 30
// degrees, any roll, some blur and sensor noise.
std::vector<View> render_views(int count, unsigned seed) {
  const auto board = orvalt::apriltag::print_aprilgrid(orvalt::apriltag::AprilTagGenerator(), 6, 6,
                                                       120, 30, 0, 60, 0.15);
  const cv::Matx33d K(500, 0, 319.5, 0, 500, 239.5, 0, 0, 1);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> distance(1.2, 2.6), tilt(-0.5, 0.5), roll(-M_PI, M_PI),
      blur(0.0, 0.8), offset(-0.1, 0.1);
  cv::RNG noise_rng(seed);
  std::vector<View> views;
  for (int i = 0; i < count; ++i) {
    const cv::Point2d look = board.centre_m() + cv::Point2d(offset(rng), offset(rng));
    const cv::Matx44d camera_from_board =
        orvalt::apriltag::look_at_board(look, distance(rng), tilt(rng), tilt(rng), roll(rng));
    const cv::Matx33d H =
        orvalt::apriltag::board_view_homography(K, camera_from_board, board.metres_per_pixel);
    View view;
    view.gray = orvalt::apriltag::render_board_view(board.paper, H, {640, 480});
    const double sigma = blur(rng);
    if (sigma > 0.05) cv::GaussianBlur(view.gray, view.gray, cv::Size(0, 0), sigma);
    cv::Mat noise(view.gray.size(), CV_16S);
    noise_rng.fill(noise, cv::RNG::NORMAL, 0, 2.0);
    cv::Mat noisy;
    view.gray.convertTo(noisy, CV_16S);
    cv::add(noisy, noise, noisy);
    noisy.convertTo(view.gray, CV_8U);
    view.truth = orvalt::apriltag::project_tags(board.tags, H);
    views.push_back(std::move(view));
  }
  return views;
}

// The AprilRobotics detector with the settings apriltag_detector_create() chooses.
class PeerDetector {
 public:
  PeerDetector() : family_(tag36h11_create()), detector_(apriltag_detector_create()) {
    apriltag_detector_add_family(detector_, family_);
  }
  ~PeerDetector() {
    apriltag_detector_destroy(detector_);
    tag36h11_destroy(family_);
  }
  PeerDetector(const PeerDetector&) = delete;
  PeerDetector& operator=(const PeerDetector&) = delete;

  std::vector<Detection> detect(const cv::Mat& gray) {
    image_u8_t image{gray.cols, gray.rows, static_cast<int32_t>(gray.step), gray.data};
    zarray_t* found = apriltag_detector_detect(detector_, &image);
    std::vector<Detection> detections;
    for (int i = 0; i < zarray_size(found); ++i) {
      apriltag_detection_t* detection = nullptr;
      zarray_get(found, i, &detection);
      Detection entry{detection->id, {}};
      // The library puts pixel centres at (0.5, 0.5).
      for (int k = 0; k < 4; ++k) {
        entry.corners[k] = {detection->p[k][0] - 0.5, detection->p[k][1] - 0.5};
      }
      detections.push_back(entry);
    }
    apriltag_detections_destroy(found);
    return detections;
  }

 private:
  apriltag_family_t* family_;
  apriltag_detector_t* detector_;
};

std::vector<Detection> detect_with(orvalt::apriltag::AprilgridCornerDetect& detector,
                                   const cv::Mat& gray) {
  std::vector<Detection> detections;
  const auto map = detector.detect(gray);
  if (!map) return detections;
  for (const auto& [id, points] : *map) {
    Detection entry{id, {}};
    for (int k = 0; k < 4; ++k) entry.corners[k] = {points(k, 0), points(k, 1)};
    detections.push_back(entry);
  }
  return detections;
}

struct Figures {
  std::vector<double> milliseconds;
  std::vector<double> corner_errors;
  int visible = 0, found = 0, wrong_ids = 0;
};

// Per-corner distance to the truth. The libraries order corners differently, so the error of
// a detection is taken under the best of the four rotations of its corner order and their
// reverses; any wrong assignment is off by a whole tag side.
std::array<double, 4> corner_errors(const Corners& detected, const Corners& truth) {
  std::array<double, 4> best{};
  double best_sum = INFINITY;
  for (int direction : {1, -1}) {
    for (int shift = 0; shift < 4; ++shift) {
      std::array<double, 4> errors{};
      double sum = 0;
      for (int k = 0; k < 4; ++k) {
        const int j = ((direction * k + shift) % 4 + 4) % 4;
        errors[k] = cv::norm(detected[j] - truth[k]);
        sum += errors[k];
      }
      if (sum < best_sum) {
        best_sum = sum;
        best = errors;
      }
    }
  }
  return best;
}

void score(const View& view, const std::vector<Detection>& detections, Figures& figures) {
  const cv::Rect2d inside(3, 3, view.gray.cols - 6, view.gray.rows - 6);
  for (const BoardTag& tag : view.truth) {
    const bool visible = std::all_of(tag.corners.begin(), tag.corners.end(),
                                     [&](const cv::Point2d& p) { return inside.contains(p); });
    if (!visible) continue;
    ++figures.visible;
    const auto match = std::find_if(detections.begin(), detections.end(),
                                    [&](const Detection& d) { return d.id == tag.id; });
    if (match == detections.end()) continue;
    ++figures.found;
    for (const double error : corner_errors(match->corners, tag.corners)) {
      figures.corner_errors.push_back(error);
    }
  }
  for (const Detection& detection : detections) {
    if (detection.id < 0 || detection.id >= static_cast<int>(view.truth.size())) {
      ++figures.wrong_ids;
    }
  }
}

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return NAN;
  const auto at = static_cast<std::size_t>(fraction * (values.size() - 1) + 0.5);
  std::nth_element(values.begin(), values.begin() + at, values.end());
  return values[at];
}

template <typename Detect>
Figures run(const std::vector<View>& views, int repeats, Detect detect) {
  Figures figures;
  for (const View& view : views) {
    std::vector<Detection> detections;
    for (int r = 0; r < repeats; ++r) {
      const auto start = std::chrono::steady_clock::now();
      detections = detect(view.gray);
      figures.milliseconds.push_back(
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
              .count());
    }
    score(view, detections, figures);
  }
  return figures;
}

void print_row(const std::string& name, const Figures& figures) {
  std::cout << fmt::format(
      "{:<28} {:>10.2f} {:>12.3f} {:>10.3f} {:>10.3f} {:>9.1f}% {:>6}\n", name,
      percentile(figures.milliseconds, 0.5), percentile(figures.corner_errors, 0.5),
      percentile(figures.corner_errors, 0.95), percentile(figures.corner_errors, 1.0),
      100.0 * figures.found / std::max(figures.visible, 1), figures.wrong_ids);
}

struct RealFigures {
  std::vector<double> milliseconds;
  std::vector<double> agreement;  // corner distance to the library's, where both found the tag
  int truth = 0, found = 0, false_ids = 0;
};

using DetectFunction = std::function<std::vector<Detection>(const cv::Mat&)>;

RealFigures run_real(const std::vector<TruthImage>& images, const std::vector<cv::Mat>& grays,
                     const DetectFunction& detect, PeerDetector* reference) {
  RealFigures figures;
  for (std::size_t i = 0; i < images.size(); ++i) {
    const auto start = std::chrono::steady_clock::now();
    const std::vector<Detection> detections = detect(grays[i]);
    figures.milliseconds.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
    std::map<int, int> expected;
    for (const int id : images[i].ids) ++expected[id];
    figures.truth += static_cast<int>(images[i].ids.size());
    for (const Detection& detection : detections) {
      if (expected[detection.id]-- > 0) {
        ++figures.found;
      } else {
        ++figures.false_ids;
      }
    }
    if (reference == nullptr) continue;
    for (const Detection& theirs : reference->detect(grays[i])) {
      const auto ours = std::find_if(detections.begin(), detections.end(),
                                     [&](const Detection& d) { return d.id == theirs.id; });
      if (ours == detections.end()) continue;
      for (const double error : corner_errors(ours->corners, theirs.corners)) {
        figures.agreement.push_back(error);
      }
    }
  }
  return figures;
}

void print_real_row(const std::string& name, const RealFigures& figures) {
  std::cout << fmt::format("{:<34} {:>10.1f} {:>7}/{:<5} {:>7.1f}% {:>6} {:>14}\n", name,
                           percentile(figures.milliseconds, 0.5), figures.found, figures.truth,
                           100.0 * figures.found / std::max(figures.truth, 1), figures.false_ids,
                           figures.agreement.empty()
                               ? std::string("-")
                               : fmt::format("{:.3f}", percentile(figures.agreement, 0.5)));
}

void run_real_images(const std::filesystem::path& root) {
  using orvalt::apriltag::AprilgridCornerDetect;
  using orvalt::apriltag::DetectorEngine;
  const struct {
    const char* label;
    std::vector<std::string> folders;
    int border_bits;
  } sets[] = {{"standard tags (standard_tags, rgbd_kinect2)", {"standard_tags", "rgbd_kinect2"}, 1},
              {"Kalibr-style photos (kalibr_style_board)", {"kalibr_style_board"}, 2}};
  for (const auto& set : sets) {
    std::vector<TruthImage> images;
    for (const std::string& folder : set.folders) {
      const std::vector<TruthImage> listed = read_truth(root / folder);
      images.insert(images.end(), listed.begin(), listed.end());
    }
    std::vector<cv::Mat> grays;
    for (const TruthImage& image : images) {
      grays.push_back(cv::imread(image.path.string(), cv::IMREAD_GRAYSCALE));
    }
    std::cout << fmt::format("\nReal images: {}, {} images\n", set.label, images.size());
    std::cout << fmt::format("{:<34} {:>10} {:>13} {:>8} {:>6} {:>14}\n", "detector", "ms/image",
                             "found", "recall", "false", "vs library px");
    PeerDetector reference;
    PeerDetector* agreement_reference = set.border_bits == 1 ? &reference : nullptr;
    for (const int border_bits : {1, 2}) {
      for (const DetectorEngine engine : {DetectorEngine::opencv, DetectorEngine::apriltag}) {
        AprilgridCornerDetect detector("APRILTAG_36h11", 0.15, std::nullopt, engine, border_bits);
        print_real_row(
            fmt::format("{}, --tag_border_bits {}", orvalt::apriltag::detector_engine_name(engine),
                        border_bits),
            run_real(
                images, grays, [&](const cv::Mat& gray) { return detect_with(detector, gray); },
                agreement_reference));
      }
    }
    PeerDetector peer;
    print_real_row(
        "apriltag 36h11 (defaults)",
        run_real(
            images, grays, [&](const cv::Mat& gray) { return peer.detect(gray); }, nullptr));
  }
}

}  // namespace

int main(int argc, char** argv) {
  int view_count = 40;
  int repeats = 5;
  int seed = 42;
  std::string real_images = ORVALT_REAL_IMAGES_DEFAULT;
  orvalt::common::ArgumentParser parser(
      "bench_detect",
      "Time per image and corner error of AprilgridCornerDetect (both engines) and of the\n"
      "AprilRobotics apriltag library (tag36h11, default settings) on the same rendered 640 x 480\n"
      "views; then recall, false ids and time on the real images, when their folder is there.");
  parser.add_option("--views", &view_count, "Number of rendered views.");
  parser.add_option("--repeats", &repeats, "Detections timed per view and detector.");
  parser.add_option("--seed", &seed, "Seed of the view generator.");
  parser.add_option("--real_images", &real_images,
                    "Folder of the real-image fixtures (skipped when absent).");
  parser.parse_or_exit(argc, argv);
  if (view_count < 1 || repeats < 1) {
    std::cerr << "bench_detect: error: --views and --repeats must be positive\n";
    return 2;
  }

  // One thread each, so that the figures compare the algorithms, not the thread pools.
  cv::setNumThreads(1);
  const std::vector<View> views = render_views(view_count, static_cast<unsigned>(seed));
  orvalt::apriltag::AprilgridCornerDetect opencv;
  orvalt::apriltag::AprilgridCornerDetect apriltag("APRILTAG_36h11", 0.15, std::nullopt,
                                                   orvalt::apriltag::DetectorEngine::apriltag);
  PeerDetector peer;
  const Figures opencv_figures =
      run(views, repeats, [&](const cv::Mat& gray) { return detect_with(opencv, gray); });
  const Figures apriltag_figures =
      run(views, repeats, [&](const cv::Mat& gray) { return detect_with(apriltag, gray); });
  const Figures peer_figures =
      run(views, repeats, [&](const cv::Mat& gray) { return peer.detect(gray); });

  std::cout << fmt::format("{} views of 640 x 480, {} timed runs each, one thread\n", views.size(),
                           repeats);
  std::cout << fmt::format("{:<28} {:>10} {:>12} {:>10} {:>10} {:>10} {:>6}\n", "detector",
                           "ms/image", "median px", "p95 px", "max px", "found", "wrong");
  print_row("--detector opencv", opencv_figures);
  print_row("--detector apriltag", apriltag_figures);
  print_row("apriltag 36h11 (defaults)", peer_figures);
  std::cout << fmt::format(
      "ratio apriltag / opencv engine: time {:.2f}, median corner error {:.2f}\n",
      percentile(apriltag_figures.milliseconds, 0.5) / percentile(opencv_figures.milliseconds, 0.5),
      percentile(apriltag_figures.corner_errors, 0.5) /
          percentile(opencv_figures.corner_errors, 0.5));

  if (std::filesystem::is_directory(real_images)) {
    run_real_images(real_images);
  } else {
    std::cout << "\nReal images: " << real_images << " not found, skipped\n";
  }
  return 0;
}
