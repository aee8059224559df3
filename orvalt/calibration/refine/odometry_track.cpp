#include "orvalt/calibration/refine/odometry_track.hpp"

#include <cmath>
#include <stdexcept>

namespace orvalt::calibration {

OdometryTrack::OdometryTrack(const std::vector<OdometrySample>& samples) {
  if (samples.size() < 2) {
    throw std::invalid_argument("An odometry track needs at least two samples");
  }
  for (const OdometrySample& sample : samples) {
    Eigen::Vector3d pose(sample.pose.x, sample.pose.y, sample.pose.yaw);
    if (!times_.empty()) {
      if (!(sample.time > times_.back())) {
        throw std::invalid_argument("Odometry sample times must increase");
      }
      pose(2) = poses_.back()(2) + std::remainder(pose(2) - poses_.back()(2), 2.0 * M_PI);
    }
    times_.push_back(sample.time);
    poses_.push_back(pose);
  }
  const std::size_t n = poses_.size();
  tangents_.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t before = i == 0 ? 0 : i - 1;
    const std::size_t after = i + 1 == n ? i : i + 1;
    tangents_[i] = (poses_[after] - poses_[before]) / (times_[after] - times_[before]);
  }
}

PlanarPose OdometryTrack::pose_at(double time) const {
  double pose[3];
  pose_at<double>(time, pose);
  return {pose[0], pose[1], pose[2]};
}

}  // namespace orvalt::calibration
