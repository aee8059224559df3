#include <iostream>
#include <string>

#include "orvalt/common/argument_parser.hpp"
#include "orvalt/common/logger.hpp"
#include "orvalt/ros2/bag_info.hpp"
#include "orvalt/ros2/bag_reader.hpp"

int main(int argc, char** argv) {
  std::string bag_dir;
  orvalt::common::ArgumentParser parser(
      "bag_info",
      "Print what a ROS 2 bag holds: files, storage, duration, start and end, and every topic "
      "with its message count (counted from the data)");
  parser.add_positional("bag_dir", &bag_dir,
                        "Bag directory, or a single .db3 or .mcap storage file");
  parser.parse_or_exit(argc, argv);
  orvalt::common::configure_console_logging(spdlog::level::warn);
  try {
    const orvalt::ros2::BagReader reader(bag_dir);
    const orvalt::ros2::BagContents contents = orvalt::ros2::read_bag_contents(reader);
    std::cout << orvalt::ros2::format_bag_info(reader, contents) << std::endl;
    if (!orvalt::ros2::holds_all_listed(reader.info(), contents)) {
      std::cerr << "bag_info: " << bag_dir
                << " cannot be read in full: the counts above are of the messages that can be "
                   "read, which are fewer than metadata.yaml lists or end at damaged data"
                << std::endl;
      return 1;
    }
  } catch (const std::exception& error) {
    std::cerr << error.what() << std::endl;
    return 1;
  }
  return 0;
}
