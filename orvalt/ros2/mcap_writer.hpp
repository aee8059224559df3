#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>

#include "orvalt/ros2/mcap_compression.hpp"
#include "orvalt/ros2/storage.hpp"

namespace orvalt::ros2 {

struct McapWriterOptions {
  mcap::Compression compression = mcap::Compression::kZstd;
  // A chunk is written once its uncompressed records reach this size (rosbag2's default).
  std::size_t chunk_size = std::size_t{1} << 20;
};

// Writes one MCAP file as rosbag2's `mcap` storage does: profile "ros2"; per message type a
// Schema record (the connection's message definition, encoding "ros2msg" unless it says
// otherwise, "" without a definition); per connection a Channel record with metadata
// `offered_qos_profiles` and `topic_type_hash`; Message records with sequence 0 and
// publish_time = log_time = the bag timestamp, in chunks with their CRC (a chunk that the
// compression would not shrink is stored uncompressed), followed by Message Index records; then
// Data End with the data section CRC, a summary (Schema, Channel, Statistics, Chunk Index records),
// Summary Offset records and the Footer with the summary CRC. Throws std::runtime_error naming the
// file when it cannot be created or written; close() (also run by the destructor, which only logs
// its errors) completes the file.
std::unique_ptr<StorageWriter> create_mcap_writer(const std::filesystem::path& file,
                                                  const McapWriterOptions& options);

}  // namespace orvalt::ros2
