#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvalt::ros2 {

// One topic of a bag as rosbag2 records it.
struct Connection {
  int id = 0;  // index in BagReader::connections() (or the order added to a BagWriter)
  std::string topic;
  std::string msgtype;  // "sensor_msgs/msg/Image"; old bags may lack "/msg/"
  std::string serialization_format = "cdr";
  std::string offered_qos_profiles;         // YAML text as stored, "" when none
  std::string type_description_hash;        // "RIHS01_..." or ""
  std::string message_definition;           // schema text when the storage holds one, else ""
  std::string message_definition_encoding;  // "ros2msg", "ros2idl" or ""
};

// One message: bag (receive) timestamp in ns since the epoch, and the serialised payload with
// its 4-byte CDR encapsulation header (already decompressed for compressed bags).
struct BagMessage {
  const Connection* connection = nullptr;
  std::int64_t timestamp = 0;
  std::vector<std::uint8_t> data;
};

}  // namespace orvalt::ros2
