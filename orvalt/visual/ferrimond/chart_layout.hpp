#pragma once

#include <utility>
#include <vector>

namespace orvalt::visual {

// Axis limits as an automatic plot chooses them: the range of the finite values grown by 5 % on
// each side, (0, 1) without data and +-1 around a single value.
std::pair<double, double> padded_range(const std::vector<const std::vector<double>*>& series);

// Points (xs, ys) of one drawn series, for emptiest_corner.
using Series = std::pair<const std::vector<double>*, const std::vector<double>*>;

// The corner of the axes (0 bottom-left, 1 bottom-right, 2 top-left, 3 top-right) whose
// quarter holds the fewest data points, so that the legend hides as little as possible.
int emptiest_corner(const std::vector<Series>& series, double x_low, double x_high, double y_low,
                    double y_high);

}  // namespace orvalt::visual
