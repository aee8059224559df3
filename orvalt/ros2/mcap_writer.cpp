#include "orvalt/ros2/mcap_writer.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "orvalt/common/logger.hpp"
#include "orvalt/ros2/crc32.hpp"
#include "orvalt/ros2/mcap_records.hpp"

namespace orvalt::ros2 {
namespace {

constexpr const char* kProfile = "ros2";
constexpr const char* kLibrary = "orvalt mcap writer";
constexpr std::size_t kMaxChannels = std::numeric_limits<std::uint16_t>::max();

class McapWriter final : public StorageWriter {
 public:
  McapWriter(const std::filesystem::path& file, const McapWriterOptions& options);
  ~McapWriter() override;
  McapWriter(const McapWriter&) = delete;
  McapWriter& operator=(const McapWriter&) = delete;

  void add_connection(const Connection& connection) override;
  void write(int connection, std::int64_t timestamp,
             const std::vector<std::uint8_t>& data) override;
  void close() override;

 private:
  std::uint16_t schema_for(const Connection& connection);
  void flush_chunk();
  void write_summary();
  // Writes `size` bytes at the end of the file; the data section CRC runs over them until the
  // Data End record.
  void write_bytes(const std::uint8_t* data, std::size_t size);
  void write_and_clear(std::vector<std::uint8_t>& bytes);
  [[noreturn]] void fail(const std::string& doing) const;

  std::filesystem::path path_;
  McapWriterOptions options_;
  std::FILE* file_ = nullptr;
  bool closed_ = false;
  std::uint64_t position_ = 0;
  bool in_data_section_ = true;
  std::uint32_t data_crc_ = 0;

  std::vector<mcap::Schema> schemas_;    // schema id = index + 1
  std::vector<mcap::Channel> channels_;  // per connection; channel id = connection + 1
  std::vector<std::uint64_t> message_counts_;
  std::uint64_t message_count_ = 0;
  std::uint64_t first_time_ = 0;
  std::uint64_t last_time_ = 0;

  // The chunk being filled: uncompressed records, their time span and per-connection index.
  std::vector<std::uint8_t> chunk_;
  bool chunk_has_messages_ = false;
  std::uint64_t chunk_start_time_ = 0;
  std::uint64_t chunk_end_time_ = 0;
  std::vector<std::vector<mcap::MessageIndexEntry>> chunk_entries_;
  std::vector<int> chunk_connections_;  // with messages in the chunk, in first-seen order

  mcap::ChunkCompressor compressor_;
  std::vector<std::uint8_t> compressed_;
  std::vector<std::uint8_t> scratch_;
  std::vector<mcap::ChunkIndex> chunk_indexes_;
};

McapWriter::McapWriter(const std::filesystem::path& file, const McapWriterOptions& options)
    : path_(file), options_(options), compressor_(options.compression) {
  file_ = std::fopen(file.c_str(), "wb");
  if (file_ == nullptr) fail("create");
  chunk_.reserve(options_.chunk_size + options_.chunk_size / 8);
  scratch_.insert(scratch_.end(), std::begin(mcap::kMagic), std::end(mcap::kMagic));
  mcap::RecordWriter(scratch_).header({kProfile, kLibrary});
  try {
    write_and_clear(scratch_);
  } catch (...) {
    std::fclose(file_);
    throw;
  }
}

McapWriter::~McapWriter() {
  try {
    close();
  } catch (const std::exception& error) {
    common::logger("orvalt.ros2.mcap_writer")->error("{}", error.what());
  }
}

void McapWriter::add_connection(const Connection& connection) {
  if (closed_) throw std::runtime_error(path_.string() + ": add_connection after close");
  if (channels_.size() >= kMaxChannels) {
    throw std::invalid_argument(path_.string() + ": an MCAP file holds at most " +
                                std::to_string(kMaxChannels) + " channels");
  }
  mcap::Channel channel;
  channel.id = static_cast<std::uint16_t>(channels_.size() + 1);
  channel.schema_id = schema_for(connection);
  channel.topic = connection.topic;
  channel.message_encoding =
      connection.serialization_format.empty() ? "cdr" : connection.serialization_format;
  channel.metadata = {{"offered_qos_profiles", connection.offered_qos_profiles},
                      {"topic_type_hash", connection.type_description_hash}};
  mcap::RecordWriter(chunk_).channel(channel);
  channels_.push_back(std::move(channel));
  message_counts_.push_back(0);
  chunk_entries_.emplace_back();
}

// Connections of one type share its Schema record, which goes into the chunk before the first
// Channel record that refers to it.
std::uint16_t McapWriter::schema_for(const Connection& connection) {
  mcap::Schema schema;
  schema.name = connection.msgtype;
  schema.data = connection.message_definition;
  if (!schema.data.empty()) {
    schema.encoding = connection.message_definition_encoding.empty()
                          ? "ros2msg"
                          : connection.message_definition_encoding;
  }
  for (const mcap::Schema& known : schemas_) {
    if (known.name == schema.name && known.encoding == schema.encoding &&
        known.data == schema.data) {
      return known.id;
    }
  }
  schema.id = static_cast<std::uint16_t>(schemas_.size() + 1);
  mcap::RecordWriter(chunk_).schema(schema);
  schemas_.push_back(std::move(schema));
  return schemas_.back().id;
}

void McapWriter::write(int connection, std::int64_t timestamp,
                       const std::vector<std::uint8_t>& data) {
  if (closed_) throw std::runtime_error(path_.string() + ": write after close");
  if (connection < 0 || static_cast<std::size_t>(connection) >= channels_.size()) {
    throw std::invalid_argument(path_.string() + ": no connection " + std::to_string(connection));
  }
  const auto index = static_cast<std::size_t>(connection);
  const auto log_time = static_cast<std::uint64_t>(timestamp);

  mcap::MessageView message;
  message.channel_id = channels_[index].id;
  message.log_time = log_time;
  message.publish_time = log_time;
  message.data = data.data();
  message.size = data.size();
  if (chunk_entries_[index].empty()) chunk_connections_.push_back(connection);
  chunk_entries_[index].push_back({log_time, chunk_.size()});
  mcap::RecordWriter(chunk_).message(message);

  if (!chunk_has_messages_) {
    chunk_start_time_ = chunk_end_time_ = log_time;
    chunk_has_messages_ = true;
  }
  chunk_start_time_ = std::min(chunk_start_time_, log_time);
  chunk_end_time_ = std::max(chunk_end_time_, log_time);
  first_time_ = message_count_ == 0 ? log_time : std::min(first_time_, log_time);
  last_time_ = message_count_ == 0 ? log_time : std::max(last_time_, log_time);
  ++message_count_;
  ++message_counts_[index];

  if (chunk_.size() >= options_.chunk_size) flush_chunk();
}

void McapWriter::flush_chunk() {
  if (chunk_.empty()) return;
  mcap::ChunkView chunk;
  chunk.message_start_time = chunk_has_messages_ ? chunk_start_time_ : 0;
  chunk.message_end_time = chunk_has_messages_ ? chunk_end_time_ : 0;
  chunk.uncompressed_size = chunk_.size();
  chunk.uncompressed_crc = crc32(chunk_.data(), chunk_.size());
  chunk.compression = mcap::compression_name(options_.compression);
  chunk.records = chunk_.data();
  chunk.records_size = chunk_.size();
  if (options_.compression != mcap::Compression::kNone) {
    const std::size_t compressed_size =
        compressor_.compress(chunk_.data(), chunk_.size(), compressed_);
    // Noisy camera frames often do not shrink; such a chunk is kept as it is, which readers
    // then take without a decompression pass.
    if (compressed_size < chunk_.size()) {
      chunk.records_size = compressed_size;
      chunk.records = compressed_.data();
    } else {
      chunk.compression = "";
    }
  }

  mcap::ChunkIndex index;
  index.message_start_time = chunk.message_start_time;
  index.message_end_time = chunk.message_end_time;
  index.chunk_start_offset = position_;
  index.compression = std::string(chunk.compression);
  index.compressed_size = chunk.records_size;
  index.uncompressed_size = chunk.uncompressed_size;
  mcap::RecordWriter(scratch_).chunk_prefix(chunk);
  write_and_clear(scratch_);
  write_bytes(chunk.records, static_cast<std::size_t>(chunk.records_size));
  index.chunk_length = position_ - index.chunk_start_offset;

  // Channel ids follow connection ids, so sorting connections orders the index by channel.
  std::sort(chunk_connections_.begin(), chunk_connections_.end());
  const std::uint64_t indexes_start = position_;
  for (const int connection : chunk_connections_) {
    auto& entries = chunk_entries_[static_cast<std::size_t>(connection)];
    mcap::MessageIndex message_index;
    message_index.channel_id = channels_[static_cast<std::size_t>(connection)].id;
    message_index.entries = std::move(entries);
    entries.clear();
    index.message_index_offsets.emplace_back(message_index.channel_id, position_);
    mcap::RecordWriter(scratch_).message_index(message_index);
    write_and_clear(scratch_);
  }
  index.message_index_length = position_ - indexes_start;
  chunk_indexes_.push_back(std::move(index));

  chunk_.clear();
  chunk_connections_.clear();
  chunk_has_messages_ = false;
}

void McapWriter::write_summary() {
  std::vector<std::uint8_t> summary;
  mcap::RecordWriter writer(summary);
  const std::uint64_t summary_start = position_;
  std::vector<mcap::SummaryOffset> groups;
  const auto group = [&](mcap::Opcode opcode, auto&& write_records) {
    const std::size_t start = summary.size();
    write_records();
    if (summary.size() > start) {
      groups.push_back(
          {static_cast<std::uint8_t>(opcode), summary_start + start, summary.size() - start});
    }
  };
  group(mcap::Opcode::kSchema, [&] {
    for (const mcap::Schema& schema : schemas_) writer.schema(schema);
  });
  group(mcap::Opcode::kChannel, [&] {
    for (const mcap::Channel& channel : channels_) writer.channel(channel);
  });
  group(mcap::Opcode::kStatistics, [&] {
    mcap::Statistics statistics;
    statistics.message_count = message_count_;
    statistics.schema_count = static_cast<std::uint16_t>(schemas_.size());
    statistics.channel_count = static_cast<std::uint32_t>(channels_.size());
    statistics.chunk_count = static_cast<std::uint32_t>(chunk_indexes_.size());
    statistics.message_start_time = first_time_;
    statistics.message_end_time = last_time_;
    for (std::size_t i = 0; i < channels_.size(); ++i) {
      statistics.channel_message_counts.emplace_back(channels_[i].id, message_counts_[i]);
    }
    writer.statistics(statistics);
  });
  group(mcap::Opcode::kChunkIndex, [&] {
    for (const mcap::ChunkIndex& index : chunk_indexes_) writer.chunk_index(index);
  });
  const std::uint64_t summary_offset_start = summary_start + summary.size();
  for (const mcap::SummaryOffset& offset : groups) writer.summary_offset(offset);
  // The summary CRC covers everything from the summary start to the CRC field itself.
  writer.footer({summary_start, summary_offset_start, 0});
  const std::uint32_t summary_crc = crc32(summary.data(), summary.size() - 4);
  for (int i = 0; i < 4; ++i) {
    summary[summary.size() - 4 + i] = static_cast<std::uint8_t>(summary_crc >> (8 * i));
  }
  summary.insert(summary.end(), std::begin(mcap::kMagic), std::end(mcap::kMagic));
  write_and_clear(summary);
}

void McapWriter::close() {
  if (closed_) return;
  closed_ = true;
  try {
    flush_chunk();
    in_data_section_ = false;
    mcap::RecordWriter(scratch_).data_end(data_crc_);
    write_and_clear(scratch_);
    write_summary();
  } catch (...) {
    std::fclose(file_);
    file_ = nullptr;
    throw;
  }
  const int result = std::fclose(file_);
  file_ = nullptr;
  if (result != 0) fail("finish writing");
}

void McapWriter::write_bytes(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  if (std::fwrite(data, 1, size, file_) != size) fail("write to");
  if (in_data_section_) data_crc_ = crc32(data, size, data_crc_);
  position_ += size;
}

void McapWriter::write_and_clear(std::vector<std::uint8_t>& bytes) {
  write_bytes(bytes.data(), bytes.size());
  bytes.clear();
}

void McapWriter::fail(const std::string& doing) const {
  throw std::runtime_error("Cannot " + doing + " '" + path_.string() +
                           "': " + std::strerror(errno));
}

}  // namespace

std::unique_ptr<StorageWriter> create_mcap_writer(const std::filesystem::path& file,
                                                  const McapWriterOptions& options) {
  return std::make_unique<McapWriter>(file, options);
}

std::unique_ptr<StorageWriter> create_mcap_writer(const std::filesystem::path& file) {
  return create_mcap_writer(file, McapWriterOptions());
}

}  // namespace orvalt::ros2
