#include "orvalt/simulation/camera_model.hpp"

namespace orvalt::simulation {

Eigen::Matrix3d flu_from_optical() {
  Eigen::Matrix3d rotation;
  rotation << 0, 0, 1, -1, 0, 0, 0, -1, 0;
  return rotation;
}

Eigen::Matrix3d PinholeCamera::K() const {
  Eigen::Matrix3d K;
  K << intrinsics_.fx, 0, intrinsics_.cx, 0, intrinsics_.fy, intrinsics_.cy, 0, 0, 1;
  return K;
}

Eigen::Vector2d PinholeCamera::project(const Eigen::Vector3d& point_in_optical) const {
  return {intrinsics_.fx * point_in_optical.x() / point_in_optical.z() + intrinsics_.cx,
          intrinsics_.fy * point_in_optical.y() / point_in_optical.z() + intrinsics_.cy};
}

Eigen::Vector3d PinholeCamera::back_project(double u, double v, double z) const {
  return {(u - intrinsics_.cx) * z / intrinsics_.fx, (v - intrinsics_.cy) * z / intrinsics_.fy, z};
}

}  // namespace orvalt::simulation
