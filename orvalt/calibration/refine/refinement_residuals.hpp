#pragma once

#include <cmath>

#include <ceres/rotation.h>
#include <Eigen/Core>

#include "orvalt/calibration/refine/odometry_track.hpp"
#include "orvalt/common/camera_intrinsics.hpp"

// Cost functors of the board refinement. Every residual is whitened (divided by its standard
// deviation), so that one robust loss and one posterior variance serve them all.
namespace orvalt::calibration::refine_residuals {

// R = Rz(rz) * Ry(ry) * Rx(rx) of an extrinsic six-vector, row-major.
template <typename T>
void rotation_of_vec6(const T* vec6, T R[9]) {
  using std::cos;
  using std::sin;
  const T cr = cos(vec6[0]), sr = sin(vec6[0]);
  const T cp = cos(vec6[1]), sp = sin(vec6[1]);
  const T cy = cos(vec6[2]), sy = sin(vec6[2]);
  R[0] = cy * cp;
  R[1] = cy * sp * sr - sy * cr;
  R[2] = cy * sp * cr + sy * sr;
  R[3] = sy * cp;
  R[4] = sy * sp * sr + cy * cr;
  R[5] = sy * sp * cr - cy * sr;
  R[6] = -sp;
  R[7] = cp * sr;
  R[8] = cp * cr;
}

// Pose b expressed in pose a (both planar poses in one frame): a^-1 * b.
template <typename T>
void planar_between(const T* a, const T* b, T relative[3]) {
  using std::atan2;
  using std::cos;
  using std::sin;
  const T dx = b[0] - a[0];
  const T dy = b[1] - a[1];
  const T c = cos(a[2]), s = sin(a[2]);
  relative[0] = c * dx + s * dy;
  relative[1] = -s * dx + c * dy;
  const T turn = b[2] - a[2];
  relative[2] = atan2(sin(turn), cos(turn));
}

// One tag corner seen in one frame. Parameters: the extrinsic six-vector (camera in
// forward-left-up axes to base_footprint), the frame's planar base pose in odom, and the tag's
// pose in odom (angle-axis, translation; tag frame as OpenCV's square-marker convention).
struct CornerReprojection {
  common::CameraIntrinsics intrinsics;
  Eigen::Vector3d corner_in_tag;
  Eigen::Vector2d observed;
  double pixel_sigma;

  template <typename T>
  bool operator()(const T* extrinsic, const T* base_pose, const T* tag_pose, T* residual) const {
    using std::cos;
    using std::sin;
    const T corner[3] = {T(corner_in_tag.x()), T(corner_in_tag.y()), T(corner_in_tag.z())};
    T p_odom[3];
    ceres::AngleAxisRotatePoint(tag_pose, corner, p_odom);
    for (int k = 0; k < 3; ++k) p_odom[k] += tag_pose[3 + k];

    const T dx = p_odom[0] - base_pose[0];
    const T dy = p_odom[1] - base_pose[1];
    const T c = cos(base_pose[2]), s = sin(base_pose[2]);
    const T p_base[3] = {c * dx + s * dy, -s * dx + c * dy, p_odom[2]};

    T R[9];
    rotation_of_vec6(extrinsic, R);
    const T offset[3] = {p_base[0] - extrinsic[3], p_base[1] - extrinsic[4],
                         p_base[2] - extrinsic[5]};
    T p_camera[3];  // R^T * offset: forward, left, up
    for (int k = 0; k < 3; ++k) {
      p_camera[k] = R[k] * offset[0] + R[3 + k] * offset[1] + R[6 + k] * offset[2];
    }
    // A point behind the camera has no image; Ceres then shortens the step.
    if (p_camera[0] < 1e-6) return false;
    const T u = intrinsics.fx * (-p_camera[1] / p_camera[0]) + intrinsics.cx;
    const T v = intrinsics.fy * (-p_camera[2] / p_camera[0]) + intrinsics.cy;
    residual[0] = (u - observed.x()) / pixel_sigma;
    residual[1] = (v - observed.y()) / pixel_sigma;
    return true;
  }
};

// The heights above the floor of one cloud of floor points, summed through their moment
// matrix: with w = (third row of R, tz), sum of heights^2 = w^T M w = |root * w|^2 where
// M = sum of (p, 1)(p, 1)^T and root^T root = M. Four residuals stand for the whole cloud, so
// a cloud of thousands of points costs no more than one corner; it fixes the height and tilt.
struct FloorHeights {
  Eigen::Matrix4d root;  // already divided by the height sigma

  template <typename T>
  bool operator()(const T* extrinsic, T* residual) const {
    using std::cos;
    using std::sin;
    const T w[4] = {-sin(extrinsic[1]), cos(extrinsic[1]) * sin(extrinsic[0]),
                    cos(extrinsic[1]) * cos(extrinsic[0]), extrinsic[5]};
    for (int i = 0; i < 4; ++i) {
      residual[i] = root(i, 0) * w[0] + root(i, 1) * w[1] + root(i, 2) * w[2] + root(i, 3) * w[3];
    }
    return true;
  }
};

// The refined motion between two frames against the odometry's motion over the same span,
// both sampled at the frame stamps moved by the time offset. Wheel odometry misjudges distance
// and turn by nearly constant factors (wheel radius, wheel base), which the board's metric view
// of the motion reveals; they are unknowns here, so that they do not pass as random noise.
// Parameters: the two planar base poses, the time offset (seconds, added to the camera stamps)
// and the odometry's relative errors of distance and turn.
struct OdometryBetween {
  const OdometryTrack* track;
  double from_time;
  double to_time;
  Eigen::Vector3d sigma;  // x, y in metres, yaw in radians

  template <typename T>
  bool operator()(const T* from_pose, const T* to_pose, const T* time_offset, const T* scale_errors,
                  T* residual) const {
    using std::cos;
    using std::sin;
    T odometry_from[3], odometry_to[3], measured[3], estimated[3], error[3];
    track->pose_at(from_time + time_offset[0], odometry_from);
    track->pose_at(to_time + time_offset[0], odometry_to);
    planar_between(odometry_from, odometry_to, measured);
    // Undo the errors: the turn shrinks by its factor, and the chord of the arc, which points
    // half the turn ahead, turns with it and shrinks by the distance factor.
    const T turn = measured[2] / (T(1.0) + scale_errors[1]);
    const T chord_turn = (turn - measured[2]) / T(2.0);
    const T c = cos(chord_turn), s = sin(chord_turn);
    const T corrected[3] = {(c * measured[0] - s * measured[1]) / (T(1.0) + scale_errors[0]),
                            (s * measured[0] + c * measured[1]) / (T(1.0) + scale_errors[0]), turn};
    planar_between(from_pose, to_pose, estimated);
    planar_between(corrected, estimated, error);
    for (int k = 0; k < 3; ++k) residual[k] = error[k] / sigma(k);
    return true;
  }
};

// A weak pull towards the starting values, so that a parameter the recording says nothing
// about leaves the normal equations solvable and shows as undetermined in the covariance.
template <int N>
struct WeakPrior {
  Eigen::Matrix<double, N, 1> start;
  Eigen::Matrix<double, N, 1> sigma;

  template <typename T>
  bool operator()(const T* value, T* residual) const {
    for (int k = 0; k < N; ++k) residual[k] = (value[k] - start(k)) / sigma(k);
    return true;
  }
};

}  // namespace orvalt::calibration::refine_residuals
