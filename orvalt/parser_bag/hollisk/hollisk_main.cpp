// hollisk: copies the bags of a directory with bag timestamps taken from the messages' own
// header stamps.
#include <exception>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "orvalt/common/argument_parser.hpp"
#include "orvalt/common/logger.hpp"
#include "orvalt/parser_bag/hollisk/hollisk.hpp"

int main(int argc, char** argv) {
  using namespace orvalt;
  common::configure_console_logging();
  std::string bag_dir = "./bag/";
  std::string reindex_bag = "./reindex_bag/";
  common::ArgumentParser parser("hollisk",
                                "Reindex ROS bag files using sensor-generated timestamps");
  parser.add_option("--bag_dir", &bag_dir, "Path to directory containing bag files");
  parser.add_option("--reindex_bag", &reindex_bag, "Path to directory for reindexed bag files");
  parser.parse_or_exit(argc, argv);

  const auto log = common::logger("orvalt.parser_bag.hollisk");
  try {
    const parser_bag::Hollisk hollisk(bag_dir, reindex_bag);
    log->info("Reindexed {} bags:", hollisk.bag_file_paths().size());
    for (const auto& path : hollisk.bag_file_paths()) {
      log->info("reindex bag path =  {}", path.string());
    }
    // The good bags are done; a script still has to learn that some were not.
    if (!hollisk.failed_bags().empty()) {
      std::vector<std::string> names;
      for (const auto& bag : hollisk.failed_bags()) names.push_back(bag.string());
      log->info("Failed to reindex {} bags: [{}]", names.size(), fmt::join(names, ", "));
      return 1;
    }
  } catch (const std::exception& error) {
    log->info("Fatal error: {}", error.what());
    return 1;
  }
  return 0;
}
