#include "orvalt/calibration/varnholt/run_loop.hpp"

#include <algorithm>
#include <filesystem>
#include <numeric>

#include <fmt/format.h>

#include "orvalt/common/logger.hpp"

namespace orvalt::calibration {
namespace {

auto log() { return common::logger("orvalt.calibration.varnholt"); }

}  // namespace

std::vector<TimeDict> run_datasets(RunSettings& settings, const Calibrate& calibrate) {
  namespace fs = std::filesystem;
  const fs::path output_root = settings.parser_output_dir;
  std::vector<TimeDict> results;
  for (const auto& entry : fs::directory_iterator(settings.bag_datasets_dir)) {
    settings.bag_dir = entry.path().string();
    const fs::path dataset_dir = output_root / entry.path().filename();
    for (int i = 0; i < settings.calib_num; ++i) {
      log()->info("Start calibration {}", i);
      settings.parser_output_dir = (dataset_dir / ("calib_" + std::to_string(i))).string();
      results.push_back(calibrate(settings));
    }
  }
  log()->info("Calibration done, {} datasets, {} times each dataset", results.size(),
              settings.calib_num);
  return results;
}

std::vector<std::string> time_statistics(const std::vector<TimeDict>& results) {
  std::vector<std::string> lines;
  if (results.empty()) return lines;
  for (const auto& [key, first_value] : results.front()) {
    std::vector<double> values;
    for (TimeDict run : results) values.push_back(time_entry(run, key));
    const double mean = std::accumulate(values.begin(), values.end(), 0.0) / values.size();
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    lines.push_back(
        fmt::format("============={} : avg time: {:.2f}(s), max time: {:.2f}(s), min "
                    "time: {:.2f}(s)",
                    key, mean, *high, *low));
  }
  return lines;
}

}  // namespace orvalt::calibration
