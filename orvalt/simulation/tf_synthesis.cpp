#include "orvalt/simulation/tf_synthesis.hpp"

#include "orvalt/simulation/camera_model.hpp"

namespace orvalt::simulation {
namespace {

Eigen::Isometry3d planar(double x, double y, double yaw) {
  Eigen::Isometry3d pose = Eigen::Isometry3d::Identity();
  pose.linear() = Eigen::AngleAxisd(yaw, Eigen::Vector3d::UnitZ()).toRotationMatrix();
  pose.translation() = Eigen::Vector3d(x, y, 0.0);
  return pose;
}

Eigen::Isometry3d wheel(double side, double angle) {
  Eigen::Isometry3d pose = Eigen::Isometry3d::Identity();
  pose.linear() = Eigen::AngleAxisd(angle, Eigen::Vector3d::UnitY()).toRotationMatrix();
  pose.translation() = Eigen::Vector3d(0.0, side * 0.5 * OdometrySimulator::kWheelSeparation, 0.0);
  return pose;
}

}  // namespace

ros2::geometry_msgs::TransformStamped transform_stamped(
    const std::string& parent, const std::string& child, std::int64_t stamp_ns,
    const Eigen::Isometry3d& parent_from_child) {
  ros2::geometry_msgs::TransformStamped message;
  message.header.stamp = ros2::builtin_interfaces::Time::from_nanoseconds(stamp_ns);
  message.header.frame_id = parent;
  message.child_frame_id = child;
  const Eigen::Vector3d& t = parent_from_child.translation();
  message.transform.translation = {t.x(), t.y(), t.z()};
  Eigen::Quaterniond q(parent_from_child.linear());
  q.normalize();
  if (q.w() < 0) q.coeffs() = -q.coeffs();
  message.transform.rotation = {q.x(), q.y(), q.z(), q.w()};
  return message;
}

ros2::tf2_msgs::TFMessage odometry_message(const OdometrySample& sample, std::int64_t stamp_ns) {
  ros2::tf2_msgs::TFMessage message;
  message.transforms.push_back(
      transform_stamped(kOdomFrame, kBaseFrame, stamp_ns, planar(sample.x, sample.y, sample.yaw)));
  return message;
}

ros2::tf2_msgs::TFMessage wheel_message(const OdometrySample& sample, std::int64_t stamp_ns) {
  ros2::tf2_msgs::TFMessage message;
  message.transforms.push_back(transform_stamped(kBaseLinkFrame, kLeftWheelFrame, stamp_ns,
                                                 wheel(1.0, sample.left_wheel_angle)));
  message.transforms.push_back(transform_stamped(kBaseLinkFrame, kRightWheelFrame, stamp_ns,
                                                 wheel(-1.0, sample.right_wheel_angle)));
  return message;
}

ros2::tf2_msgs::TFMessage static_message(const Eigen::Isometry3d& base_from_camera,
                                         std::int64_t stamp_ns) {
  Eigen::Isometry3d base_from_link = Eigen::Isometry3d::Identity();
  base_from_link.translation().z() = kBaseLinkHeight;
  Eigen::Isometry3d camera_from_optical = Eigen::Isometry3d::Identity();
  camera_from_optical.linear() = flu_from_optical();
  Eigen::Isometry3d link_from_imu = Eigen::Isometry3d::Identity();
  link_from_imu.translation() = Eigen::Vector3d(-0.05, 0.0, 0.04);

  ros2::tf2_msgs::TFMessage message;
  message.transforms = {
      transform_stamped(kBaseFrame, kBaseLinkFrame, stamp_ns, base_from_link),
      transform_stamped(kBaseLinkFrame, kCameraFrame, stamp_ns,
                        base_from_link.inverse() * base_from_camera),
      transform_stamped(kCameraFrame, kOpticalFrame, stamp_ns, camera_from_optical),
      transform_stamped(kBaseLinkFrame, kImuFrame, stamp_ns, link_from_imu)};
  return message;
}

}  // namespace orvalt::simulation
