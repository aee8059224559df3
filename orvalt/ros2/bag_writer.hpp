#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "orvalt/ros2/connection.hpp"

namespace orvalt::ros2 {

// Creates a rosbag2 directory that ROS 2 Humble and newer play back: storage "sqlite3"
// (schema 3, as Humble's plugin creates it) or "mcap" (profile ros2, zstd chunks, summary,
// statistics and message index, ros2msg schemas), and metadata.yaml version 5 on close.
// Throws std::runtime_error when the directory exists already or cannot be created, and on
// any write error.
class BagWriter {
 public:
  BagWriter(const std::filesystem::path& directory, const std::string& storage = "sqlite3");
  ~BagWriter();  // closes; errors there are logged, call close() to see them
  BagWriter(const BagWriter&) = delete;
  BagWriter& operator=(const BagWriter&) = delete;

  // `message_definition` (ros2msg text) is stored as the MCAP schema; when empty, the data
  // layer's own definition of `msgtype` is used where it has one.
  const Connection& add_connection(const std::string& topic, const std::string& msgtype,
                                   const std::string& offered_qos_profiles = "",
                                   const std::string& message_definition = "");
  void write(const Connection& connection, std::int64_t timestamp,
             const std::vector<std::uint8_t>& data);
  // Flushes everything and writes metadata.yaml; later calls do nothing.
  void close();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvalt::ros2
