#include "orvalt/calibration/varnholt/motion_pairs.hpp"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "orvalt/calibration/utils/transform_utils.hpp"
#include "orvalt/calibration/varnholt/calibration_result.hpp"
#include "orvalt/common/angles.hpp"
#include "orvalt/draventa/odom_relative_transform.hpp"

namespace orvalt::calibration {

MotionDiscrepancy motion_discrepancy(const Eigen::Matrix4d& base_k_from_base_k1,
                                     const Eigen::Matrix4d& cam_k_from_cam_k1) {
  MotionDiscrepancy discrepancy;
  discrepancy.angle_error = TransformUtils::rotmat_to_rpy(base_k_from_base_k1.block<3, 3>(0, 0)) -
                            TransformUtils::rotmat_to_rpy(cam_k_from_cam_k1.block<3, 3>(0, 0));
  discrepancy.angle_error_deg = common::rad_to_deg(discrepancy.angle_error);
  discrepancy.translation_error =
      base_k_from_base_k1.block<3, 1>(0, 3) - cam_k_from_cam_k1.block<3, 1>(0, 3);
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
  return draventa::OdomRelativeTransform::compute_odom_relative_transform(
      frame_k.pose.translation(), frame_k.pose.quaternion_wxyz(), frame_k1.pose.translation(),
      frame_k1.pose.quaternion_wxyz());
}

Eigen::Matrix4d camera_motion(const Eigen::Matrix4d& cam_k1_from_cam_k) {
  const Eigen::Matrix3d R = cam_k1_from_cam_k.block<3, 3>(0, 0);
  Eigen::Matrix4d cam_k_from_cam_k1 = Eigen::Matrix4d::Identity();
  cam_k_from_cam_k1.block<3, 3>(0, 0) = R.transpose();
  cam_k_from_cam_k1.block<3, 1>(0, 3) = -R.transpose() * cam_k1_from_cam_k.block<3, 1>(0, 3);
  return cam_k_from_cam_k1;
}

std::string estimate_line(std::int64_t ts_k, std::int64_t ts_k1,
                          const MotionDiscrepancy& discrepancy) {
  return fmt::format("{}_{} : dis_error: {}, t_error: {}, R_error_rad: {}, R_error_deg: {}", ts_k,
                     ts_k1, discrepancy.distance_error, array_text(discrepancy.translation_error),
                     array_text(discrepancy.angle_error), array_text(discrepancy.angle_error_deg));
}

}  // namespace orvalt::calibration
