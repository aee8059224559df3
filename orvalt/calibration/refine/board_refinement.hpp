#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "orvalt/apriltag/quinsel/tag_map.hpp"
#include "orvalt/calibration/refine/odometry_track.hpp"
#include "orvalt/calibration/utils/transform_utils.hpp"
#include "orvalt/common/camera_intrinsics.hpp"

namespace orvalt::calibration {

// One colour frame of the recording.
struct RefinementFrame {
  std::int64_t image_stamp_ns = 0;     // header stamp of the colour image
  std::int64_t odometry_stamp_ns = 0;  // when `base_in_odom` holds
  PlanarPose base_in_odom;             // base_footprint in odom by the wheel odometry
  // id -> corners in pixels, clockwise from the tag's top-left (a fifth row is ignored): those
  // from the tags' edges (refine_tag_edges), whose accuracy the corner weighting assumes.
  apriltag::TagMap tags;
};

struct StampedPlanarPose {
  std::int64_t stamp_ns = 0;
  PlanarPose pose;
};

struct RefinementInput {
  std::vector<RefinementFrame> frames;
  // The odometry at its own rate (wheel odometry publishes at 20 to 100 Hz). Empty: the frames'
  // poses stand for it, and between frames far apart a curve through them misses the driven
  // path, which a camera latency makes the refinement sample.
  std::vector<StampedPlanarPose> odometry;
  common::CameraIntrinsics intrinsics;       // of the rectified colour image
  double tag_size_m = 0;                     // outer black square of every tag
  Vector6d initial_vec6 = Vector6d::Zero();  // camera -> base_footprint, from the optimizer
  // Floor inliers of some point clouds, in the camera's forward-left-up coordinates.
  std::vector<Points3d> floor_points;
};

// The corner and floor noise below are first guesses: the refinement re-estimates them from
// the residuals (variance components) and weights by those, though a floor point never counts
// as more precise than 1 mm. The odometry's noise model stands as given, after its distance
// and turn scale errors are estimated; the sigmas are only as honest as it is.
struct RefinementOptions {
  double pixel_sigma = 0.5;  // corner noise, pixels
  // Cauchy loss: corners beyond this count less and less; it grows and shrinks with the corner
  // noise the residuals show, in proportion to pixel_sigma.
  double robust_loss_scale_px = 1.5;
  double outlier_threshold_px = 5.0;            // corners farther off are outliers in the figures
  double image_border_margin_px = 8.0;          // tags with a corner nearer the edge are left out
  double floor_sigma_m = 0.005;                 // noise of one floor point's height
  double odometry_noise_per_metre = 0.01;       // m standard deviation after one metre driven
  double odometry_yaw_noise_per_radian = 0.01;  // rad after one radian turned
  double odometry_yaw_noise_per_metre = 0.005;  // rad after one metre driven
  // Sideways, beside what the heading's error makes: m after one metre driven (skid steering).
  double odometry_sideways_noise_per_metre = 0.0;
  bool estimate_time_offset = true;
  double initial_time_offset_s = 0.0;  // seconds added to camera stamps to get odometry time
  int max_iterations = 100;
  double max_rms_px = 2.0;  // a larger reprojection RMS fails the refinement
  int threads = 1;
};

struct RefinementResult {
  bool success = false;
  std::string failure_reason;  // empty on success
  bool converged = false;
  std::string solver_message;  // the solver's reason for stopping
  int iterations = 0;

  Vector6d vec6 = Vector6d::Zero();  // [rx, ry, rz, tx, ty, tz], radians and metres
  Eigen::Matrix4d extrinsic = Eigen::Matrix4d::Identity();
  double time_offset_s = 0.0;  // odometry time = camera stamp + offset (latency: negative)

  // One standard deviation from the covariance once every kind of residual is weighted by the
  // noise it showed; NaN where the recording does not determine the parameter (its starting
  // value is kept then).
  Vector6d vec6_sigma = Vector6d::Zero();
  double time_offset_sigma_s = 0.0;
  std::array<bool, 6> vec6_determined{};
  bool time_offset_determined = false;

  double reprojection_rms_px = 0.0;  // over the inlier corners
  double worst_frame_rms_px = 0.0;   // over all corners of the worst frame
  std::int64_t worst_frame_stamp_ns = 0;
  // (image stamp, RMS over all its corners) of every frame with corners, in frame order.
  std::vector<std::pair<std::int64_t, double>> frame_rms_px;
  // The noise the residuals showed: the corners' in pixels, the floor points' heights in metres
  // (0 without floor points).
  double corner_noise_px = 0.0;
  double floor_noise_m = 0.0;
  // Relative errors of the odometry's distance and turn that the board revealed (0.01: it
  // reports 1 % more than the robot drove or turned).
  Eigen::Vector2d odometry_scale_errors = Eigen::Vector2d::Zero();

  int frames_used = 0;
  int tags_used = 0;
  int corners_used = 0;
  int outlier_corners = 0;
};

// Refines X jointly with the static tags' poses in odom, a planar pose per frame held to the
// odometry, and (optionally) a constant time offset, by minimising the reprojection of every
// tag corner, the floor points' heights and the odometry's disagreement. Throws
// std::invalid_argument for unusable input (intrinsics, tag size, frames without stamps in
// order); a refinement that does not converge or explains the corners poorly returns
// success = false with the reason.
RefinementResult refine_with_board(const RefinementInput& input,
                                   const RefinementOptions& options = {});

}  // namespace orvalt::calibration
