#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "bench/accuracy/accuracy_conditions.hpp"
#include "bench/accuracy/accuracy_job.hpp"
#include "bench/accuracy/parameter_errors.hpp"

namespace orvalt::bench {

// One method's results over the recordings of one condition.
struct MethodStatistics {
  std::string method;
  std::size_t runs = 0;      // recordings it was run on
  std::size_t failures = 0;  // runs without a finite result
  std::string first_error;   // what the first failure said
  // Of the successful runs, per parameter, leaving out runs that reported it undetermined.
  std::array<std::vector<double>, 6> errors;
  std::array<ErrorSummary, 6> parameters;
  std::array<std::size_t, 6> undetermined{};  // successful runs that reported it so
  ErrorSummary time_offset_error_ms;          // of the runs that estimated it
  ErrorSummary refine_seconds;
  ErrorSummary pairs;
  ErrorSummary wall_seconds;
  ErrorSummary cpu_seconds;
};

struct ConditionStatistics {
  Condition condition;
  std::size_t recordings = 0;
  ErrorSummary simulate_seconds;
  std::vector<MethodStatistics> methods;  // in method_names() order
};

// The results grouped by condition, in the order of accuracy_conditions(); conditions without
// results are left out. Results of unknown conditions or methods are ignored.
std::vector<ConditionStatistics> aggregate(const std::vector<JobResult>& results);

// Errors this small count as a parameter recovered: a degree and a centimetre, well above what
// the calibration reaches and well below what an unobservable parameter shows.
inline constexpr double kRecoveredDegrees = 1.0;
inline constexpr double kRecoveredMillimetres = 10.0;

// Whether every run of the method succeeded and kept the parameter's error within the limits
// above.
bool recovers(const MethodStatistics& method, std::size_t parameter);

}  // namespace orvalt::bench
