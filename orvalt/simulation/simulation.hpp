#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <Eigen/Geometry>
#include <opencv2/core.hpp>

#include "orvalt/simulation/colour_sensor.hpp"
#include "orvalt/simulation/depth_sensor.hpp"
#include "orvalt/simulation/frame_renderer.hpp"
#include "orvalt/simulation/odometry.hpp"
#include "orvalt/simulation/scene.hpp"
#include "orvalt/simulation/simulation_options.hpp"
#include "orvalt/simulation/trajectory.hpp"

namespace orvalt::simulation {

// The base_from_camera transform of a six-vector, in the system's convention.
Eigen::Isometry3d isometry_from_vector6(const Vector6& vec6);

// Everything the camera delivers for one frame.
struct CameraCapture {
  double time = 0.0;  // seconds from the start of the recording
  cv::Mat colour;     // bgr8
  DepthCapture depth;
};

// A robot driving in front of the board, with every sensor: the generator behind a recording
// and the ground truth it is checked against. Times are seconds from the start of the
// recording; the world frame is the odometry frame at the start (where the robot starts, on
// the floor). Frames can be captured in any order and each is the same every time.
class Simulation {
 public:
  // Throws std::invalid_argument for options that validate() rejects.
  explicit Simulation(SimulationOptions options);
  Simulation(const Simulation&) = delete;
  Simulation& operator=(const Simulation&) = delete;

  const SimulationOptions& options() const { return options_; }
  const Scene& scene() const { return scene_; }
  const Trajectory& trajectory() const { return trajectory_; }
  const PinholeCamera& camera() const { return renderer_.camera(); }

  // The true mounting: camera (forward-left-up) -> base_footprint.
  const Eigen::Isometry3d& base_from_camera() const { return base_from_camera_; }
  Eigen::Isometry3d world_from_camera(double time) const;
  Eigen::Isometry3d world_from_optical(double time) const;

  // Header stamp (ns since the epoch) of `time`.
  std::int64_t stamp(double time) const;
  // Camera frames run at the camera rate from a quarter second after the first odometry
  // sample to a quarter second before the last, so that every frame has odometry around it.
  std::size_t frame_count() const { return frame_times_.size(); }
  double frame_time(std::size_t frame) const { return frame_times_.at(frame); }
  // Header stamp (ns since the epoch) of the camera messages of frame `frame`: its capture time
  // plus the camera latency.
  std::int64_t camera_stamp(std::size_t frame) const;
  // Whether frame `frame` also publishes a point cloud (the cloud rate may be lower).
  bool has_cloud(std::size_t frame) const;
  // Odometry samples at the TF rate over the whole recording.
  const std::vector<OdometrySample>& odometry() const { return odometry_; }

  RenderedView render(double time) const;
  CameraCapture capture(std::size_t frame) const;

 private:
  SimulationOptions options_;
  Trajectory trajectory_;
  Scene scene_;
  FrameRenderer renderer_;
  ColourSensor colour_sensor_;
  DepthSensor depth_sensor_;
  Eigen::Isometry3d base_from_camera_;
  std::vector<double> frame_times_;
  std::vector<OdometrySample> odometry_;
};

}  // namespace orvalt::simulation
