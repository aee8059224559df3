#pragma once

#include <filesystem>
#include <map>
#include <string>

#include "orvalt/calibration/pellitor/observability.hpp"
#include "orvalt/calibration/pellitor/varnholt_optimizer.hpp"
#include "orvalt/calibration/varnholt/run_settings.hpp"

namespace orvalt::calibration {

inline constexpr const char* kBackwardStampsWarning =
    "The result is suspect: header stamps went backwards in the recording (a clock jump), so "
    "odometry poses matched near the jump may belong to other moments";

// Everything a run found out about its result, for calibration_report.json.
struct CalibrationReport {
  OptimizationSummary optimization;
  ObservabilityReport observability;
  // Header stamps that went backwards in the recording, per topic (a clock jump): any at all
  // make the result suspect.
  std::map<std::string, int> backward_header_stamps;
};

// calibration_report.json: one object with "verdict" (whether the result is usable as it
// stands, the parameters that make it not, the sentence that says so), "optimization" (vector,
// success, message, iterations, evaluations, objective, largest gradient and its grade),
// "observability" (per parameter rx .. tz: value, initial value, unit, determination, determining
// term, 1-sigma, the curvature of each term, alone and with the other parameters free, the message
// for the user), "motion" (yaw span in degrees, distance in metres, accepted pairs, ground clouds,
// warnings), "accuracy", "validation", "recording" and "settings" (the options the run used).
// Angles and sigmas in radians, lengths in metres unless a key says otherwise; numbers in their
// shortest round-trip form, non-finite ones null. Indented by 4 spaces. "recording" holds the
// backward header stamps per topic and whether they make the result suspect.
std::string calibration_report_json(const CalibrationReport& report, const RunSettings& settings);

// Writes calibration_report_json to run_dir / "calibration_report.json", whole or not at all,
// and returns the path. Throws std::runtime_error when it cannot be written.
std::filesystem::path write_calibration_report(const std::filesystem::path& run_dir,
                                               const CalibrationReport& report,
                                               const RunSettings& settings);

}  // namespace orvalt::calibration
