// varnholt: calibrates the camera-to-base_footprint extrinsic from every recording of a
// datasets directory.

#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "orvalt/calibration/varnholt/camera_base_calibrator.hpp"
#include "orvalt/calibration/varnholt/command_line.hpp"
#include "orvalt/calibration/varnholt/extrinsic_bounds.hpp"
#include "orvalt/calibration/varnholt/run_loop.hpp"
#include "orvalt/common/logger.hpp"

namespace {

using orvalt::calibration::RunSettings;

// Applies --log_level and --log_file. An unknown level name or a log file that cannot be
// opened is reported and the run goes on.
void configure_logging(const RunSettings& settings) {
  spdlog::level::level_enum level = spdlog::level::info;
  bool known_level = true;
  try {
    level = orvalt::common::parse_log_level(settings.log_level);
  } catch (const std::invalid_argument&) {
    known_level = false;
  }
  orvalt::common::configure_console_logging(level);
  if (!known_level) {
    orvalt::common::logger("orvalt.calibration.varnholt")
        ->warn("Unknown log level {}, logging at INFO (use DEBUG, INFO, WARNING or ERROR)",
               settings.log_level);
  }
  orvalt::common::add_log_file(settings.log_file);
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything else: the plots of debug mode must never look for a display.
  setenv("QT_QPA_PLATFORM", "offscreen", 1);

  RunSettings settings;
  orvalt::calibration::create_parser(settings)->parse_or_exit(argc, argv);
  configure_logging(settings);
  const auto log = orvalt::common::logger("orvalt.calibration.varnholt");

  bool inside_calibration = false;
  std::vector<std::string> unusable_results;
  try {
    settings.topic_list = orvalt::calibration::make_topic_list(settings);
    log->debug(
        "Convert angles to radians, obtain the initial values of external parameters,"
        "             and the upper and lower bounds of external parameters");
    orvalt::calibration::derive_extrinsics(settings);
    for (const std::string& line : orvalt::calibration::settings_dump(settings)) {
      log->info("{}", line);
    }
    const auto results = orvalt::calibration::run_datasets(settings, [&](RunSettings& run) {
      orvalt::calibration::CameraBaseCalibrator calibrator(run);
      inside_calibration = true;
      auto time_dict = calibrator.calibration();
      inside_calibration = false;
      if (!calibrator.result_warning.empty()) {
        unusable_results.push_back(run.parser_output_dir + ": " + calibrator.result_warning);
      }
      return time_dict;
    });
    const auto statistics = orvalt::calibration::time_statistics(results);
    if (!statistics.empty()) log->info("Time statistics:");
    for (const std::string& line : statistics) log->info("{}", line);
    // Repeated after the statistics, so that the log ends with them.
    for (const std::string& warning : unusable_results) log->warn("⚠ {}", warning);
  } catch (const std::exception& error) {
    // A failed calibration has logged its error already.
    if (!inside_calibration) log->error("{}", error.what());
    return 1;
  }
  return 0;
}
