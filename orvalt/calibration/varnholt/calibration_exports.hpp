#pragma once

#include <filesystem>
#include <string>

#include "orvalt/calibration/varnholt/calibration_result.hpp"

namespace orvalt::calibration {

// The result as a URDF robot of two links joined by a fixed joint from base_frame to
// camera_frame, whose <origin xyz rpy> is the extrinsic (URDF's rpy is fixed-axis roll,
// pitch, yaw, R = Rz * Ry * Rx, the six-vector's convention), in metres and radians.
std::string urdf_text(const CalibrationResult& result, const std::string& base_frame,
                      const std::string& camera_frame);

// The one-line command that publishes the result on /tf_static:
// "ros2 run tf2_ros static_transform_publisher --x .. --y .. --z .. --qx .. --qy .. --qz ..
// --qw .. --frame-id BASE --child-frame-id CAMERA".
std::string static_transform_command(const CalibrationResult& result, const std::string& base_frame,
                                     const std::string& camera_frame);

// Writes "calibration_result.urdf" and "static_transform.txt" into run_dir, each whole or not
// at all. Throws std::runtime_error when a file cannot be written.
void write_calibration_exports(const std::filesystem::path& run_dir,
                               const CalibrationResult& result, const std::string& base_frame,
                               const std::string& camera_frame);

}  // namespace orvalt::calibration
