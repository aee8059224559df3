#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "orvalt/ros2/bag_reader.hpp"

namespace orvalt::ros2 {

// What a pass over every message of a bag found.
struct BagContents {
  std::uint64_t message_count = 0;
  std::vector<std::uint64_t> message_counts;  // per connection, index = Connection::id
  std::int64_t starting_time = 0;             // ns since epoch of the first message (0 when empty)
  std::int64_t duration = 0;                  // ns from the first to the last message
  bool complete = true;                       // every storage file was read to its end
};

// Reads every message. Throws std::runtime_error naming the file for a message that cannot be
// decompressed; a damaged storage file ends the pass early with `complete` false.
BagContents read_bag_contents(const BagReader& reader);

// Whether `contents` is all that metadata.yaml lists, and every file was read to its end.
bool holds_all_listed(const BagInfo& info, const BagContents& contents);

// What `ros2 bag info` prints for the bag, in its layout: files, bag size, storage id,
// duration, start, end (local time), message count and one line per topic. Counts and times
// are those of `contents`, read from the data, so a recording without metadata.yaml, or whose
// metadata is wrong, shows what it really holds.
std::string format_bag_info(const BagReader& reader, const BagContents& contents);

// "16.0 KiB": binary units with one decimal, whole bytes below 1 KiB.
std::string format_bag_size(std::uintmax_t bytes);

// "Apr  2 2020 22:23:55.112 (1585866235.112)": local time, to the millisecond.
std::string format_bag_time(std::int64_t nanoseconds);

}  // namespace orvalt::ros2
