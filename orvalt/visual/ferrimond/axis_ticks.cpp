#include "orvalt/visual/ferrimond/axis_ticks.hpp"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

namespace orvalt::visual {
namespace {

// The fewest decimals that write `step` exactly (2.5 needs one, 0.025 three).
int decimals_of(double step) {
  for (int decimals = 0; decimals < 15; ++decimals) {
    const double scaled = step * std::pow(10.0, decimals);
    if (std::abs(scaled - std::round(scaled)) <= 1e-6 * scaled) return decimals;
  }
  return 15;
}

}  // namespace

std::string tick_label(double value, int decimals) {
  std::string digits = fmt::format("{:.{}f}", std::abs(value), decimals);
  // A value that rounds to zero is written without a sign.
  const bool negative = value < 0 && digits.find_first_not_of("0.") != std::string::npos;
  return negative ? "\u2212" + digits : digits;
}

std::vector<Tick> automatic_ticks(double low, double high, int max_count) {
  if (!std::isfinite(low) || !std::isfinite(high) || !(high > low) || max_count < 1) return {};
  const double raw_step = (high - low) / max_count;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw_step)));
  double step = 10.0 * magnitude;
  for (double multiple : {1.0, 2.0, 2.5, 5.0}) {
    if (multiple * magnitude >= raw_step * (1.0 - 1e-9)) {
      step = multiple * magnitude;
      break;
    }
  }
  const int decimals = decimals_of(step);
  // Ticks are whole multiples of the step, so that rounding does not build up along the axis.
  const double tolerance = 1e-9 * (high - low);
  const auto first = static_cast<long long>(std::ceil((low - tolerance) / step));
  const auto last = static_cast<long long>(std::floor((high + tolerance) / step));
  std::vector<Tick> ticks;
  for (long long index = first; index <= last; ++index) {
    const double value = static_cast<double>(index) * step;
    ticks.push_back({value, tick_label(value, decimals)});
  }
  return ticks;
}

std::vector<Tick> fitting_ticks(double low, double high, double length,
                                const std::function<double(const std::string&)>& room) {
  constexpr int kMostIntervals = 9;
  std::vector<Tick> ticks;
  for (int intervals = kMostIntervals; intervals >= 1; --intervals) {
    ticks = automatic_ticks(low, high, intervals);
    if (ticks.size() < 2) return ticks;
    double needed = 0;
    for (const Tick& tick : ticks) needed = std::max(needed, room(tick.label));
    const double spacing = (ticks[1].value - ticks[0].value) / (high - low) * length;
    if (spacing >= needed) break;
  }
  return ticks;
}

}  // namespace orvalt::visual
