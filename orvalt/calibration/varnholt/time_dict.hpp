#pragma once

#include <string>
#include <utility>
#include <vector>

namespace orvalt::calibration {

// Seconds spent in each stage of one calibration run, in stage order.
using TimeDict = std::vector<std::pair<std::string, double>>;

// The stages of a run, each at 0.0: parser_time, init_apriltag_time, init_pose_estimator_time,
// load_sensor_time, compute_odom_camera_motion_transforms_time, optimizer_time, refine_time
// (only with `board_refinement`), save_calibration_result_time, total_time.
TimeDict new_time_dict(bool board_refinement = false);

// The entry of `key`; throws std::out_of_range for a key the dictionary lacks.
double& time_entry(TimeDict& time_dict, const std::string& key);

}  // namespace orvalt::calibration
