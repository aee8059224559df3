#include "orvalt/simulation/simulation_options.hpp"

#include <cmath>
#include <set>
#include <stdexcept>

#include <fmt/format.h>

#include "orvalt/common/angles.hpp"

namespace orvalt::simulation {
namespace {

// Markers in OpenCV's tag36h11 dictionary.
constexpr int kTag36h11Markers = 587;
constexpr double kMaxCameraLatencyMs = 200.0;

void require(bool condition, const std::string& message) {
  if (!condition) throw std::invalid_argument(message);
}

void require_non_negative(double value, const std::string& name) {
  require(std::isfinite(value) && value >= 0.0,
          fmt::format("{} must be a non-negative number, got {}", name, value));
}

void require_positive(double value, const std::string& name) {
  require(std::isfinite(value) && value > 0.0,
          fmt::format("{} must be a positive number, got {}", name, value));
}

}  // namespace

NoiseSettings NoiseSettings::exact() {
  NoiseSettings none;
  none.image_noise = 0.0;
  none.image_blur = 0.0;
  none.brightness_variation = 0.0;
  none.depth_noise = 0.0;
  none.depth_noise_quadratic = 0.0;
  none.depth_edge_holes = 0;
  none.depth_dropout = 0.0;
  none.odometry.scale = 0.0;
  none.odometry.slip = 0.0;
  none.odometry.yaw_scale = 0.0;
  none.odometry.yaw_noise = 0.0;
  return none;
}

TrajectoryKind parse_trajectory_kind(const std::string& name) {
  if (name == "turns_and_arcs") return TrajectoryKind::kTurnsAndArcs;
  if (name == "turns") return TrajectoryKind::kTurns;
  if (name == "straight") return TrajectoryKind::kStraight;
  if (name == "gentle_arcs") return TrajectoryKind::kGentleArcs;
  throw std::invalid_argument("Unknown trajectory: " + name +
                              " (choose turns_and_arcs, turns, straight or gentle_arcs)");
}

std::string trajectory_kind_name(TrajectoryKind kind) {
  switch (kind) {
    case TrajectoryKind::kTurnsAndArcs:
      return "turns_and_arcs";
    case TrajectoryKind::kTurns:
      return "turns";
    case TrajectoryKind::kStraight:
      return "straight";
    case TrajectoryKind::kGentleArcs:
      return "gentle_arcs";
  }
  return "turns_and_arcs";
}

Vector6 extrinsic_from_degrees(const std::vector<double>& degrees_and_metres) {
  if (degrees_and_metres.size() != 6) {
    throw std::invalid_argument(
        fmt::format("An extrinsic needs 6 values [rx, ry, rz] (deg) [tx, ty, tz] (m), got {}",
                    degrees_and_metres.size()));
  }
  Vector6 radians_and_metres = degrees_and_metres;
  for (int i = 0; i < 3; ++i) radians_and_metres[i] *= common::kDegree;
  return radians_and_metres;
}

void validate(const SimulationOptions& options) {
  require(options.storage == "sqlite3" || options.storage == "mcap",
          "--storage must be sqlite3 or mcap, got " + options.storage);
  require(!options.output.empty(), "--output must name a directory");
  require(std::isfinite(options.duration) && options.duration >= 1.0,
          fmt::format("--duration must be at least 1 second, got {}", options.duration));
  require(std::isfinite(options.camera_rate) && options.camera_rate > 0.0 &&
              options.camera_rate <= 120.0,
          fmt::format("--camera_rate must lie in (0, 120] Hz, got {}", options.camera_rate));
  require(std::isfinite(options.cloud_rate) && options.cloud_rate > 0.0 &&
              options.cloud_rate <= options.camera_rate,
          fmt::format("--cloud_rate must lie in (0, camera rate {}] Hz, got {}",
                      options.camera_rate, options.cloud_rate));
  require(std::isfinite(options.tf_rate) && options.tf_rate >= 5.0 && options.tf_rate <= 1000.0,
          fmt::format("--tf_rate must lie in [5, 1000] Hz, got {}", options.tf_rate));
  // Header stamps hold seconds in an int32.
  require(options.start_time_ns >= 0 && options.start_time_ns / 1000000000LL +
                                                static_cast<std::int64_t>(options.duration) + 10 <
                                            2147483647LL,
          fmt::format("--start_time must be a non-negative time before 2038, got {} ns",
                      options.start_time_ns));
  for (const auto* vector : {&options.extrinsic, &options.nominal_extrinsic}) {
    require(vector->size() == 6, "An extrinsic needs 6 values");
    for (double value : *vector) require(std::isfinite(value), "An extrinsic must be finite");
  }

  const auto& camera = options.intrinsics;
  require(
      camera.width >= 16 && camera.height >= 16 && camera.width <= 4096 && camera.height <= 4096,
      fmt::format("--image_size must lie in [16, 4096] pixels, got {} x {}", camera.width,
                  camera.height));
  require_positive(camera.fx, "fx of --intrinsics");
  require_positive(camera.fy, "fy of --intrinsics");
  require(std::isfinite(camera.cx) && std::isfinite(camera.cy) && camera.cx >= 0 &&
              camera.cy >= 0 && camera.cx < camera.width && camera.cy < camera.height,
          fmt::format("The principal point of --intrinsics must lie in the image, got ({}, {})",
                      camera.cx, camera.cy));

  const auto& board = options.board;
  require(board.rows >= 1 && board.cols >= 1,
          fmt::format("--board_grid needs at least one row and column, got {} x {}", board.rows,
                      board.cols));
  require(board.first_id >= 0 && board.first_id + board.rows * board.cols <= kTag36h11Markers,
          fmt::format("Board ids {} to {} exceed the {} markers of tag36h11", board.first_id,
                      board.first_id + board.rows * board.cols - 1, kTag36h11Markers));
  require_positive(board.tag_size, "--tag_size");
  require_non_negative(board.tag_spacing, "--tag_spacing");
  require_non_negative(board.margin, "--board_margin");
  require(
      board.pixels_per_tag >= 24 && board.pixels_per_tag % 8 == 0 && board.pixels_per_tag <= 1024,
      fmt::format("Pixels per tag must be a multiple of 8 in [24, 1024], got {}",
                  board.pixels_per_tag));
  for (double value :
       {options.board_placement.x, options.board_placement.y, options.board_placement.yaw}) {
    require(std::isfinite(value), "--board_pose must be finite");
  }

  const auto& noise = options.noise;
  require_non_negative(noise.image_noise, "--image_noise");
  require_non_negative(noise.image_blur, "--image_blur");
  require(std::isfinite(noise.brightness_variation) && noise.brightness_variation >= 0.0 &&
              noise.brightness_variation < 0.5,
          fmt::format("--brightness_variation must lie in [0, 0.5), got {}",
                      noise.brightness_variation));
  require_non_negative(noise.depth_noise, "--depth_noise");
  require_non_negative(noise.depth_noise_quadratic, "--depth_noise_quadratic");
  require(
      noise.depth_edge_holes >= 0 && noise.depth_edge_holes <= 20,
      fmt::format("--depth_edge_holes must lie in [0, 20] pixels, got {}", noise.depth_edge_holes));
  require(std::isfinite(noise.depth_dropout) && noise.depth_dropout >= 0.0 &&
              noise.depth_dropout <= 0.5,
          fmt::format("--depth_dropout must lie in [0, 0.5], got {}", noise.depth_dropout));
  require(std::isfinite(noise.odometry.scale) && std::abs(noise.odometry.scale) < 0.5,
          fmt::format("--odom_scale_error must lie in (-0.5, 0.5), got {}", noise.odometry.scale));
  require(std::isfinite(noise.odometry.yaw_scale) && std::abs(noise.odometry.yaw_scale) < 0.5,
          fmt::format("--odom_yaw_scale_error must lie in (-0.5, 0.5), got {}",
                      noise.odometry.yaw_scale));
  require_non_negative(noise.odometry.slip, "--odom_slip");
  require_positive(noise.odometry.slip_time, "The slip correlation time");
  require_non_negative(noise.odometry.yaw_noise, "--odom_yaw_noise");

  require(std::isfinite(options.delay.min_ms) && std::isfinite(options.delay.max_ms) &&
              options.delay.min_ms >= 0.0 && options.delay.min_ms <= options.delay.max_ms &&
              options.delay.max_ms <= 10000.0,
          fmt::format("--recording_delay_ms needs 0 <= MIN <= MAX <= 10000, got {} {}",
                      options.delay.min_ms, options.delay.max_ms));

  // Camera frames end a quarter second before the odometry does; a larger latency would stamp
  // the last frames at or past its end, where they have no odometry around them.
  require(std::isfinite(options.camera_latency_ms) && options.camera_latency_ms >= 0.0 &&
              options.camera_latency_ms <= kMaxCameraLatencyMs,
          fmt::format("--camera_latency_ms must lie in [0, {}] ms, got {}", kMaxCameraLatencyMs,
                      options.camera_latency_ms));

  const auto& topics = options.topics;
  const std::set<std::string> distinct = {topics.color,       topics.depth, topics.cloud,
                                          topics.camera_info, "/tf",        "/tf_static"};
  require(distinct.size() == 6 && !distinct.count(""),
          "The four camera topics must be distinct, non-empty and not /tf or /tf_static");

  require(options.cloud_step >= 1 && options.cloud_step <= 64,
          fmt::format("--cloud_step must lie in [1, 64], got {}", options.cloud_step));
  require(std::isfinite(options.depth_min) && std::isfinite(options.depth_max) &&
              options.depth_min > 0.0 && options.depth_min < options.depth_max &&
              options.depth_max <= 65.0,
          fmt::format("--depth_range needs 0 < MIN < MAX <= 65 m, got {} {}", options.depth_min,
                      options.depth_max));

  const auto& room = options.room;
  require(room.x_min < -0.5 && room.x_max > 0.5 && room.y_min < -0.5 && room.y_max > 0.5 &&
              room.height > 1.0,
          "The room must surround the robot's start by at least 0.5 m and be over 1 m high");
  const double board_half_width =
      0.5 * (board.cols * board.tag_size + (board.cols - 1) * board.tag_spacing) + board.margin;
  require(options.board_placement.x - board_half_width > room.x_min &&
              options.board_placement.x + board_half_width < room.x_max &&
              options.board_placement.y - board_half_width > room.y_min &&
              options.board_placement.y + board_half_width < room.y_max,
          "--board_pose puts the board outside the room");
}

}  // namespace orvalt::simulation
