#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "orvalt/calibration/varnholt/calibration_result.hpp"

namespace orvalt::calibration {

// The result as a URDF robot of two links joined by a fixed joint from base_frame to
// camera_frame, whose <origin xyz rpy> is the extrinsic (URDF's rpy is fixed-axis roll,
// pitch, yaw, R = Rz * Ry * Rx, the six-vector's convention), in metres and radians.
// `unusable` lists the findings that make the result unusable as it stands (from
// unusable_parameters, never holding "--"); when there are any, both texts begin with a warning
// comment naming them, so that a file pasted elsewhere still carries it.
std::string urdf_text(const CalibrationResult& result, const std::string& base_frame,
                      const std::string& camera_frame,
                      const std::vector<std::string>& unusable = {});

// The one-line command that publishes the result on /tf_static:
// "ros2 run tf2_ros static_transform_publisher --x .. --y .. --z .. --qx .. --qy .. --qz ..
// --qw .. --frame-id BASE --child-frame-id CAMERA".
std::string static_transform_command(const CalibrationResult& result, const std::string& base_frame,
                                     const std::string& camera_frame,
                                     const std::vector<std::string>& unusable = {});

// Writes "calibration_result.urdf" and "static_transform.txt" into run_dir, each whole or not
// at all. Throws std::runtime_error when a file cannot be written.
void write_calibration_exports(const std::filesystem::path& run_dir,
                               const CalibrationResult& result, const std::string& base_frame,
                               const std::string& camera_frame,
                               const std::vector<std::string>& unusable = {});

}  // namespace orvalt::calibration
