#include "orvalt/simulation/frame_renderer.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "orvalt/apriltag/quinsel/aprilgrid_corner_detect.hpp"
#include "orvalt/common/angles.hpp"
#include "orvalt/simulation/simulation.hpp"

namespace orvalt::simulation {
namespace {

SimulationOptions exact_options() {
  SimulationOptions options;
  options.noise = NoiseSettings::exact();
  return options;
}

// Frames spread over the whole drive: turns, close in, far off, arcs.
std::vector<std::size_t> spread_frames(const Simulation& simulation, int count) {
  std::vector<std::size_t> frames;
  for (int i = 0; i < count; ++i)
    frames.push_back(i * (simulation.frame_count() - 1) / (count - 1));
  return frames;
}

// Depth along the optical axis of pixel (u, v) on the plane through `point` with `normal`
// (world frame), computed directly from the pose.
double plane_depth(const Eigen::Isometry3d& world_from_optical, const PinholeCamera& camera,
                   double u, double v, const Eigen::Vector3d& point,
                   const Eigen::Vector3d& normal) {
  const Eigen::Vector3d ray = world_from_optical.linear() * camera.back_project(u, v, 1.0);
  return normal.dot(point - world_from_optical.translation()) / normal.dot(ray);
}

// The detector finds the board's tags where the simulation put them. Its AprilTag quad fit
// works on the thresholded pixel grid, which limits single corners to about 0.75 px and a view
// to about 0.3 px RMS even on perfect images; the mean offset shows that the rendering itself
// puts edges where they belong (a half-pixel convention slip would show as 0.5 px), for both
// detection engines; the radial offset shows that tags come out neither larger nor smaller.
class FrameRendererEngineTest : public ::testing::TestWithParam<apriltag::DetectorEngine> {};

TEST_P(FrameRendererEngineTest, DetectorFindsTagsAtTheSimulatedCorners) {
  const Simulation simulation(exact_options());
  apriltag::AprilgridCornerDetect detector("APRILTAG_36h11", 0.15, std::nullopt, GetParam());
  double squared = 0, worst = 0;
  Eigen::Vector2d offset = Eigen::Vector2d::Zero();
  double radial = 0;
  int corners = 0, frames_with_targets = 0;
  const auto frames = spread_frames(simulation, 12);
  for (const std::size_t frame : frames) {
    const CameraCapture capture = simulation.capture(frame);
    const Eigen::Isometry3d optical_from_world =
        simulation.world_from_optical(capture.time).inverse();
    const auto tags = detector.detect(capture.colour);
    ASSERT_TRUE(tags.has_value()) << "frame " << frame;
    int targets = 0;
    for (const auto& [id, points] : *tags) {
      ASSERT_GE(id, 0);
      ASSERT_LT(id, 10);
      targets += id <= 4;
      const WorldTag& tag = simulation.scene().board().tags()[id];
      std::vector<Eigen::Vector2d> truth;
      for (const auto& corner : tag.corners) {
        truth.push_back(simulation.camera().project(optical_from_world * corner));
      }
      // A tag cut by the image border is reported at the border instead.
      const bool inside = std::all_of(truth.begin(), truth.end(), [](const Eigen::Vector2d& p) {
        return p.x() > 3 && p.y() > 3 && p.x() < 636 && p.y() < 476;
      });
      if (!inside) continue;
      const Eigen::Vector2d centre = (truth[0] + truth[1] + truth[2] + truth[3]) / 4.0;
      for (int k = 0; k < 4; ++k) {
        const Eigen::Vector2d error = Eigen::Vector2d(points(k, 0), points(k, 1)) - truth[k];
        radial += error.dot((truth[k] - centre).normalized());
        worst = std::max(worst, error.norm());
        squared += error.squaredNorm();
        offset += error;
        ++corners;
      }
    }
    frames_with_targets += targets >= 3;
  }
  ASSERT_GT(corners, 200);
  EXPECT_LT(worst, 0.75);
  EXPECT_LT(std::sqrt(squared / corners), 0.35);
  EXPECT_LT((offset / corners).norm(), 0.1);
  EXPECT_LT(std::abs(radial / corners), 0.05);
  // Most frames show most of the calibration's default targets.
  EXPECT_GE(frames_with_targets, 10);
}

INSTANTIATE_TEST_SUITE_P(BothEngines, FrameRendererEngineTest,
                         ::testing::Values(apriltag::DetectorEngine::opencv,
                                           apriltag::DetectorEngine::apriltag));

// The depth at a tag corner's pixel is the board's true depth there, and the published
// millimetres are that depth rounded.
TEST(FrameRendererTest, DepthAtTagCornersIsTheTrueDepth) {
  const Simulation simulation(exact_options());
  const Board& board = simulation.scene().board();
  const Eigen::Vector3d board_point = board.world_from_board().translation();
  const Eigen::Vector3d board_normal = board.world_from_board().linear().col(2);
  int checked = 0;
  for (const std::size_t frame : spread_frames(simulation, 6)) {
    const CameraCapture capture = simulation.capture(frame);
    const Eigen::Isometry3d world_from_optical = simulation.world_from_optical(capture.time);
    for (const auto& tag : board.tags()) {
      for (const auto& corner : tag.corners) {
        const Eigen::Vector3d in_optical = world_from_optical.inverse() * corner;
        const Eigen::Vector2d pixel = simulation.camera().project(in_optical);
        // The motion estimator reads depth at the truncated corner position.
        const int u = static_cast<int>(pixel.x());
        const int v = static_cast<int>(pixel.y());
        if (in_optical.z() <= 0 || u < 0 || v < 0 || u >= 640 || v >= 480) continue;
        const double truth =
            plane_depth(world_from_optical, simulation.camera(), u, v, board_point, board_normal);
        EXPECT_NEAR(capture.depth.metres.at<float>(v, u), truth, 1e-5);
        EXPECT_EQ(capture.depth.millimetres.at<std::uint16_t>(v, u), std::lround(truth * 1000));
        // Within a pixel of the corner itself, so the estimator sees the corner's range.
        EXPECT_NEAR(truth, in_optical.z(), 0.005);
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 150);
}

TEST(FrameRendererTest, FloorDepthIsTheFloorPlane) {
  const Simulation simulation(exact_options());
  const double time = simulation.frame_time(10);
  const RenderedView view = simulation.render(time);
  const Eigen::Isometry3d world_from_optical = simulation.world_from_optical(time);
  for (int v = 300; v < 480; v += 9) {
    for (int u = 0; u < 640; u += 13) {
      const double truth = plane_depth(world_from_optical, simulation.camera(), u, v,
                                       Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitZ());
      ASSERT_NEAR(view.depth.at<float>(v, u), truth, 1e-6 * truth) << u << ", " << v;
    }
  }
}

// Room pixels far from the board look the same whether the board is there or not, also when
// part of the board lies behind the camera (which a plain homography would fold into view).
TEST(FrameRendererTest, BoardBehindTheCameraIsNotDrawn) {
  SimulationOptions options = exact_options();
  const Scene scene(options);
  options.board_placement = {3.8, -3.3, 0.0};  // behind both cameras below
  const Scene elsewhere(options);
  const FrameRenderer renderer(scene, options.intrinsics);
  const FrameRenderer reference(elsewhere, options.intrinsics);

  // Camera 0.3 m in front of the board's centre, turned 80 degrees left: the board's left
  // half is in view at a grazing angle, its right half lies behind the camera.
  const auto camera_at = [](double x, double y, double yaw) {
    Eigen::Isometry3d world_from_optical = Eigen::Isometry3d::Identity();
    world_from_optical.linear() =
        Eigen::AngleAxisd(yaw, Eigen::Vector3d::UnitZ()) * flu_from_optical();
    world_from_optical.translation() = Eigen::Vector3d(x, y, 0.25);
    return world_from_optical;
  };
  for (const auto& pose :
       {camera_at(0.7, 0.0, common::deg_to_rad(80.0)), camera_at(0.5, 0.0, M_PI)}) {
    const RenderedView with_board = renderer.render(pose);
    const RenderedView without = reference.render(pose);
    // Pixels within 2 px of a board pixel may carry its anti-aliased edge.
    cv::Mat board_pixels = cv::abs(with_board.depth - without.depth) > 1e-4;
    cv::dilate(board_pixels, board_pixels, cv::Mat(), cv::Point(-1, -1), 2);
    cv::Mat difference;
    cv::absdiff(with_board.colour, without.colour, difference);
    difference.setTo(cv::Scalar::all(0), board_pixels);
    double largest = 0;
    cv::minMaxLoc(difference.reshape(1), nullptr, &largest);
    EXPECT_LT(largest, 1e-3);
  }
}

TEST(FrameRendererTest, BoardSeenFromBehindIsPlainCardboard) {
  SimulationOptions options = exact_options();
  const Scene scene(options);
  const FrameRenderer renderer(scene, options.intrinsics);
  Eigen::Isometry3d world_from_optical = Eigen::Isometry3d::Identity();
  world_from_optical.linear() =
      Eigen::AngleAxisd(M_PI, Eigen::Vector3d::UnitZ()) * flu_from_optical();
  world_from_optical.translation() = Eigen::Vector3d(2.0, 0.0, 0.25);
  const RenderedView view = renderer.render(world_from_optical);
  // The board's back fills the middle of the view, evenly: no ink shows through.
  const cv::Mat middle = view.colour(cv::Rect(250, 200, 140, 60));
  cv::Mat grey;
  cv::cvtColor(middle, grey, cv::COLOR_BGR2GRAY);
  double low = 0, high = 0;
  cv::minMaxLoc(grey, &low, &high);
  EXPECT_LT(high - low, 10.0);
  EXPECT_NEAR(view.depth.at<float>(230, 320), 1.0, 0.05);
}

}  // namespace
}  // namespace orvalt::simulation
