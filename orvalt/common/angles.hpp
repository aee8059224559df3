#pragma once

#include <Eigen/Core>

namespace orvalt::common {

// Degrees and radians: users give and read angles in degrees, every computation is in radians.
inline constexpr double kPi = 3.14159265358979323846;
// One degree in radians, as a unit: `30.0 * kDegree`.
inline constexpr double kDegree = kPi / 180.0;

constexpr double deg_to_rad(double degrees) { return degrees * kPi / 180.0; }
constexpr double rad_to_deg(double radians) { return radians * 180.0 / kPi; }

template <typename Derived>
auto deg_to_rad(const Eigen::MatrixBase<Derived>& degrees) {
  return (degrees * kDegree).eval();
}
template <typename Derived>
auto rad_to_deg(const Eigen::MatrixBase<Derived>& radians) {
  return (radians * (180.0 / kPi)).eval();
}

}  // namespace orvalt::common
