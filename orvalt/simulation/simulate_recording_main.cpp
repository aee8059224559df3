// simulate_recording: writes a synthetic rosbag2 recording of the robot driving in front of an
// AprilGrid board, with its ground truth (ground_truth.json) inside the bag directory.

#include <cmath>
#include <iostream>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "orvalt/common/angles.hpp"
#include "orvalt/common/argument_parser.hpp"
#include "orvalt/common/logger.hpp"
#include "orvalt/simulation/recording_writer.hpp"
#include "orvalt/simulation/simulation.hpp"

namespace {

using orvalt::simulation::NoiseSettings;
using orvalt::simulation::SimulationOptions;

constexpr double kUnset = std::numeric_limits<double>::quiet_NaN();

// Command-line values that need converting before they become options.
struct CommandLine {
  SimulationOptions options;
  int seed = 1;
  double start_time = 1700000000.0;
  std::string trajectory = "turns_and_arcs";
  std::vector<double> extrinsic = {0.6, 4.0, 3.0, 0.025, 0.028, 0.152};
  std::vector<double> nominal_extrinsic = {0.0, 0.0, 0.0, 0.01, 0.04, 0.146};
  std::vector<double> intrinsics;
  std::vector<int> image_size;
  std::vector<int> board_grid;
  std::vector<double> board_pose;
  std::string noise = "default";
  // Noise settings given one by one override the preset of --noise.
  double image_noise = kUnset, image_blur = kUnset, brightness_variation = kUnset;
  double depth_noise_mm = kUnset, depth_noise_quadratic_mm = kUnset, depth_dropout = kUnset;
  int depth_edge_holes = -1;
  double odom_scale_error = kUnset, odom_slip = kUnset, odom_yaw_scale_error = kUnset,
         odom_yaw_noise = kUnset;
  std::vector<double> recording_delay_ms;
  std::vector<double> depth_range;
  std::string log_level = "INFO";
};

void require_count(const std::string& option, std::size_t count, std::size_t expected) {
  if (count != 0 && count != expected) {
    throw std::invalid_argument(option + " needs " + std::to_string(expected) + " values, got " +
                                std::to_string(count));
  }
}

void override_if_set(double& setting, double value, double scale = 1.0) {
  if (!std::isnan(value)) setting = value * scale;
}

SimulationOptions to_options(const CommandLine& line) {
  SimulationOptions options = line.options;
  if (line.seed < 0) throw std::invalid_argument("--seed must be non-negative");
  options.seed = static_cast<std::uint64_t>(line.seed);
  if (!std::isfinite(line.start_time)) throw std::invalid_argument("--start_time must be finite");
  options.start_time_ns = std::llround(line.start_time * 1e9);
  options.trajectory = orvalt::simulation::parse_trajectory_kind(line.trajectory);
  options.extrinsic = orvalt::simulation::extrinsic_from_degrees(line.extrinsic);
  options.nominal_extrinsic = orvalt::simulation::extrinsic_from_degrees(line.nominal_extrinsic);

  require_count("--intrinsics", line.intrinsics.size(), 4);
  if (!line.intrinsics.empty()) {
    options.intrinsics.fx = line.intrinsics[0];
    options.intrinsics.fy = line.intrinsics[1];
    options.intrinsics.cx = line.intrinsics[2];
    options.intrinsics.cy = line.intrinsics[3];
  }
  require_count("--image_size", line.image_size.size(), 2);
  if (!line.image_size.empty()) {
    options.intrinsics.width = line.image_size[0];
    options.intrinsics.height = line.image_size[1];
  }
  require_count("--board_grid", line.board_grid.size(), 2);
  if (!line.board_grid.empty()) {
    options.board.rows = line.board_grid[0];
    options.board.cols = line.board_grid[1];
  }
  require_count("--board_pose", line.board_pose.size(), 3);
  if (!line.board_pose.empty()) {
    options.board_placement.x = line.board_pose[0];
    options.board_placement.y = line.board_pose[1];
    options.board_placement.yaw = orvalt::common::deg_to_rad(line.board_pose[2]);
  }

  if (line.noise == "none") {
    options.noise = NoiseSettings::exact();
  } else if (line.noise != "default") {
    throw std::invalid_argument("--noise must be default or none, got " + line.noise);
  }
  auto& noise = options.noise;
  override_if_set(noise.image_noise, line.image_noise);
  override_if_set(noise.image_blur, line.image_blur);
  override_if_set(noise.brightness_variation, line.brightness_variation);
  override_if_set(noise.depth_noise, line.depth_noise_mm, 1e-3);
  override_if_set(noise.depth_noise_quadratic, line.depth_noise_quadratic_mm, 1e-3);
  override_if_set(noise.depth_dropout, line.depth_dropout);
  if (line.depth_edge_holes >= 0) noise.depth_edge_holes = line.depth_edge_holes;
  override_if_set(noise.odometry.scale, line.odom_scale_error);
  override_if_set(noise.odometry.slip, line.odom_slip);
  override_if_set(noise.odometry.yaw_scale, line.odom_yaw_scale_error);
  override_if_set(noise.odometry.yaw_noise, line.odom_yaw_noise);

  require_count("--recording_delay_ms", line.recording_delay_ms.size(), 2);
  if (!line.recording_delay_ms.empty()) {
    options.delay.min_ms = line.recording_delay_ms[0];
    options.delay.max_ms = line.recording_delay_ms[1];
  }
  require_count("--depth_range", line.depth_range.size(), 2);
  if (!line.depth_range.empty()) {
    options.depth_min = line.depth_range[0];
    options.depth_max = line.depth_range[1];
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  CommandLine line;
  SimulationOptions& o = line.options;
  orvalt::common::ArgumentParser parser(
      "simulate_recording",
      "Write a synthetic rosbag2 recording of a wheeled robot driving in front of an AprilGrid "
      "board, with its ground truth (ground_truth.json) inside the bag directory");
  parser.add_option("--output", &o.output,
                    "Bag directory to create (must not exist; default: simulated_recording)");
  parser.add_option("--storage", &o.storage, "Storage format: sqlite3 or mcap (default: sqlite3)");
  parser.add_option("--duration", &o.duration, "Seconds of recording (default: 20)");
  parser.add_option(
      "--seed", &line.seed,
      "Seed of every random choice; the same seed writes the same bytes (default: 1)");
  parser.add_option("--start_time", &line.start_time,
                    "Header stamp of the first message, seconds since the epoch "
                    "(default: 1700000000)");
  parser.add_option("--trajectory", &line.trajectory,
                    "How the robot drives: turns_and_arcs, turns, straight or gentle_arcs "
                    "(default: turns_and_arcs)");
  parser.add_option("--camera_color_topic", &o.topics.color,
                    "Colour image topic (default: /QuillonNode/rectify_left_image)");
  parser.add_option("--camera_depth_topic", &o.topics.depth,
                    "Depth image topic (default: /QuillonNode/quillon_depth)");
  parser.add_option("--camera_pointcloud_topic", &o.topics.cloud,
                    "Point cloud topic (default: /QuillonNode/quillon_pointcloud2)");
  parser.add_option("--camera_info_topic", &o.topics.camera_info,
                    "Camera info topic (default: /QuillonNode/quillon_depth/camera_info)");
  parser.add_option("--camera_rate", &o.camera_rate,
                    "Hz of colour, depth and camera info (default: 15)");
  parser.add_option("--cloud_rate", &o.cloud_rate,
                    "Hz of point clouds, at most the camera rate (default: 15)");
  parser.add_option("--tf_rate", &o.tf_rate, "Hz of odom -> base_footprint on /tf (default: 50)");
  parser.add_option("--extrinsic", &line.extrinsic,
                    "True camera mounting [rx, ry, rz] (deg) [tx, ty, tz] (m), camera "
                    "forward-left-up to base_footprint (default: 0.6 4.0 3.0 0.025 0.028 0.152)");
  parser.add_option("--nominal_extrinsic", &line.nominal_extrinsic,
                    "Mounting published on /tf_static, same units (default: 0 0 0 0.01 0.04 "
                    "0.146)");
  parser.add_option("--intrinsics", &line.intrinsics,
                    "Pinhole fx fy cx cy in pixels (default: 386.2 385.7 321.4 238.9)");
  parser.add_option("--image_size", &line.image_size, "Width and height (default: 640 480)");
  parser.add_option("--board_grid", &line.board_grid, "Board rows and columns (default: 2 5)");
  parser.add_option("--board_first_id", &o.board.first_id, "Id of the top-left tag (default: 0)");
  parser.add_option("--tag_size", &o.board.tag_size, "Tag edge in metres (default: 0.15)");
  parser.add_option("--tag_spacing", &o.board.tag_spacing,
                    "Gap between tags in metres (default: 0.045)");
  parser.add_option("--board_margin", &o.board.margin,
                    "White margin around the tags in metres (default: 0.08)");
  parser.add_option("--board_pose", &line.board_pose,
                    "Board's bottom-edge centre x y (m) and yaw (deg) in the odometry frame; it "
                    "faces the robot's start at yaw 0 (default: 1.0 0 0)");
  parser.add_option("--noise", &line.noise,
                    "Noise preset: default, or none for exact data (the settings below override "
                    "it)");
  parser.add_option("--image_noise", &line.image_noise,
                    "Colour noise, grey levels at mid grey (default: 2)");
  parser.add_option("--image_blur", &line.image_blur, "Optical blur sigma, pixels (default: 0.6)");
  parser.add_option("--brightness_variation", &line.brightness_variation,
                    "Relative amplitude of exposure changes (default: 0.08)");
  parser.add_option("--depth_noise", &line.depth_noise_mm,
                    "Depth noise at zero range, mm (default: 1)");
  parser.add_option("--depth_noise_quadratic", &line.depth_noise_quadratic_mm,
                    "Depth noise growth, mm per square metre of depth (default: 2)");
  parser.add_option("--depth_edge_holes", &line.depth_edge_holes,
                    "Pixels of missing depth on each side of depth edges (default: 2)");
  parser.add_option("--depth_dropout", &line.depth_dropout,
                    "Share of depth pixels lost at random (default: 0.001)");
  parser.add_option("--odom_scale_error", &line.odom_scale_error,
                    "Relative distance error of wheel odometry (default: 0.01)");
  parser.add_option("--odom_slip", &line.odom_slip,
                    "Standard deviation of wheel slip, share of distance (default: 0.01)");
  parser.add_option("--odom_yaw_scale_error", &line.odom_yaw_scale_error,
                    "Relative turn error of wheel odometry (default: 0.005)");
  parser.add_option("--odom_yaw_noise", &line.odom_yaw_noise,
                    "Yaw noise, rad per square root of (rad turned + m driven) (default: 0.002)");
  parser.add_option("--recording_delay_ms", &line.recording_delay_ms,
                    "Range of bag timestamp minus header stamp, ms (default: 3 40)");
  parser.add_option("--camera_latency_ms", &o.camera_latency_ms,
                    "Colour, depth, cloud and camera info header stamps are this many ms later "
                    "than the capture, as camera drivers stamp them; 0 to 200 (default: 0)");
  parser.add_option("--cloud_step", &o.cloud_step,
                    "The cloud keeps every N-th pixel in both directions (default: 4)");
  parser.add_option("--depth_range", &line.depth_range,
                    "Depth the camera reports, min and max in metres (default: 0.15 8)");
  parser.add_option("--log_level", &line.log_level,
                    "DEBUG, INFO, WARNING or ERROR (default: INFO)");
  parser.parse_or_exit(argc, argv);

  SimulationOptions options;
  try {
    orvalt::common::configure_console_logging(orvalt::common::parse_log_level(line.log_level));
    options = to_options(line);
    orvalt::simulation::validate(options);
  } catch (const std::invalid_argument& error) {
    std::cerr << parser.usage() << "simulate_recording: error: " << error.what() << "\n";
    return 2;
  }
  try {
    const orvalt::simulation::Simulation simulation(options);
    orvalt::simulation::write_recording(simulation, true);
  } catch (const std::exception& error) {
    orvalt::common::logger("orvalt.simulation")->error("{}", error.what());
    return 1;
  }
  return 0;
}
