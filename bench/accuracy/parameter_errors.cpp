#include "bench/accuracy/parameter_errors.hpp"

#include <cmath>
#include <numeric>

#include "orvalt/common/angles.hpp"

namespace orvalt::bench {

const char* parameter_unit(std::size_t parameter) { return parameter < 3 ? "deg" : "mm"; }

ParameterErrors parameter_errors(const calibration::Vector6d& estimate,
                                 const calibration::Vector6d& truth) {
  ParameterErrors errors{};
  for (int i = 0; i < 3; ++i) {
    const double degrees = common::rad_to_deg(estimate(i) - truth(i));
    errors[i] = degrees - 360.0 * std::floor((degrees + 180.0) / 360.0);
  }
  for (int i = 3; i < 6; ++i) errors[i] = (estimate(i) - truth(i)) * 1000.0;
  return errors;
}

calibration::Vector6d vec6_of(const Eigen::Matrix4d& X) {
  calibration::Vector6d vec6;
  vec6.head<3>() = calibration::TransformUtils::rotmat_to_rpy(X.block<3, 3>(0, 0));
  vec6.tail<3>() = X.block<3, 1>(0, 3);
  return vec6;
}

ErrorSummary summarise(const std::vector<double>& errors) {
  ErrorSummary summary;
  summary.count = errors.size();
  if (errors.empty()) return summary;
  const double n = static_cast<double>(errors.size());
  summary.mean = std::accumulate(errors.begin(), errors.end(), 0.0) / n;
  double squares = 0.0;
  for (double error : errors) {
    squares += (error - summary.mean) * (error - summary.mean);
    summary.max_abs = std::max(summary.max_abs, std::abs(error));
  }
  if (errors.size() > 1) summary.stddev = std::sqrt(squares / (n - 1.0));
  return summary;
}

}  // namespace orvalt::bench
