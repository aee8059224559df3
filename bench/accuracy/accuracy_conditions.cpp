#include "bench/accuracy/accuracy_conditions.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

#include <fmt/format.h>

#include "orvalt/calibration/varnholt/extrinsic_bounds.hpp"
#include "orvalt/common/angles.hpp"
#include "orvalt/simulation/trajectory.hpp"

namespace orvalt::bench {
namespace {

// Recording lengths, chosen so that the whole evaluation stays within 20 minutes on two cores:
// one cycle of the default drive, two cycles for the long one, and half a cycle of the gentle
// drive for the short one.
constexpr double kDefaultSeconds = 20.0;
constexpr double kShortSeconds = 10.0;
constexpr double kLongSeconds = 40.0;
// Under a third of the simulator's 15 Hz: the same drive in fewer frames, each pair moving
// further. It is what keeps the run within its time.
constexpr double kCameraRate = 4.0;

}  // namespace

const std::vector<Condition>& accuracy_conditions() {
  static const std::vector<Condition> conditions = {
      {"exact_default_motion", NoiseLevel::kNone, MotionPreset::kDefault},
      {"default_noise_default_motion", NoiseLevel::kDefault, MotionPreset::kDefault},
      {"double_noise_default_motion", NoiseLevel::kDouble, MotionPreset::kDefault},
      {"default_noise_short_turn_poor", NoiseLevel::kDefault, MotionPreset::kShortTurnPoor},
      {"default_noise_long_motion", NoiseLevel::kDefault, MotionPreset::kLong}};
  return conditions;
}

const Condition& find_condition(const std::string& name) {
  for (const Condition& condition : accuracy_conditions()) {
    if (condition.name == name) return condition;
  }
  throw std::invalid_argument("Unknown accuracy condition: " + name);
}

std::string noise_label(NoiseLevel noise) {
  switch (noise) {
    case NoiseLevel::kNone:
      return "no noise";
    case NoiseLevel::kDefault:
      return "default noise";
    case NoiseLevel::kDouble:
      return "twice the default noise";
  }
  return "";
}

std::string motion_label(MotionPreset motion) {
  switch (motion) {
    case MotionPreset::kDefault:
      return fmt::format("{:g} s of turns and arcs", kDefaultSeconds);
    case MotionPreset::kShortTurnPoor:
      return fmt::format("{:g} s of gentle arcs", kShortSeconds);
    case MotionPreset::kLong:
      return fmt::format("{:g} s of turns and arcs", kLongSeconds);
  }
  return "";
}

MotionFacts motion_facts(MotionPreset motion) {
  const simulation::SimulationOptions options =
      simulation_options({"", NoiseLevel::kDefault, motion}, 1, "");
  const simulation::Trajectory trajectory =
      simulation::Trajectory::of_kind(options.trajectory, options.duration);
  MotionFacts facts;
  facts.duration = options.duration;
  constexpr double kStep = 0.01;
  simulation::PlanarState previous = trajectory.state(0.0);
  double min_yaw = previous.yaw, max_yaw = previous.yaw;
  for (double time = kStep; time <= options.duration + 0.5 * kStep; time += kStep) {
    const simulation::PlanarState state = trajectory.state(time);
    min_yaw = std::min(min_yaw, state.yaw);
    max_yaw = std::max(max_yaw, state.yaw);
    facts.path += std::abs(state.distance - previous.distance);
    facts.turned += common::rad_to_deg(std::abs(state.yaw - previous.yaw));
    previous = state;
  }
  facts.yaw_span = common::rad_to_deg(max_yaw - min_yaw);
  return facts;
}

double camera_rate() { return kCameraRate; }

simulation::NoiseSettings scaled_noise(double factor) {
  simulation::NoiseSettings noise;
  noise.image_noise *= factor;
  noise.image_blur *= factor;
  noise.brightness_variation *= factor;
  noise.depth_noise *= factor;
  noise.depth_noise_quadratic *= factor;
  noise.depth_edge_holes = static_cast<int>(noise.depth_edge_holes * factor);
  noise.depth_dropout *= factor;
  noise.odometry.scale *= factor;
  noise.odometry.slip *= factor;
  noise.odometry.yaw_scale *= factor;
  noise.odometry.yaw_noise *= factor;
  return noise;
}

simulation::SimulationOptions simulation_options(const Condition& condition, std::uint64_t seed,
                                                 const std::filesystem::path& output) {
  simulation::SimulationOptions options;
  options.output = output.string();
  options.seed = seed;
  options.camera_rate = kCameraRate;
  options.cloud_rate = kCameraRate;
  switch (condition.noise) {
    case NoiseLevel::kNone:
      options.noise = simulation::NoiseSettings::exact();
      break;
    case NoiseLevel::kDefault:
      break;
    case NoiseLevel::kDouble:
      options.noise = scaled_noise(2.0);
      break;
  }
  switch (condition.motion) {
    case MotionPreset::kDefault:
      options.duration = kDefaultSeconds;
      break;
    case MotionPreset::kShortTurnPoor:
      options.trajectory = simulation::TrajectoryKind::kGentleArcs;
      options.duration = kShortSeconds;
      break;
    case MotionPreset::kLong:
      options.duration = kLongSeconds;
      break;
  }
  return options;
}

const std::vector<CalibrationSetting>& calibration_settings() {
  static const std::vector<CalibrationSetting> settings = {
      {"defaults", "defaults", false, 1.0}, {"w_xy 0, all ids", "w_xy0_all_ids", true, 0.0}};
  return settings;
}

calibration::RunSettings run_settings(const CalibrationSetting& setting,
                                      const simulation::BoardLayout& board,
                                      const std::filesystem::path& bag_dir,
                                      const std::filesystem::path& run_dir) {
  calibration::RunSettings settings;
  settings.bag_dir = bag_dir.string();
  settings.parser_output_dir = run_dir.string();
  settings.debug = false;
  settings.w_xy = setting.w_xy;
  if (setting.all_board_ids) {
    settings.target_ids.resize(static_cast<std::size_t>(board.rows * board.cols));
    std::iota(settings.target_ids.begin(), settings.target_ids.end(), board.first_id);
  }
  settings.topic_list = calibration::make_topic_list(settings);
  calibration::derive_extrinsics(settings);
  return settings;
}

}  // namespace orvalt::bench
