#pragma once

#include <vector>

#include <Eigen/Geometry>
#include <opencv2/core.hpp>

#include "orvalt/simulation/camera_model.hpp"
#include "orvalt/simulation/scene.hpp"

namespace orvalt::simulation {

// What an ideal camera sees from one pose, before any sensor effect.
struct RenderedView {
  cv::Mat colour;  // CV_32FC3, BGR on the 0-255 scale (may exceed 255), vignetting included
  cv::Mat depth;   // CV_32F, metres along the optical axis to the surface at each pixel centre
};

// Renders the scene through a pinhole camera. Geometry (depth, which surface a pixel sees,
// the room's colours) is ray cast at each pixel centre; the board is drawn through its plane's
// homography from the mip level of its texture that matches the sample footprint, at 4 x 4
// samples per pixel averaged (as a camera pixel integrates light), so that tag edges are
// anti-aliased and straight. With one sample per pixel centre an edge's position wobbled by
// 0.2 px along its length: invisible to the detector's corners (0.3 px off anyway), but the
// whole-edge fit of the board refinement read it as corners 0.16 px off, the same in every
// seed's drive past the board.
class FrameRenderer {
 public:
  static constexpr int kBoardSupersample = 4;

  FrameRenderer(const Scene& scene, const CameraIntrinsics& intrinsics);

  // `world_from_optical`: the camera's optical frame in the world.
  RenderedView render(const Eigen::Isometry3d& world_from_optical) const;

  const PinholeCamera& camera() const { return camera_; }

 private:
  void cast_rays(const Eigen::Isometry3d& world_from_optical, RenderedView& view) const;
  void draw_board(const Eigen::Isometry3d& world_from_optical, RenderedView& view) const;

  const Scene& scene_;
  PinholeCamera camera_;
  // CV_8UC2 mip levels (each half the previous) of the board's grey print with its coverage
  // (255), and of plain cardboard, as the board looks from behind.
  std::vector<cv::Mat> front_levels_;
  std::vector<cv::Mat> back_levels_;
  cv::Mat vignette_;  // CV_32F, relative brightness of each pixel
};

}  // namespace orvalt::simulation
