#pragma once

#include <chrono>
#include <string>

#include <spdlog/common.h>

#include "orvalt/calibration/varnholt/time_dict.hpp"

namespace orvalt::calibration {

// Times the stages of one run into its time_dict. Each stage runs from the previous mark (the
// timer's creation for the first) to the end of its own step, so it includes the previous
// stage's log lines.
class StageTimer {
 public:
  explicit StageTimer(TimeDict& time_dict);

  // Stores the seconds since the last mark under `key` (a key of new_time_dict), logs
  // "<label> time: <seconds, 4 decimals> s" at `level` and then
  // "**********<banner> done**********\n" at debug level, and marks.
  void finish_stage(const std::string& key, const std::string& label, const std::string& banner,
                    spdlog::level::level_enum level = spdlog::level::debug);

  // Stores the seconds since the timer's creation under "total_time", logs "Total calibration
  // time: <seconds, 2 decimals> seconds" at debug level and returns them.
  double finish_total();

 private:
  using Clock = std::chrono::steady_clock;
  TimeDict& time_dict_;
  Clock::time_point start_;
  Clock::time_point mark_;
};

}  // namespace orvalt::calibration
