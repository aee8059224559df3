#pragma once

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/accuracy/accuracy_conditions.hpp"
#include "bench/accuracy/parameter_errors.hpp"

namespace orvalt::bench {

// What one method made of one recording.
struct MethodOutcome {
  std::string method;  // "varnholt, defaults", "solve_axxb_linear", "OpenCV Tsai", ...
  bool ok = false;
  std::string error;  // why it failed, when it did
  ParameterErrors errors{};
  int pairs = 0;              // motion pairs it was given (varnholt: that it accepted)
  double wall_seconds = 0.0;  // run time of the method alone
  double cpu_seconds = 0.0;   // processor time, all threads
  // The refined results only:
  std::vector<std::string> undetermined;  // parameters the run reported as not determined
  double time_offset_error_ms = NAN;      // estimated minus true camera time offset
  double refine_seconds = NAN;            // the refinement stage alone
};

// One simulated recording and every method's result on it.
struct JobResult {
  std::string condition;
  std::uint64_t seed = 0;
  double simulate_seconds = 0.0;
  std::vector<MethodOutcome> outcomes;
};

// The method names in the order a job reports them: the calibration settings, the refined
// results, then our linear solver and OpenCV's methods on the motion pairs of the first setting.
std::vector<std::string> method_names();

// Simulates the recording of `condition` and `seed` into work_dir / <condition>_<seed>, runs
// the calibration program's pipeline on it once per calibration setting, solves the motion
// pairs of the first setting with the linear solvers, and removes the recording and the run
// directories again. A failing method is recorded as failed; only a failing simulation throws.
JobResult run_job(const Condition& condition, std::uint64_t seed,
                  const std::filesystem::path& work_dir);

// JSON files of job results. Reading throws std::runtime_error for a file that is missing or
// not a job result.
void write_job_result(const std::filesystem::path& path, const JobResult& result);
JobResult read_job_result(const std::filesystem::path& path);

}  // namespace orvalt::bench
