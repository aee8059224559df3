#pragma once

#include <functional>
#include <string>
#include <vector>

#include "orvalt/calibration/varnholt/run_settings.hpp"
#include "orvalt/calibration/varnholt/time_dict.hpp"

namespace orvalt::calibration {

// One complete calibration over the settings as the loop left them.
using Calibrate = std::function<TimeDict(RunSettings&)>;

// Runs `calibrate` calib_num times for every entry of bag_datasets_dir, in listing order and
// unfiltered: bag_dir becomes the entry's path and parser_output_dir the run directory
// root / entry name / "calib_" + i, root being parser_output_dir on entry. Logs each start
// and then the run count. A failing run ends the loop with its error. Throws
// std::filesystem::filesystem_error when the datasets directory cannot be listed.
std::vector<TimeDict> run_datasets(RunSettings& settings, const Calibrate& calibrate);

// "=============key : avg time: 1.00(s), max time: 2.00(s), min time: 0.50(s)" for each key of
// the first run, over all runs; no lines without runs.
std::vector<std::string> time_statistics(const std::vector<TimeDict>& results);

}  // namespace orvalt::calibration
