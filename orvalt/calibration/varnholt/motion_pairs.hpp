#pragma once

#include <cstdint>
#include <string>

#include <Eigen/Core>

#include "orvalt/calibration/utils/utils.hpp"
#include "orvalt/calibration/varnholt/frame_record.hpp"

namespace orvalt::calibration {

// A pair is kept when the odometry and camera translations agree within this many metres.
inline constexpr double kMaxPairDistanceError = 0.05;

// How far the odometry motion A and the camera motion B of one pair disagree.
struct MotionDiscrepancy {
  Eigen::Vector3d angle_error;        // rotmat_to_rpy(A) - rotmat_to_rpy(B), radians
  Eigen::Vector3d angle_error_deg;    // the same in degrees
  Eigen::Vector3d translation_error;  // t_A - t_B, metres
  double distance_error = 0.0;        // |t_A - t_B|
};

MotionDiscrepancy motion_discrepancy(const Eigen::Matrix4d& base_k_from_base_k1,
                                     const Eigen::Matrix4d& cam_k_from_cam_k1);

// The distance gate: equal to the limit still passes.
bool keeps_pair(const MotionDiscrepancy& discrepancy);

// Whether some tag id is in both maps: a pair without one cannot give a camera motion.
bool share_a_tag(const apriltag::TagMap& tags_k, const apriltag::TagMap& tags_k1);

// The odometry half of a pair, A = base_k_from_base_k1: the pose of base k+1 in base k.
Eigen::Matrix4d odom_motion(const FrameRecord& frame_k, const FrameRecord& frame_k1);

// The camera half of a pair, B = cam_k_from_cam_k1, from the estimator's motion, which maps
// tag points of camera k to camera k+1. The pair needs the motion in the same sense as the
// odometry's, so that A X = X B holds at the true extrinsic X = base_from_cam: the inverse.
Eigen::Matrix4d camera_motion(const Eigen::Matrix4d& cam_k1_from_cam_k);

// The debug report line of a kept pair (for "estime_pose.csv", without the line end).
std::string estimate_line(std::int64_t ts_k, std::int64_t ts_k1,
                          const MotionDiscrepancy& discrepancy);

}  // namespace orvalt::calibration
