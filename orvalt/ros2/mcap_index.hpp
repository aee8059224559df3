#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "orvalt/ros2/connection.hpp"
#include "orvalt/ros2/mapped_file.hpp"
#include "orvalt/ros2/mcap_compression.hpp"
#include "orvalt/ros2/mcap_records.hpp"
#include "orvalt/ros2/storage.hpp"

namespace spdlog {
class logger;
}

namespace orvalt::ros2::mcap {

inline constexpr int kNoConnection = -1;

// A stretch of the data section whose messages are read together: one chunk, or a run of
// messages written outside chunks.
struct Block {
  bool chunk = true;
  std::uint64_t offset = 0;             // of the chunk record, or of the run's first record
  std::uint64_t length = 0;             // of the chunk record with its prefix, or of the whole run
  std::uint64_t start_time = 0;         // the earliest log_time in the block
  std::vector<std::uint16_t> channels;  // those with messages in the block; empty if unknown
};

// Where everything in one MCAP file is: its connections (the channels in channel id order, with
// their schema's name, text and encoding and their metadata) and the blocks that hold the
// messages. From the summary section when it is sound and complete; otherwise from a scan of
// the data section, which also checks the data section CRC and stops, with a warning, where a
// file without footer was cut off. Throws McapFormatError for a file it cannot read; `name`
// names the file in log lines.
class McapIndex {
 public:
  McapIndex(const MappedFile& file, const std::string& name);

  bool used_summary() const { return indexed_; }
  const std::vector<Connection>& connections() const { return connections_; }
  const std::vector<Block>& blocks() const { return blocks_; }  // in file order
  // The connection of a channel id, or kNoConnection.
  int connection_of(std::uint16_t channel) const { return connection_of_[channel]; }

  // Per connection: from the statistics, else the message indexes, else the chunks themselves.
  std::vector<std::uint64_t> message_counts();
  // std::nullopt without messages, or when only a pass over the data could tell.
  std::optional<TimeRange> time_range() const;
  // The last "rosbag2" Metadata record's `serialized_metadata`, or "ros_distro: NAME" when it
  // only names the distribution.
  std::optional<std::string> embedded_metadata();

  // The records of a block: a chunk's decompressed into `buffer` and checked against its CRC,
  // a run's straight from the mapping. Changes nothing, so threads with a buffer and a
  // decompressor each may call it at once.
  std::pair<const std::uint8_t*, std::size_t> records(const Block& block,
                                                      std::vector<std::uint8_t>& buffer,
                                                      ChunkDecompressor& decompressor) const;

 private:
  bool read_summary();
  void scan();
  void scan_chunk(const RecordView& record);
  void add_schema(Schema schema);
  void add_channel(Channel channel);
  void count_message(const MessageView& message, std::uint64_t offset, Block& block);
  void build_connections();
  RecordView record_at(std::uint64_t offset, std::uint64_t end) const;
  RecordView chunk_at(std::uint64_t offset) const;
  std::pair<const std::uint8_t*, std::size_t> chunk_records(const RecordView& record,
                                                            std::vector<std::uint8_t>& buffer,
                                                            ChunkDecompressor& decompressor) const;
  std::vector<std::uint64_t> count_from_index();
  std::optional<std::string> find_metadata();

  const MappedFile& file_;
  std::string name_;
  std::shared_ptr<spdlog::logger> log_;

  std::uint64_t data_start_ = 0;
  std::uint64_t data_end_ = 0;  // where the summary (or the footer, or the file) begins
  bool complete_ = false;       // ends with a Footer record and the magic
  Footer footer_;
  std::uint64_t footer_offset_ = 0;
  bool indexed_ = false;

  std::map<std::uint16_t, Schema> schemas_;
  std::map<std::uint16_t, Channel> channels_;
  std::vector<int> connection_of_ = std::vector<int>(65536, kNoConnection);
  std::vector<Connection> connections_;
  std::vector<Block> blocks_;

  // From the summary.
  std::optional<Statistics> statistics_;
  std::vector<ChunkIndex> chunk_indexes_;
  std::vector<MetadataIndex> metadata_indexes_;
  bool has_metadata_index_ = false;

  // From a scan, or once asked for.
  std::map<std::uint16_t, std::uint64_t> scanned_counts_;
  std::uint64_t scanned_messages_ = 0;
  std::uint64_t first_time_ = UINT64_MAX;
  std::uint64_t last_time_ = 0;
  std::optional<std::vector<std::uint64_t>> counts_;
  std::optional<std::string> metadata_;
  bool metadata_known_ = false;

  ChunkDecompressor decompressor_;
  std::vector<std::uint8_t> scratch_;
};

}  // namespace orvalt::ros2::mcap
