#include "bench/accuracy/accuracy_job.hpp"

#include <chrono>
#include <ctime>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "bench/accuracy/hand_eye_solvers.hpp"
#include "bench/support/bench_support.hpp"
#include "orvalt/calibration/utils/transform_utils.hpp"
#include "orvalt/calibration/varnholt/camera_base_calibrator.hpp"
#include "orvalt/simulation/ground_truth.hpp"
#include "orvalt/simulation/recording_writer.hpp"
#include "orvalt/simulation/simulation.hpp"

namespace orvalt::bench {
namespace {

namespace fs = std::filesystem;

double wall_now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Runs `estimate` and records its errors against `truth`, its time, or why it failed.
MethodOutcome measure(const std::string& method, int pairs, const calibration::Vector6d& truth,
                      const std::function<calibration::Vector6d()>& estimate) {
  MethodOutcome outcome;
  outcome.method = method;
  outcome.pairs = pairs;
  const double wall_start = wall_now();
  const double cpu_start = process_cpu_seconds();
  try {
    const calibration::Vector6d vec6 = estimate();
    outcome.errors = parameter_errors(vec6, truth);
    outcome.ok = vec6.allFinite();
    if (!outcome.ok) outcome.error = "non-finite result";
  } catch (const std::exception& error) {
    // OpenCV's messages end in a line break.
    outcome.error = error.what();
    outcome.error.erase(outcome.error.find_last_not_of(" \n") + 1);
  }
  outcome.wall_seconds = wall_now() - wall_start;
  outcome.cpu_seconds = process_cpu_seconds() - cpu_start;
  return outcome;
}

// The refined result of a run beside the optimizer's `optimizer` outcome of the same run, whose
// time then leaves out the refinement stage.
MethodOutcome refined_outcome(const std::string& method,
                              const calibration::BoardRefinementRecord& refinement,
                              double refine_seconds, const simulation::GroundTruth& truth,
                              MethodOutcome& optimizer) {
  MethodOutcome outcome = optimizer;
  outcome.method = method;
  optimizer.wall_seconds -= refine_seconds;
  optimizer.cpu_seconds -= refine_seconds;
  outcome.refine_seconds = refine_seconds;
  const calibration::RefinementResult& result = refinement.result;
  outcome.ok = result.success;
  outcome.error = result.failure_reason;
  outcome.errors = parameter_errors(result.vec6, truth.vec6);
  for (std::size_t i = 0; i < kParameterNames.size(); ++i) {
    if (!result.vec6_determined[i]) outcome.undetermined.push_back(kParameterNames[i]);
  }
  if (result.time_offset_determined) {
    // Latency makes the odometry time of a frame earlier than its stamp.
    outcome.time_offset_error_ms = result.time_offset_s * 1e3 + truth.camera_latency_ms;
  }
  return outcome;
}

}  // namespace

std::vector<std::string> method_names() {
  std::vector<std::string> names;
  for (const CalibrationSetting& setting : calibration_settings()) {
    names.push_back(varnholt_method(setting));
  }
  for (const CalibrationSetting& setting : calibration_settings()) {
    if (setting.refine_board) names.push_back(refined_method(setting));
  }
  names.push_back("solve_axxb_linear");
  for (const OpenCvHandEyeMethod& method : opencv_hand_eye_methods()) {
    names.push_back("OpenCV " + method.name);
  }
  return names;
}

JobResult run_job(const Condition& condition, std::uint64_t seed, const fs::path& work_dir) {
  JobResult result;
  result.condition = condition.name;
  result.seed = seed;
  const fs::path job_dir = work_dir / (condition.name + "_" + std::to_string(seed));
  fs::remove_all(job_dir);
  fs::create_directories(job_dir);
  const fs::path bag_dir = job_dir / "recording";

  const double simulate_start = wall_now();
  const simulation::Simulation simulation(simulation_options(condition, seed, bag_dir));
  simulation::write_recording(simulation);
  result.simulate_seconds = wall_now() - simulate_start;
  const simulation::GroundTruth ground_truth = simulation::read_ground_truth(bag_dir);
  const calibration::Vector6d truth = ground_truth.vec6;

  std::vector<Eigen::Matrix4d> A_list, B_list;
  for (const CalibrationSetting& setting : calibration_settings()) {
    calibration::RunSettings settings =
        run_settings(setting, simulation.options().board, bag_dir, job_dir / setting.slug);
    int pairs = 0;
    std::optional<calibration::BoardRefinementRecord> refinement;
    double refine_seconds = 0.0;
    MethodOutcome outcome = measure(varnholt_method(setting), 0, truth, [&] {
      calibration::CameraBaseCalibrator calibrator(settings);
      calibration::TimeDict times = calibrator.calibration();
      pairs = static_cast<int>(calibrator.T_odom_list.size());
      if (A_list.empty()) {
        A_list = calibrator.T_odom_list;
        B_list = calibrator.T_camera_list;
      }
      if (!calibrator.board_refinement) return calibrator.vec6;
      refinement = calibrator.board_refinement;
      refine_seconds = calibration::time_entry(times, "refine_time");
      return refinement->optimizer_vec6;
    });
    outcome.pairs = pairs;
    if (refinement) {
      const MethodOutcome refined = refined_outcome(refined_method(setting), *refinement,
                                                    refine_seconds, ground_truth, outcome);
      result.outcomes.push_back(outcome);
      result.outcomes.push_back(refined);
    } else {
      result.outcomes.push_back(outcome);
    }
    fs::remove_all(job_dir / setting.slug);
  }
  fs::remove_all(job_dir);

  const int pairs = static_cast<int>(A_list.size());
  result.outcomes.push_back(measure("solve_axxb_linear", pairs, truth, [&] {
    return vec6_of(calibration::TransformUtils::solve_axxb_linear(A_list, B_list));
  }));
  for (const OpenCvHandEyeMethod& method : opencv_hand_eye_methods()) {
    result.outcomes.push_back(measure("OpenCV " + method.name, pairs, truth, [&] {
      return vec6_of(solve_hand_eye_opencv(A_list, B_list, method.method));
    }));
  }
  return result;
}

void write_job_result(const fs::path& path, const JobResult& result) {
  nlohmann::json outcomes = nlohmann::json::array();
  for (const MethodOutcome& outcome : result.outcomes) {
    outcomes.push_back({{"method", outcome.method},
                        {"ok", outcome.ok},
                        {"error", outcome.error},
                        {"errors", outcome.errors},
                        {"pairs", outcome.pairs},
                        {"wall_seconds", outcome.wall_seconds},
                        {"cpu_seconds", outcome.cpu_seconds},
                        {"undetermined", outcome.undetermined},
                        {"time_offset_error_ms", outcome.time_offset_error_ms},
                        {"refine_seconds", outcome.refine_seconds}});
  }
  const nlohmann::json document = {{"condition", result.condition},
                                   {"seed", result.seed},
                                   {"simulate_seconds", result.simulate_seconds},
                                   {"outcomes", outcomes}};
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << document.dump(2) << '\n';
  if (!file.flush()) throw std::runtime_error("Failed to write " + path.string());
}

JobResult read_job_result(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("Job result missing: " + path.string());
  try {
    const nlohmann::json document = nlohmann::json::parse(file);
    JobResult result;
    result.condition = document.at("condition").get<std::string>();
    result.seed = document.at("seed").get<std::uint64_t>();
    result.simulate_seconds = document.at("simulate_seconds").get<double>();
    for (const auto& entry : document.at("outcomes")) {
      MethodOutcome outcome;
      outcome.method = entry.at("method").get<std::string>();
      outcome.ok = entry.at("ok").get<bool>();
      outcome.error = entry.at("error").get<std::string>();
      // Non-finite errors are written as null.
      for (std::size_t i = 0; i < outcome.errors.size(); ++i) {
        const auto& value = entry.at("errors").at(i);
        outcome.errors[i] = value.is_null() ? NAN : value.get<double>();
      }
      outcome.pairs = entry.at("pairs").get<int>();
      outcome.wall_seconds = entry.at("wall_seconds").get<double>();
      outcome.cpu_seconds = entry.at("cpu_seconds").get<double>();
      outcome.undetermined = entry.value("undetermined", std::vector<std::string>{});
      for (auto [key, value] : {std::pair{"time_offset_error_ms", &outcome.time_offset_error_ms},
                                std::pair{"refine_seconds", &outcome.refine_seconds}}) {
        if (entry.contains(key) && !entry.at(key).is_null()) *value = entry.at(key).get<double>();
      }
      result.outcomes.push_back(outcome);
    }
    return result;
  } catch (const nlohmann::json::exception& error) {
    throw std::runtime_error("Not a job result: " + path.string() + " (" + error.what() + ")");
  }
}

}  // namespace orvalt::bench
