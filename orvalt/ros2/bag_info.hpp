#pragma once

#include <cstdint>
#include <string>

#include "orvalt/ros2/bag_reader.hpp"

namespace orvalt::ros2 {

// What `ros2 bag info` prints for the bag, in its layout: files, bag size, storage id,
// duration, start, end (local time), message count and one line per topic. Counts and times
// come from the data, so a recording without metadata.yaml, or whose metadata is wrong, shows
// what it really holds.
std::string format_bag_info(const BagReader& reader);

// "16.0 KiB": binary units with one decimal, whole bytes below 1 KiB.
std::string format_bag_size(std::uintmax_t bytes);

// "Apr  2 2020 22:23:55.112 (1585866235.112)": local time, to the millisecond.
std::string format_bag_time(std::int64_t nanoseconds);

}  // namespace orvalt::ros2
