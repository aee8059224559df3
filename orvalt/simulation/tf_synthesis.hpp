#pragma once

#include <cstdint>
#include <string>

#include <Eigen/Geometry>

#include "orvalt/ros2/messages.hpp"
#include "orvalt/simulation/odometry.hpp"

namespace orvalt::simulation {

// The robot's frames, as its model names them.
inline constexpr const char* kOdomFrame = "odom";
inline constexpr const char* kBaseFrame = "base_footprint";
inline constexpr const char* kBaseLinkFrame = "base_link";
inline constexpr const char* kCameraFrame = "camera_link";  // forward-left-up
inline constexpr const char* kOpticalFrame = "camera_color_optical_frame";
inline constexpr const char* kImuFrame = "imu_link";
inline constexpr const char* kLeftWheelFrame = "left_wheel_link";
inline constexpr const char* kRightWheelFrame = "right_wheel_link";

// base_link sits on the wheel axle.
inline constexpr double kBaseLinkHeight = OdometrySimulator::kWheelRadius;

ros2::geometry_msgs::TransformStamped transform_stamped(const std::string& parent,
                                                        const std::string& child,
                                                        std::int64_t stamp_ns,
                                                        const Eigen::Isometry3d& parent_from_child);

// odom -> base_footprint from one odometry sample.
ros2::tf2_msgs::TFMessage odometry_message(const OdometrySample& sample, std::int64_t stamp_ns);

// base_link -> left and right wheel links, turned by the sample's wheel angles: joints that
// have nothing to do with the camera, as a robot state publisher sends them.
ros2::tf2_msgs::TFMessage wheel_message(const OdometrySample& sample, std::int64_t stamp_ns);

// The static chain base_footprint -> base_link -> camera_link -> camera_color_optical_frame,
// with the camera mounted at `base_from_camera` (forward-left-up camera frame), and an IMU
// link on base_link.
ros2::tf2_msgs::TFMessage static_message(const Eigen::Isometry3d& base_from_camera,
                                         std::int64_t stamp_ns);

}  // namespace orvalt::simulation
