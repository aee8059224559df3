#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include "orvalt/ros2/bag_writer.hpp"
#include "orvalt/ros2/messages.hpp"

namespace orvalt::testing {

// A small rosbag2 recording for tests, written through the data layer's BagWriter: one
// connection per topic, messages stored with the bag timestamps given, in call order.
//   TestBag bag(dir / "run", "mcap");
//   bag.write("/tf", 10, tf_message("odom", "base_footprint", 10, 1.0));
//   bag.close();
class TestBag {
 public:
  explicit TestBag(const std::filesystem::path& directory, const std::string& storage = "sqlite3");

  template <class Message>
  void write(const std::string& topic, std::int64_t bag_timestamp, const Message& message) {
    write_raw(topic, Message::kTypeName, bag_timestamp, message.encode());
  }
  // Any payload, for types the data layer does not know or for corrupt messages.
  void write_raw(const std::string& topic, const std::string& msgtype, std::int64_t bag_timestamp,
                 const ros2::Bytes& data, const std::string& message_definition = "");
  // Completes the bag (metadata.yaml); the destructor does it too.
  void close() { writer_.close(); }

 private:
  ros2::BagWriter writer_;
  std::map<std::string, const ros2::Connection*> connections_;
};

ros2::builtin_interfaces::Time stamp_at(std::int64_t nanoseconds);

// One transform parent -> child at `stamp_ns`, translation in metres, rotation w, x, y, z.
ros2::tf2_msgs::TFMessage tf_message(const std::string& parent, const std::string& child,
                                     std::int64_t stamp_ns, double x, double y = 0, double z = 0,
                                     double qw = 1, double qx = 0, double qy = 0, double qz = 0);

// A width x height image of `encoding` ("bgr8", "rgba8", "mono16", "32FC1", ...) with rows
// of exactly width x pixel size bytes, every byte `fill`.
ros2::sensor_msgs::Image image_message(std::int64_t stamp_ns, std::uint32_t width,
                                       std::uint32_t height, const std::string& encoding,
                                       std::uint8_t fill = 0);

}  // namespace orvalt::testing
