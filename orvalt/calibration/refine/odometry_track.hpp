#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include <ceres/jet.h>
#include <Eigen/Core>

namespace orvalt::calibration {

// A pose of base_footprint on the floor of the odometry frame: metres and radians.
struct PlanarPose {
  double x = 0.0;
  double y = 0.0;
  double yaw = 0.0;
};

struct OdometrySample {
  double time = 0.0;  // seconds on the caller's clock
  PlanarPose pose;
};

inline double scalar_value(double value) { return value; }
template <typename T, int N>
double scalar_value(const ceres::Jet<T, N>& value) {
  return value.a;
}

// The odometry pose as a smooth function of time through samples: a cubic Hermite curve with
// Catmull-Rom tangents on x, y and the unwrapped yaw. Cubic rather than linear because the
// robot accelerates between camera frames, and a chord would put the pose off the driven path
// by a fraction of a millimetre, which the refinement would read as calibration error. Times
// outside the samples extend the first or last piece.
class OdometryTrack {
 public:
  // Throws std::invalid_argument for fewer than two samples or times that do not increase.
  explicit OdometryTrack(const std::vector<OdometrySample>& samples);

  // pose = (x, y, yaw) at `time`; T is double or a ceres::Jet.
  template <typename T>
  void pose_at(const T& time, T pose[3]) const {
    const double t = scalar_value(time);
    const auto after = std::upper_bound(times_.begin(), times_.end(), t);
    const auto last_piece = static_cast<std::ptrdiff_t>(times_.size()) - 2;
    const auto i = std::clamp<std::ptrdiff_t>(after - times_.begin() - 1, 0, last_piece);
    const double h = times_[i + 1] - times_[i];
    const T u = (time - times_[i]) / h;
    const T u2 = u * u;
    const T u3 = u2 * u;
    const T h00 = 2.0 * u3 - 3.0 * u2 + 1.0;
    const T h10 = u3 - 2.0 * u2 + u;
    const T h01 = -2.0 * u3 + 3.0 * u2;
    const T h11 = u3 - u2;
    for (int k = 0; k < 3; ++k) {
      pose[k] = h00 * poses_[i](k) + h10 * (h * tangents_[i](k)) + h01 * poses_[i + 1](k) +
                h11 * (h * tangents_[i + 1](k));
    }
  }

  PlanarPose pose_at(double time) const;

 private:
  std::vector<double> times_;
  std::vector<Eigen::Vector3d> poses_;     // yaw unwrapped
  std::vector<Eigen::Vector3d> tangents_;  // per second
};

}  // namespace orvalt::calibration
