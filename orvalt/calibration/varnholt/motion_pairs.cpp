#include "orvalt/calibration/varnholt/motion_pairs.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include <fmt/format.h>

#include "orvalt/calibration/utils/transform_utils.hpp"
#include "orvalt/calibration/varnholt/calibration_result.hpp"
#include "orvalt/draventa/odom_relative_transform.hpp"

namespace orvalt::calibration {

MotionDiscrepancy motion_discrepancy(const Eigen::Matrix4d& T_odom,
                                     const Eigen::Matrix4d& T_camera) {
  MotionDiscrepancy discrepancy;
  discrepancy.angle_error = TransformUtils::rotmat_to_rpy(T_odom.block<3, 3>(0, 0)) -
                            TransformUtils::rotmat_to_rpy(T_camera.block<3, 3>(0, 0));
  discrepancy.angle_error_deg = discrepancy.angle_error * 180.0 / M_PI;
  discrepancy.translation_error = T_odom.block<3, 1>(0, 3) - T_camera.block<3, 1>(0, 3);
  discrepancy.distance_error = discrepancy.translation_error.norm();
  return discrepancy;
}

bool keeps_pair(const MotionDiscrepancy& discrepancy) {
  // A NaN distance, from a broken motion, fails here.
  return discrepancy.distance_error <= kMaxPairDistanceError;
}

bool share_a_tag(const apriltag::TagMap& tags_k, const apriltag::TagMap& tags_k1) {
  return std::any_of(tags_k.begin(), tags_k.end(), [&](const auto& tag) {
    return std::any_of(tags_k1.begin(), tags_k1.end(),
                       [&](const auto& other) { return other.first == tag.first; });
  });
}

Eigen::Matrix4d odom_motion(const FrameRecord& frame_k, const FrameRecord& frame_k1) {
  const auto list = [](const auto& values) {
    return std::vector<double>(values.begin(), values.end());
  };
  return draventa::OdomRelativeTransform::compute_odom_relative_transform(
      list(frame_k.position), list(frame_k.orientation), list(frame_k1.position),
      list(frame_k1.orientation));
}

Eigen::Matrix4d camera_motion(const Eigen::Matrix4d& points_k_to_k1) {
  const Eigen::Matrix3d R = points_k_to_k1.block<3, 3>(0, 0);
  Eigen::Matrix4d camera_k1_in_k = Eigen::Matrix4d::Identity();
  camera_k1_in_k.block<3, 3>(0, 0) = R.transpose();
  camera_k1_in_k.block<3, 1>(0, 3) = -R.transpose() * points_k_to_k1.block<3, 1>(0, 3);
  return camera_k1_in_k;
}

std::string estimate_line(std::int64_t ts_k, std::int64_t ts_k1,
                          const MotionDiscrepancy& discrepancy) {
  return fmt::format("{}_{} : dis_error: {}, t_error: {}, R_error_rad: {}, R_error_deg: {}", ts_k,
                     ts_k1, discrepancy.distance_error, array_text(discrepancy.translation_error),
                     array_text(discrepancy.angle_error), array_text(discrepancy.angle_error_deg));
}

PoseRow pose_row(std::int64_t timestamp, const FrameRecord& frame) {
  PoseRow row;
  row.timestamp = timestamp;
  row.tx = frame.position[0];
  row.ty = frame.position[1];
  row.tz = frame.position[2];
  row.qx = frame.orientation[1];
  row.qy = frame.orientation[2];
  row.qz = frame.orientation[3];
  row.qw = frame.orientation[0];
  return row;
}

}  // namespace orvalt::calibration
