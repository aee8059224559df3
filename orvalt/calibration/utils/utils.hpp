#pragma once

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <tuple>
#include <vector>

#include <Eigen/Core>

namespace orvalt::calibration {

// A timestamped pose of the robot base in the global frame, the one pose record of the
// calibration: timestamp (ns), translation (m), orientation quaternion. A CSV pose row holds it
// as timestamp, tx, ty, tz, qx, qy, qz, qw; a sensor file stem as tx, ty, tz, qw, qx, qy, qz.
struct PoseRow {
  std::int64_t timestamp = 0;
  double tx = 0, ty = 0, tz = 0;
  double qx = 0, qy = 0, qz = 0, qw = 1;
  Eigen::Vector3d translation() const { return {tx, ty, tz}; }
  Eigen::Vector4d quaternion_wxyz() const { return {qw, qx, qy, qz}; }
  // The heading: the rotation about z, radians in [-pi, pi].
  double yaw() const {
    return std::atan2(2.0 * (qw * qz + qx * qy), 1.0 - 2.0 * (qy * qy + qz * qz));
  }
  auto key() const { return std::tie(timestamp, tx, ty, tz, qx, qy, qz, qw); }
  bool operator<(const PoseRow& other) const { return key() < other.key(); }
  bool operator==(const PoseRow& other) const { return key() == other.key(); }
};

struct PoseList {
  std::vector<PoseRow> pose_list;  // in file order
  double range_x = 0;              // max - min of tx (0 without rows)
  double range_y = 0;              // max - min of ty
};

// The CSV pose files ("odom_pose.csv", "odom_pose_filtered.csv"): a header line
// "timestamp,tx,ty,tz,qx,qy,qz,qw", then one row per pose sorted by timestamp (then by the
// other values), the timestamp as an integer and every other value with 9 decimals.
class Utils {
 public:
  // Throws std::runtime_error naming the file when it cannot be written.
  static void save_pose_set_to_csv(const std::vector<PoseRow>& pose_set,
                                   const std::filesystem::path& path);
  // Throws common::FileNotFoundError for a missing file and std::runtime_error naming the
  // file and line for a malformed row.
  static PoseList load_csv_to_pose_list(const std::filesystem::path& path);
};

}  // namespace orvalt::calibration
