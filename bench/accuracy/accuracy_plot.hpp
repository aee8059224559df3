#pragma once

#include <filesystem>
#include <string>

#include "bench/accuracy/accuracy_statistics.hpp"

namespace orvalt::bench {

// The label a method has in the plots: the calibration setting up to its first comma, the
// solver's name without "OpenCV ", "linear" for solve_axxb_linear.
std::string plot_label(const std::string& method);

// Draws one figure of the condition's error distributions as a PNG: a panel per parameter,
// the magnitude of every run's error per method on a logarithmic axis (exact results at the
// axis' floor of 1e-4), the median marked. Failed runs are not drawn. Throws
// std::runtime_error when the file cannot be written.
void plot_condition(const std::filesystem::path& path, const ConditionStatistics& statistics,
                    const std::string& title);

}  // namespace orvalt::bench
