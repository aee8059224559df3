#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "orvalt/calibration/varnholt/run_settings.hpp"
#include "orvalt/simulation/simulation_options.hpp"

namespace orvalt::bench {

// How noisy a recording is: exact data, the simulator's defaults, or every default noise
// amount doubled.
enum class NoiseLevel { kNone, kDefault, kDouble };
// How the robot drives.
enum class MotionPreset { kDefault, kShortTurnPoor, kLong };

// One kind of recording the evaluation simulates, many times with different seeds.
struct Condition {
  std::string name;  // file-name safe identifier
  NoiseLevel noise;
  MotionPreset motion;
  double latency_ms = 0.0;      // camera header stamps later than the capture
  bool simulator_rate = false;  // the simulator's camera rate instead of camera_rate()
};

// The conditions varied one factor at a time from the default recording: the three noise
// levels on the default motion, the two other motions at the default noise, then the default
// recording with 50 ms of camera latency and at the simulator's own rate.
const std::vector<Condition>& accuracy_conditions();
// Throws std::invalid_argument for a name no condition has.
const Condition& find_condition(const std::string& name);

std::string noise_label(NoiseLevel noise);
// Noise, drive, and latency and rate where they differ from the default recording's.
std::string condition_label(const Condition& condition);
// What the robot does, with the recording's length, e.g. "20 s of turns and arcs".
std::string motion_label(MotionPreset motion);

// What a motion preset drives.
struct MotionFacts {
  double duration = 0.0;  // seconds
  double yaw_span = 0.0;  // degrees between the leftmost and rightmost heading
  double path = 0.0;      // metres driven, forward and backward
  double turned = 0.0;    // degrees turned, both ways
};
MotionFacts motion_facts(MotionPreset motion);
// Frames per second of the evaluated recordings (colour, depth and clouds).
double camera_rate();
double camera_rate(const Condition& condition);

// Every noise amount of the simulator's defaults times `factor`; correlation times stay.
simulation::NoiseSettings scaled_noise(double factor);

// The recording of `condition` with `seed`, written to `output`.
simulation::SimulationOptions simulation_options(const Condition& condition, std::uint64_t seed,
                                                 const std::filesystem::path& output);

// One way of running the calibration program.
struct CalibrationSetting {
  std::string name;  // as the report shows it
  std::string slug;  // file-name safe
  bool all_board_ids = false;
  double w_xy = 1.0;  // weight of the horizontal prior
  // Also refine the result against the board (--refine board): the same run then gives the
  // optimizer's result as this setting and the refined one as refined_method_name().
  bool refine_board = false;
  std::string detector = "opencv";  // tag detection engine (--detector)
};
// The program's defaults (refined as well), the horizontal prior off with every tag of the
// board as target, then the defaults with the AprilTag library detecting the tags (refined as
// well).
const std::vector<CalibrationSetting>& calibration_settings();

// The method names of a setting's optimizer result and, with refine_board, of its refined one.
std::string varnholt_method(const CalibrationSetting& setting);
std::string refined_method(const CalibrationSetting& setting);

// The calibration program's settings for one run of `bag_dir` into `run_dir`: its defaults
// with `setting` applied and the derived fields filled in as the program fills them. `board`
// gives the ids of the board. Debug output is off: it does not change the result.
calibration::RunSettings run_settings(const CalibrationSetting& setting,
                                      const simulation::BoardLayout& board,
                                      const std::filesystem::path& bag_dir,
                                      const std::filesystem::path& run_dir);

}  // namespace orvalt::bench
