#pragma once

#include <functional>
#include <string>
#include <vector>

namespace orvalt::visual {

// A labelled tick mark at `value` in data units.
struct Tick {
  double value = 0;
  std::string label;
};

// `value` with `decimals` decimals and a true minus sign (U+2212) when negative, as plotting
// libraries print tick labels; never a scale factor or exponent, so that a label reads right on
// its own at any magnitude.
std::string tick_label(double value, int decimals);

// Ticks at round steps (1, 2, 2.5 or 5 times a power of ten) inside [low, high], at most
// `max_count` + 1 of them, each labelled with as many decimals as the step needs. Empty when the
// range is empty or not finite.
std::vector<Tick> automatic_ticks(double low, double high, int max_count);

// The most automatic_ticks (at most 10) on an axis `length` points long whose labels keep
// clear of each other, when a label needs `room(label)` points along the axis.
std::vector<Tick> fitting_ticks(double low, double high, double length,
                                const std::function<double(const std::string&)>& room);

}  // namespace orvalt::visual
