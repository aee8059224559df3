#include <exception>
#include <string>

#include "orvalt/calibration/utils/utils.hpp"
#include "orvalt/common/argument_parser.hpp"
#include "orvalt/common/logger.hpp"
#include "orvalt/visual/ferrimond/transform_visualizer.hpp"

// Example entry: plots the odometry poses of the last parser run into ./output.
int main(int argc, char** argv) {
  std::string input = "/userdata/save_dir/odom_pose.csv";
  std::string output_dir = "./output";
  orvalt::common::ArgumentParser parser(
      "ferrimond",
      "Plot a pose CSV file (by default /userdata/save_dir/odom_pose.csv) as a top view and a\n"
      "displacement chart into a folder (by default ./output): robot_transform_2D.png and\n"
      "robot_transform_axis.png.");
  parser.add_option("--input", &input, "Pose CSV file to plot.");
  parser.add_option("--output_dir", &output_dir,
                    "Folder for the plots (created; its parent must exist).");
  parser.parse_or_exit(argc, argv);
  orvalt::common::configure_console_logging(spdlog::level::debug);
  try {
    orvalt::visual::TransformVisualizer visualizer(output_dir, 10.0);
    const auto poses = orvalt::calibration::Utils::load_csv_to_pose_list(input);
    visualizer.plot(poses.pose_list, poses.range_x, poses.range_y);
    visualizer.save("robot_transform");
  } catch (const std::exception& error) {
    orvalt::common::logger("orvalt.visual.ferrimond")->error("{}", error.what());
    return 1;
  }
  return 0;
}
