// kestrune: reindexes the bags of a directory by their header stamps, then extracts the
// earliest one into a parser output directory.
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "orvalt/common/argument_parser.hpp"
#include "orvalt/common/logger.hpp"
#include "orvalt/parser_bag/hollisk/hollisk.hpp"
#include "orvalt/parser_bag/kestrune/bag_parser.hpp"

namespace {

struct Options {
  std::string camera_color_topic = "/QuillonNode/rectify_left_image";
  std::string camera_pointcloud_topic = "/QuillonNode/quillon_pointcloud2";
  std::string camera_depth_topic = "/QuillonNode/quillon_depth";
  std::string camera_info_topic = "/QuillonNode/quillon_depth/camera_info";
  std::string base_frame = "base_footprint";
  std::string global_frame = "odom";
  std::string bag_dir = "/userdata/bag_datasets";
  std::string reindex_bag = "/userdata/reindex_bags/";
  std::string parser_output_dir = "/userdata/save_dir";
  std::vector<std::string> topic_list;
};

Options parse_args(int argc, char** argv) {
  Options options;
  orvalt::common::ArgumentParser parser("kestrune", "ROS2 Bag Parser");
  parser.add_option("--camera_color_topic", &options.camera_color_topic,
                    "ROS2 topic for color image");
  parser.add_option("--camera_pointcloud_topic", &options.camera_pointcloud_topic,
                    "ROS2 topic for point cloud");
  parser.add_option("--camera_depth_topic", &options.camera_depth_topic,
                    "ROS2 topic for depth image");
  parser.add_option("--camera_info_topic", &options.camera_info_topic,
                    "ROS2 topic for camera info");
  parser.add_option("--base_frame", &options.base_frame,
                    "Robot base coordinate frame (default: base_link)");
  parser.add_option("--global_frame", &options.global_frame,
                    "Global coordinate frame (default: odom)");
  parser.add_option("--bag_dir", &options.bag_dir, "Path to directory containing bag files");
  parser.add_option("--reindex_bag", &options.reindex_bag,
                    "Path to directory for reindexed bag files");
  parser.add_option("--parser_output_dir", &options.parser_output_dir,
                    "Output directory for parsed data");
  parser.parse_or_exit(argc, argv);
  options.topic_list = orvalt::parser_bag::make_topic_list(
      options.camera_color_topic, options.camera_pointcloud_topic, options.camera_depth_topic,
      options.camera_info_topic);
  return options;
}

// False when the parse failed; the parser has logged why.
bool run(const Options& options) {
  using namespace orvalt;
  const auto log = common::logger("orvalt.parser_bag.kestrune");
  if (!std::filesystem::exists(options.bag_dir)) {
    throw std::invalid_argument("Bag directory does not exist: " + options.bag_dir);
  }
  std::filesystem::create_directories(options.reindex_bag);
  const parser_bag::Hollisk hollisk(options.bag_dir, options.reindex_bag);
  const auto& bag_paths = hollisk.bag_file_paths();
  log->info("Reindexed {} bags:", bag_paths.size());
  for (const auto& path : bag_paths) log->info("reindex bag path =  {}", path.string());
  log->info("Output dir: {}", options.parser_output_dir);
  parser_bag::BagParser parser(options.topic_list, options.global_frame, options.base_frame,
                               options.parser_output_dir);
  if (bag_paths.empty()) {
    log->info("No bag file to parse.");
    return true;
  }
  return parser.parse_bag(bag_paths.front());
}

}  // namespace

int main(int argc, char** argv) {
  orvalt::common::configure_console_logging();
  const Options options = parse_args(argc, argv);
  try {
    // Scripts need to tell a failed parse (missing topics, broken TF tree, too few poses, an
    // unreadable bag) from a good one.
    if (!run(options)) return 1;
  } catch (const std::exception& error) {
    std::cerr << "kestrune: error: " << error.what() << std::endl;
    return 1;
  }
  return 0;
}
