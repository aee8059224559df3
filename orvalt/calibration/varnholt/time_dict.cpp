#include "orvalt/calibration/varnholt/time_dict.hpp"

#include <algorithm>
#include <stdexcept>

namespace orvalt::calibration {

TimeDict new_time_dict(bool board_refinement) {
  TimeDict time_dict;
  for (const char* key :
       {"parser_time", "init_apriltag_time", "init_pose_estimator_time", "load_sensor_time",
        "compute_odom_camera_motion_transforms_time", "optimizer_time"}) {
    time_dict.emplace_back(key, 0.0);
  }
  // A run without the stage keeps its established statistics lines.
  if (board_refinement) time_dict.emplace_back("refine_time", 0.0);
  for (const char* key : {"save_calibration_result_time", "total_time"}) {
    time_dict.emplace_back(key, 0.0);
  }
  return time_dict;
}

double& time_entry(TimeDict& time_dict, const std::string& key) {
  const auto entry = std::find_if(time_dict.begin(), time_dict.end(),
                                  [&key](const auto& each) { return each.first == key; });
  if (entry == time_dict.end()) throw std::out_of_range("No stage time named " + key);
  return entry->second;
}

}  // namespace orvalt::calibration
