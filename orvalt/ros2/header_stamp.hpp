#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "orvalt/ros2/messages.hpp"

namespace orvalt::ros2 {

// header.stamp in nanoseconds of a message whose definition begins with
// "std_msgs/Header header": our own types, the standard stamped types of ROS 2's common
// interfaces, or any type whose ros2msg `schema_text` (from an MCAP schema or a bag's
// message_definitions) says so. Reads only the encapsulation header and the stamp.
// std::nullopt for a type without a header or with no known definition.
// Throws std::runtime_error naming the type when the bytes are too short for the header.
// Type names may lack "/msg/". The types this module knows, and the standard ones, are decided
// by their own definitions; `schema_text` only speaks for other types.
std::optional<std::int64_t> header_stamp(const std::string& type_name, const Bytes& bytes,
                                         const std::string& schema_text = "");

}  // namespace orvalt::ros2
