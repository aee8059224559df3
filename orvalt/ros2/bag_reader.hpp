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

// What a bag holds, with counts and times taken from the data where the metadata is missing
// or disagrees.
struct BagInfo {
  std::filesystem::path path;                // the directory (or the bare storage file) opened
  std::string storage_identifier;            // "sqlite3" or "mcap"
  std::vector<std::filesystem::path> files;  // storage files in read order, absolute
  std::string compression_format;            // "" or "zstd"
  std::string compression_mode;              // "", "FILE" or "MESSAGE"
  bool has_metadata = false;                 // metadata.yaml was found and read
  int metadata_version = 0;                  // 0 without metadata.yaml
  std::uint64_t message_count = 0;
  std::int64_t starting_time = 0;             // ns since epoch of the first message (0 when empty)
  std::int64_t duration = 0;                  // ns from the first to the last message
  std::vector<std::uint64_t> message_counts;  // per connection, index = Connection::id
  std::uint64_t listed_message_count = 0;     // as metadata.yaml states them (0 without)
  std::int64_t listed_duration = 0;
};

class MessageStream;

// Reads a rosbag2 recording: a bag directory with metadata.yaml (versions 1 to 9), a directory
// whose recording was cut off before metadata.yaml was written, or a bare .db3 / .mcap file.
// A damaged storage file is read up to the damage, with a warning; so is a recording holding
// fewer messages or seconds than its metadata.yaml lists. Storage paths in metadata.yaml must
// stay inside the bag folder, and name each file once.
// Storage sqlite3 (schemas 1 to 4, opened read-only and immutable) and mcap (chunked or not,
// zstd / lz4 / none), split bags, zstd compression in file and message mode.
// Throws common::FileNotFoundError for a missing path or storage file and std::runtime_error
// naming the file for anything it cannot read.
class BagReader {
 public:
  explicit BagReader(const std::filesystem::path& path);
  ~BagReader();
  BagReader(const BagReader&) = delete;
  BagReader& operator=(const BagReader&) = delete;

  const BagInfo& info() const;
  // One per distinct (topic, type) across all files; ids are 0, 1, ... in first-seen order.
  const std::vector<Connection>& connections() const;
  std::set<std::string> topics() const;

  // Messages of `only` (every connection when empty; others throw std::invalid_argument) in
  // bag timestamp order across files; equal timestamps keep file order, then storage order.
  // Each call starts from the beginning with its own open files, so a second pass is another
  // call. A stream must not outlive its reader.
  MessageStream messages(const std::vector<const Connection*>& only = {}) const;

  // Releases the storage files and removes decompressed copies; the destructor also does it.
  // info() and connections() stay valid; messages() then throws.
  void close();

 private:
  friend class MessageStream;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Pull-style iteration: while (auto message = stream.next()) { ... }.
// A storage file that turns out to be damaged (cut off, say) ends at the damage with a warning,
// and the other files go on; complete() then tells. Throws std::runtime_error naming the file
// for a message that cannot be decompressed.
class MessageStream {
 public:
  ~MessageStream();
  MessageStream(MessageStream&&) noexcept;
  MessageStream& operator=(MessageStream&&) noexcept;
  std::optional<BagMessage> next();
  // False once a file has stopped at damage; the messages yielded before it are sound.
  bool complete() const;

 private:
  friend class BagReader;
  struct Impl;
  explicit MessageStream(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvalt::ros2
