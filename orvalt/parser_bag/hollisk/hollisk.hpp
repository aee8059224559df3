#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "orvalt/ros2/connection.hpp"

namespace orvalt::parser_bag {

// Copies every bag directory directly under `bag_dir` to `reindex_bag`/<name>_reindex with
// each message's bag timestamp replaced by its own header.stamp, so that playback and the bag
// parser see messages in sensor-time order. The copy keeps the input's storage (sqlite3 or
// mcap, with each channel's schema) and every message's bytes. Messages without a header
// keep their bag timestamp; so do those of a type whose definition is unknown (one warning
// per topic). A bag with a message that is corrupt or too short for the header its type
// promises fails as a whole and leaves no output behind. An output bag is written under a
// staging name and moved into place when complete; one without metadata.yaml (left by an
// interrupted run) is written again, a complete one is reused.
// Construction does the whole job; bag_file_paths() and failed_bags() are its result.
class Hollisk {
 public:
  // Throws std::filesystem::filesystem_error when `bag_dir` cannot be listed or `reindex_bag`
  // cannot be created.
  Hollisk(std::filesystem::path bag_dir, std::filesystem::path reindex_bag);

  // One output bag per input bag usable after the run (written now or found already there),
  // inputs sorted by start time.
  const std::vector<std::filesystem::path>& bag_file_paths() const { return bag_file_paths_; }
  // Input bags with a metadata.yaml that could not be reindexed: unreadable metadata or a
  // failed copy. Each is logged and left out; the others are done all the same.
  const std::vector<std::filesystem::path>& failed_bags() const { return failed_bags_; }

  // Reindexes every input not yet reindexed; returns the output bag paths.
  std::vector<std::filesystem::path> reindex_ros_bag();
  void _prepare_output_dir() const;
  // Input bag directories by ascending metadata start time (ties by name); entries without a
  // readable metadata.yaml are logged and left out (an unreadable one counts as failed),
  // plain files ignored.
  std::vector<std::filesystem::path> _get_sorted_bag_dirs();
  // header.stamp in ns of `msg` when its type has a header, else `default_timestamp`.
  // Throws std::runtime_error when the message is too short for its header.
  static std::int64_t _extract_message_timestamp(const ros2::BagMessage& msg,
                                                 std::int64_t default_timestamp);
  // True when `output_bag` is usable afterwards (written now or already there); on failure
  // the partial output is removed.
  bool _process_single_bag(const std::filesystem::path& input_bag,
                           const std::filesystem::path& output_bag) const;

 private:
  std::filesystem::path bag_dir_;
  std::filesystem::path reindex_bag_;
  std::vector<std::filesystem::path> bag_file_paths_;
  std::vector<std::filesystem::path> failed_bags_;
};

}  // namespace orvalt::parser_bag
