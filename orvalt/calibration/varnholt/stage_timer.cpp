#include "orvalt/calibration/varnholt/stage_timer.hpp"

#include "orvalt/common/logger.hpp"

namespace orvalt::calibration {
namespace {

double seconds(std::chrono::steady_clock::duration elapsed) {
  return std::chrono::duration<double>(elapsed).count();
}

}  // namespace

StageTimer::StageTimer(TimeDict& time_dict)
    : time_dict_(time_dict), start_(Clock::now()), mark_(start_) {}

void StageTimer::finish_stage(const std::string& key, const std::string& label,
                              const std::string& banner, spdlog::level::level_enum level) {
  const Clock::time_point now = Clock::now();
  const double elapsed = seconds(now - mark_);
  time_entry(time_dict_, key) = elapsed;
  const auto log = common::logger("orvalt.calibration.varnholt");
  log->log(level, "{} time: {:.4f} s", label, elapsed);
  log->debug("**********{} done**********\n", banner);
  mark_ = now;
}

double StageTimer::finish_total() {
  const double total = seconds(Clock::now() - start_);
  time_entry(time_dict_, "total_time") = total;
  common::logger("orvalt.calibration.varnholt")
      ->debug("Total calibration time: {:.2f} seconds", total);
  return total;
}

}  // namespace orvalt::calibration
