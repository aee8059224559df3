#pragma once

#include <filesystem>
#include <string>

#include "orvalt/calibration/pellitor/lbfgsb_minimizer.hpp"
#include "orvalt/calibration/pellitor/observability.hpp"
#include "orvalt/calibration/pellitor/varnholt_optimizer.hpp"
#include "orvalt/calibration/varnholt/run_settings.hpp"

namespace orvalt::calibration {

// Everything a run found out about its result, for calibration_report.json.
struct CalibrationReport {
  MinimizeResult minimization;
  ObservabilityReport observability;
  AccuracyMetrics accuracy;
  ValidationResult validation;
};

// calibration_report.json: one object with "optimization" (vector, success, message,
// iterations, evaluations, objective, largest gradient and its grade), "observability" (per
// parameter rx .. tz: value, initial value, unit, determination, determining term, 1-sigma,
// the curvature of each term, the message for the user), "motion" (yaw span in degrees,
// distance in metres, accepted pairs, ground clouds, warnings), "accuracy", "validation" and
// "settings" (the options the run used). Angles and sigmas in radians, lengths in metres
// unless a key says otherwise; numbers in their shortest round-trip form, non-finite ones
// null. Indented by 4 spaces.
std::string calibration_report_json(const CalibrationReport& report, const RunSettings& settings);

// Writes calibration_report_json to run_dir / "calibration_report.json", whole or not at all,
// and returns the path. Throws std::runtime_error when it cannot be written.
std::filesystem::path write_calibration_report(const std::filesystem::path& run_dir,
                                               const CalibrationReport& report,
                                               const RunSettings& settings);

}  // namespace orvalt::calibration
