#include "orvalt/visual/ferrimond/chart_layout.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace orvalt::visual {

std::pair<double, double> padded_range(const std::vector<const std::vector<double>*>& series) {
  double low = INFINITY, high = -INFINITY;
  for (const auto* values : series) {
    for (double value : *values) {
      if (!std::isfinite(value)) continue;
      low = std::min(low, value);
      high = std::max(high, value);
    }
  }
  if (low > high) return {0.0, 1.0};
  if (low == high) return {low - 1.0, high + 1.0};
  const double margin = 0.05 * (high - low);
  return {low - margin, high + margin};
}

int emptiest_corner(const std::vector<Series>& series, double x_low, double x_high, double y_low,
                    double y_high) {
  std::array<int, 4> counts{};
  for (const auto& [xs, ys] : series) {
    for (std::size_t i = 0; i < xs->size() && i < ys->size(); ++i) {
      const double u = ((*xs)[i] - x_low) / (x_high - x_low);
      const double v = ((*ys)[i] - y_low) / (y_high - y_low);
      if (!(u >= 0.0 && u <= 1.0 && v >= 0.0 && v <= 1.0)) continue;
      const int right = u > 0.55 ? 1 : (u < 0.45 ? 0 : -1);
      const int top = v > 0.6 ? 1 : (v < 0.4 ? 0 : -1);
      if (right >= 0 && top >= 0) ++counts[2 * top + right];
    }
  }
  int best = 3;  // ties go to the top right, where readers look for a legend first
  for (int corner : {2, 1, 0}) {
    if (counts[corner] < counts[best]) best = corner;
  }
  return best;
}

}  // namespace orvalt::visual
