#include <exception>
#include <iostream>

#include "orvalt/calibration/utils/utils.hpp"
#include "orvalt/common/argument_parser.hpp"
#include "orvalt/common/logger.hpp"
#include "orvalt/visual/ferrimond/transform_visualizer.hpp"

// Example entry: plots the odometry poses of the last parser run into ./output.
int main(int argc, char** argv) {
  orvalt::common::ArgumentParser parser(
      "ferrimond",
      "Plot /userdata/save_dir/odom_pose.csv as a top view and a displacement chart into "
      "./output (robot_transform_2D.png, robot_transform_axis.png).");
  parser.parse_or_exit(argc, argv);
  orvalt::common::configure_console_logging(spdlog::level::debug);
  try {
    orvalt::visual::TransformVisualizer visualizer("./output", 10.0);
    const auto poses =
        orvalt::calibration::Utils::load_csv_to_pose_list("/userdata/save_dir/odom_pose.csv");
    visualizer.plot(poses.pose_list, poses.range_x, poses.range_y);
    visualizer.save("robot_transform");
  } catch (const std::exception& error) {
    orvalt::common::logger("orvalt.visual.ferrimond")->error("{}", error.what());
    return 1;
  }
  return 0;
}
