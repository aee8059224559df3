#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "orvalt/ros2/connection.hpp"

namespace orvalt::ros2 {

// One storage file as its plugin sees it; BagReader and BagWriter merge files into a bag.
// Connection ids here are file-local: the index in connections().
struct StorageMessage {
  int connection = 0;
  std::int64_t timestamp = 0;
  std::vector<std::uint8_t> data;
};

// First and last message timestamps of a file, in ns since the epoch.
struct TimeRange {
  std::int64_t first = 0;
  std::int64_t last = 0;
};

class StorageReader {
 public:
  virtual ~StorageReader() = default;
  virtual const std::vector<Connection>& connections() const = 0;
  // Per connection, from the data (or a summary that states it).
  virtual std::vector<std::uint64_t> message_counts() = 0;
  // Messages that belong to no connection of the file (a topic id missing from the sqlite3
  // topics table); next() never yields them.
  virtual std::uint64_t orphaned_message_count() { return 0; }
  // Restricts next() to these file-local connections (all when never called).
  virtual void set_filter(const std::set<int>& connections) = 0;
  // Next message in (timestamp, storage order); false at the end.
  virtual bool next(StorageMessage& out) = 0;
  // The bag metadata YAML the file carries itself (sqlite3 `metadata` table, mcap "rosbag2"
  // metadata record; the last one wins), if any.
  virtual std::optional<std::string> embedded_metadata() = 0;
  // From the data (or a summary that states it); std::nullopt when the file holds no message
  // or the reader cannot tell without a full pass (BagReader then makes that pass itself).
  virtual std::optional<TimeRange> time_range() { return std::nullopt; }
};

class StorageWriter {
 public:
  virtual ~StorageWriter() = default;
  virtual void add_connection(const Connection& connection) = 0;  // ids 0, 1, ... in order
  virtual void write(int connection, std::int64_t timestamp,
                     const std::vector<std::uint8_t>& data) = 0;
  // Completes the file; throws on a write error.
  virtual void close() = 0;
};

// Both throw std::runtime_error naming the file when it is not a readable storage file.
std::unique_ptr<StorageReader> open_sqlite3_reader(const std::filesystem::path& file);
std::unique_ptr<StorageReader> open_mcap_reader(const std::filesystem::path& file);
std::unique_ptr<StorageWriter> create_sqlite3_writer(const std::filesystem::path& file);
std::unique_ptr<StorageWriter> create_mcap_writer(const std::filesystem::path& file);

// The plugins above by rosbag2 storage id ("sqlite3" or "mcap"); std::invalid_argument for
// any other id.
std::unique_ptr<StorageReader> open_storage_reader(const std::filesystem::path& file,
                                                   const std::string& storage_identifier);
std::unique_ptr<StorageWriter> create_storage_writer(const std::filesystem::path& file,
                                                     const std::string& storage_identifier);
// ".db3" for sqlite3, ".mcap" for mcap; std::invalid_argument for any other id.
std::string storage_file_extension(const std::string& storage_identifier);

}  // namespace orvalt::ros2
