#include "orvalt/calibration/refine/synthetic_board_recording.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <random>
#include <vector>

#include <Eigen/Geometry>

#include "orvalt/simulation/board.hpp"
#include "orvalt/simulation/odometry.hpp"
#include "orvalt/simulation/trajectory.hpp"

namespace orvalt::calibration {
namespace {

constexpr std::int64_t kStartNs = 1700000000000000000;

std::int64_t stamp_ns(double seconds) { return kStartNs + std::llround(seconds * 1e9); }

// The tag's corners as the camera at camera_from_world sees them, or nothing when a corner is
// behind the camera or outside the image.
std::optional<apriltag::TagPoints> project(const simulation::WorldTag& tag,
                                           const Eigen::Isometry3d& camera_from_world,
                                           const simulation::CameraIntrinsics& camera) {
  apriltag::TagPoints points(4, 2);
  for (int k = 0; k < 4; ++k) {
    const Eigen::Vector3d p = camera_from_world * tag.corners[k];
    if (p.x() < 0.1) return std::nullopt;
    const double u = camera.fx * -p.y() / p.x() + camera.cx;
    const double v = camera.fy * -p.z() / p.x() + camera.cy;
    if (u < 0 || v < 0 || u > camera.width - 1 || v > camera.height - 1) return std::nullopt;
    points(k, 0) = static_cast<float>(u);
    points(k, 1) = static_cast<float>(v);
  }
  return points;
}

}  // namespace

SyntheticBoardRecording make_synthetic_board_recording(
    const SyntheticBoardRecordingOptions& options) {
  const simulation::SimulationOptions defaults;
  const simulation::Trajectory trajectory =
      simulation::Trajectory::of_kind(options.trajectory, options.duration);
  const simulation::Board board(defaults.board, defaults.board_placement);
  const simulation::CameraIntrinsics& camera = defaults.intrinsics;
  const Eigen::Isometry3d base_from_camera(
      TransformUtils::vector6_to_transform_matrix(options.true_vec6));

  std::vector<double> captures;
  std::vector<double> stamps;
  for (double t = 0.0; t + options.latency_s <= options.duration; t += 1.0 / options.camera_rate) {
    captures.push_back(t);
    stamps.push_back(t + options.latency_s);
  }
  // Odometry is looked up at the image stamps, as the bag parser does; one dead reckoning
  // serves those and the odometry's own rate.
  std::vector<double> odometry_times = stamps;
  for (double t = 0.0; options.odometry_rate > 0.0 && t <= options.duration;
       t += 1.0 / options.odometry_rate) {
    odometry_times.push_back(t);
  }
  std::sort(odometry_times.begin(), odometry_times.end());
  odometry_times.erase(std::unique(odometry_times.begin(), odometry_times.end()),
                       odometry_times.end());
  const std::vector<simulation::OdometrySample> dead_reckoned =
      simulation::OdometrySimulator(trajectory, options.odometry_error, options.seed)
          .run(odometry_times);
  std::map<double, simulation::OdometrySample> odometry;
  for (const simulation::OdometrySample& sample : dead_reckoned) odometry[sample.time] = sample;

  std::mt19937_64 random(options.seed);
  std::normal_distribution<double> gaussian(0.0, 1.0);

  SyntheticBoardRecording recording;
  recording.true_vec6 = options.true_vec6;
  recording.true_time_offset_s = -options.latency_s;
  RefinementInput& input = recording.input;
  input.intrinsics = {camera.fx, camera.fy, camera.cx, camera.cy, camera.width, camera.height};
  input.tag_size_m = defaults.board.tag_size;
  input.initial_vec6 = options.true_vec6;

  for (std::size_t k = 0; k < captures.size(); ++k) {
    const Eigen::Isometry3d camera_from_world =
        (trajectory.state(captures[k]).world_from_base() * base_from_camera).inverse();
    RefinementFrame frame;
    frame.image_stamp_ns = stamp_ns(stamps[k]);
    frame.odometry_stamp_ns = frame.image_stamp_ns;
    const simulation::OdometrySample& at_stamp = odometry.at(stamps[k]);
    frame.base_in_odom = {at_stamp.x, at_stamp.y, at_stamp.yaw};
    for (const simulation::WorldTag& tag : board.tags()) {
      std::optional<apriltag::TagPoints> points = project(tag, camera_from_world, camera);
      if (!points) continue;
      for (int i = 0; i < points->size(); ++i) {
        points->data()[i] += static_cast<float>(options.pixel_noise * gaussian(random));
      }
      frame.tags.emplace_back(tag.id, *points);
    }
    input.frames.push_back(std::move(frame));
  }

  if (options.odometry_rate > 0.0) {
    for (const auto& [time, sample] : odometry) {
      input.odometry.push_back({stamp_ns(time), {sample.x, sample.y, sample.yaw}});
    }
  }

  const Eigen::Isometry3d camera_from_base = base_from_camera.inverse();
  std::uniform_real_distribution<double> ahead(0.4, 1.2);
  std::uniform_real_distribution<double> across(-0.4, 0.4);
  for (int c = 0; c < options.clouds; ++c) {
    Points3d cloud(options.points_per_cloud, 3);
    for (int i = 0; i < options.points_per_cloud; ++i) {
      const Eigen::Vector3d on_floor(ahead(random), across(random),
                                     options.floor_noise * gaussian(random));
      cloud.row(i) = (camera_from_base * on_floor).transpose();
    }
    input.floor_points.push_back(cloud);
  }
  return recording;
}

}  // namespace orvalt::calibration
