#include "orvalt/simulation/simulation.hpp"

#include <cmath>

#include "orvalt/calibration/utils/transform_utils.hpp"

namespace orvalt::simulation {
namespace {

constexpr double kCameraLead = 0.25;  // seconds between the first odometry and camera samples

cv::Size image_size(const CameraIntrinsics& intrinsics) {
  return {intrinsics.width, intrinsics.height};
}

const SimulationOptions& validated(const SimulationOptions& options) {
  validate(options);
  return options;
}

}  // namespace

Eigen::Isometry3d isometry_from_vector6(const Vector6& vec6) {
  calibration::Vector6d vector;
  for (int i = 0; i < 6; ++i) vector[i] = vec6.at(i);
  Eigen::Isometry3d pose;
  pose.matrix() = calibration::TransformUtils::vector6_to_transform_matrix(vector);
  return pose;
}

Simulation::Simulation(SimulationOptions options)
    : options_(validated(options)),
      trajectory_(Trajectory::of_kind(options_.trajectory, options_.duration)),
      scene_(options_),
      renderer_(scene_, options_.intrinsics),
      colour_sensor_(options_.noise, options_.seed, image_size(options_.intrinsics)),
      depth_sensor_(options_.noise, options_.depth_min, options_.depth_max, options_.seed,
                    image_size(options_.intrinsics)),
      base_from_camera_(isometry_from_vector6(options_.extrinsic)) {
  const double period = 1.0 / options_.camera_rate;
  for (std::size_t i = 0;; ++i) {
    const double time = kCameraLead + i * period;
    if (time > options_.duration - kCameraLead) break;
    frame_times_.push_back(time);
  }
  std::vector<double> tf_times;
  for (std::size_t i = 0;; ++i) {
    const double time = i / options_.tf_rate;
    if (time > options_.duration) break;
    tf_times.push_back(time);
  }
  odometry_ = OdometrySimulator(trajectory_, options_.noise.odometry, options_.seed).run(tf_times);
}

Eigen::Isometry3d Simulation::world_from_camera(double time) const {
  return trajectory_.state(time).world_from_base() * base_from_camera_;
}

Eigen::Isometry3d Simulation::world_from_optical(double time) const {
  Eigen::Isometry3d camera_from_optical = Eigen::Isometry3d::Identity();
  camera_from_optical.linear() = flu_from_optical();
  return world_from_camera(time) * camera_from_optical;
}

std::int64_t Simulation::stamp(double time) const {
  return options_.start_time_ns + std::llround(time * 1e9);
}

std::int64_t Simulation::camera_stamp(std::size_t frame) const {
  // Added in nanoseconds, so that every frame lags its capture by exactly the same amount.
  return stamp(frame_time(frame)) + std::llround(options_.camera_latency_ms * 1e6);
}

bool Simulation::has_cloud(std::size_t frame) const {
  // A cloud with the first frame, then whenever the cloud clock ticks over.
  if (frame == 0) return true;
  const double ratio = options_.cloud_rate / options_.camera_rate;
  return std::floor(frame * ratio + 1e-9) != std::floor((frame - 1) * ratio + 1e-9);
}

RenderedView Simulation::render(double time) const {
  return renderer_.render(world_from_optical(time));
}

CameraCapture Simulation::capture(std::size_t frame) const {
  CameraCapture capture;
  capture.time = frame_time(frame);
  const RenderedView view = render(capture.time);
  capture.colour = colour_sensor_.capture(view.colour, capture.time, frame);
  capture.depth = depth_sensor_.capture(view.depth, frame);
  return capture;
}

}  // namespace orvalt::simulation
