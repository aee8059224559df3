#pragma once

#include <array>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "orvalt/calibration/utils/transform_utils.hpp"

namespace orvalt::bench {

// The six parameters of the extrinsic, in the order of the six-vector.
inline constexpr std::array<const char*, 6> kParameterNames = {"rx", "ry", "rz", "tx", "ty", "tz"};
// "deg" for the angles, "mm" for the translations.
const char* parameter_unit(std::size_t parameter);

using ParameterErrors = std::array<double, 6>;

// estimate - truth per parameter: angles in degrees wrapped into [-180, 180), translations in
// millimetres.
ParameterErrors parameter_errors(const calibration::Vector6d& estimate,
                                 const calibration::Vector6d& truth);

// The six-vector of a transform (angles as rotmat_to_rpy gives them).
calibration::Vector6d vec6_of(const Eigen::Matrix4d& X);

// Mean, sample standard deviation and largest magnitude of one parameter's errors.
struct ErrorSummary {
  double mean = 0.0;
  double stddev = 0.0;
  double max_abs = 0.0;
  std::size_t count = 0;
};
// Zero count and zero figures without errors; a zero deviation for a single one.
ErrorSummary summarise(const std::vector<double>& errors);

}  // namespace orvalt::bench
