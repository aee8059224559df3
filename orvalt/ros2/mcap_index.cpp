#include "orvalt/ros2/mcap_index.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "orvalt/common/logger.hpp"
#include "orvalt/ros2/crc32.hpp"

namespace orvalt::ros2::mcap {
namespace {

bool is(const RecordView& record, Opcode opcode) {
  return record.opcode == static_cast<std::uint8_t>(opcode);
}

std::string hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08x", value);
  return text;
}

const std::string* find_value(const std::vector<std::pair<std::string, std::string>>& map,
                              const std::string& key) {
  for (const auto& [name, value] : map) {
    if (name == key) return &value;
  }
  return nullptr;
}

std::optional<std::string> rosbag2_metadata_text(const Metadata& metadata) {
  if (const std::string* yaml = find_value(metadata.metadata, "serialized_metadata")) return *yaml;
  if (const std::string* distro = find_value(metadata.metadata, "ROS_DISTRO")) {
    return "ros_distro: " + *distro + "\n";
  }
  return std::nullopt;
}

void add_unique(std::vector<std::uint16_t>& channels, std::uint16_t channel) {
  if (std::find(channels.begin(), channels.end(), channel) == channels.end()) {
    channels.push_back(channel);
  }
}

}  // namespace

McapIndex::McapIndex(const MappedFile& file, const std::string& name)
    : file_(file), name_(name), log_(common::logger("orvalt.ros2.mcap_reader")) {
  const std::uint8_t* data = file_.data();
  const std::size_t size = file_.size();
  if (size < sizeof(kMagic) || std::memcmp(data, kMagic, sizeof(kMagic)) != 0) {
    throw McapFormatError("not an MCAP file (it does not begin with the MCAP magic bytes)");
  }
  RecordWalker walker(data + sizeof(kMagic), size - sizeof(kMagic), sizeof(kMagic));
  RecordView record;
  if (!walker.next(record) || !is(record, Opcode::kHeader)) {
    throw McapFormatError("the Header record that must follow the magic bytes is missing");
  }
  const Header header = parse_header(record);
  if (header.profile != "ros2") {
    log_->debug("{}: MCAP profile '{}' (written by '{}'), not ros2", name_, header.profile,
                header.library);
  }
  data_start_ = walker.offset();
  data_end_ = size;

  const std::uint64_t tail = sizeof(kMagic) + kFooterRecordSize;
  if (size >= data_start_ + tail &&
      std::memcmp(data + size - sizeof(kMagic), kMagic, sizeof(kMagic)) == 0) {
    footer_offset_ = size - tail;
    RecordWalker footer_walker(data + footer_offset_, kFooterRecordSize, footer_offset_);
    if (footer_walker.next(record) && is(record, Opcode::kFooter) && record.length == 20) {
      footer_ = parse_footer(record);
      complete_ = true;
      data_end_ = footer_offset_;
    }
  }
  if (!complete_) {
    log_->warn(
        "{}: no footer at the end of the file (was the recording cut off?); reading "
        "what it holds from the start",
        name_);
  }

  if (complete_ && footer_.summary_start != 0) {
    try {
      indexed_ = read_summary();
    } catch (const McapFormatError& error) {
      log_->warn("{}: the summary section is damaged ({}); reading the file from the start", name_,
                 error.what());
    }
  }
  if (!indexed_) {
    // The scan ends at the Data End record; a damaged footer must not cut it short.
    data_end_ = complete_ ? footer_offset_ : size;
    schemas_.clear();
    channels_.clear();
    statistics_.reset();
    chunk_indexes_.clear();
    metadata_indexes_.clear();
    has_metadata_index_ = false;
    blocks_.clear();
    scan();
  }
  build_connections();
}

// False when the summary is sound but cannot stand in for the data (no chunk indexes).
bool McapIndex::read_summary() {
  const std::uint8_t* data = file_.data();
  const std::uint64_t start = footer_.summary_start;
  const std::uint64_t end =
      footer_.summary_offset_start != 0 ? footer_.summary_offset_start : footer_offset_;
  if (start < data_start_ || start > footer_offset_ || end < start || end > footer_offset_) {
    throw McapFormatError("the footer's summary offsets lie outside the file");
  }
  if (footer_.summary_crc != 0) {
    // The CRC runs up to and including the footer's summary_offset_start field.
    const std::uint64_t covered = footer_offset_ + kRecordPrefixSize + 16 - start;
    const std::uint32_t computed = crc32(data + start, covered);
    if (computed != footer_.summary_crc) {
      throw McapFormatError("summary CRC mismatch (stored " + hex(footer_.summary_crc) +
                            ", computed " + hex(computed) + ")");
    }
  }
  RecordWalker walker(data + start, end - start, start);
  RecordView record;
  while (walker.next(record)) {
    if (is(record, Opcode::kSchema)) {
      add_schema(parse_schema(record));
    } else if (is(record, Opcode::kChannel)) {
      add_channel(parse_channel(record));
    } else if (is(record, Opcode::kStatistics)) {
      statistics_ = parse_statistics(record);
    } else if (is(record, Opcode::kChunkIndex)) {
      ChunkIndex index = parse_chunk_index(record);
      if (index.chunk_start_offset < data_start_ || index.chunk_start_offset > start ||
          index.chunk_length < kRecordPrefixSize ||
          index.chunk_length > start - index.chunk_start_offset) {
        throw McapFormatError("a chunk index points outside the data section");
      }
      chunk_indexes_.push_back(std::move(index));
    } else if (is(record, Opcode::kMetadataIndex)) {
      metadata_indexes_.push_back(parse_metadata_index(record));
      has_metadata_index_ = true;
    }
  }
  data_end_ = start;

  for (const auto& [id, channel] : channels_) {
    if (channel.schema_id != 0 && schemas_.count(channel.schema_id) == 0) {
      throw McapFormatError("channel " + std::to_string(id) + " refers to schema " +
                            std::to_string(channel.schema_id) + ", which the summary lacks");
    }
  }
  for (const ChunkIndex& index : chunk_indexes_) {
    for (const auto& [channel, offset] : index.message_index_offsets) {
      if (channels_.count(channel) == 0) {
        throw McapFormatError("a chunk index names channel " + std::to_string(channel) +
                              ", which the summary lacks");
      }
    }
  }
  if (statistics_) {
    for (const auto& [channel, count] : statistics_->channel_message_counts) {
      if (channels_.count(channel) == 0) {
        throw McapFormatError("the statistics name channel " + std::to_string(channel) +
                              ", which the summary lacks");
      }
    }
  }
  const bool no_messages = statistics_ && statistics_->message_count == 0;
  if (chunk_indexes_.empty() && !no_messages) {
    log_->debug("{}: the summary indexes no chunks; reading the file from the start", name_);
    return false;
  }
  if (statistics_ && statistics_->chunk_count != chunk_indexes_.size()) {
    log_->debug("{}: the summary indexes {} of {} chunks; reading the file from the start", name_,
                chunk_indexes_.size(), statistics_->chunk_count);
    return false;
  }

  std::sort(chunk_indexes_.begin(), chunk_indexes_.end(),
            [](const ChunkIndex& a, const ChunkIndex& b) {
              return a.chunk_start_offset < b.chunk_start_offset;
            });
  for (const ChunkIndex& index : chunk_indexes_) {
    Block block;
    block.offset = index.chunk_start_offset;
    block.length = index.chunk_length;
    block.start_time = index.message_start_time;
    for (const auto& [channel, offset] : index.message_index_offsets) {
      block.channels.push_back(channel);
    }
    blocks_.push_back(std::move(block));
  }
  return true;
}

void McapIndex::scan() {
  const std::uint8_t* data = file_.data();
  RecordWalker walker(data + data_start_, data_end_ - data_start_, data_start_);
  Block run;
  run.chunk = false;
  bool in_run = false;
  const auto close_run = [&] {
    if (in_run) blocks_.push_back(run);
    in_run = false;
  };
  while (true) {
    RecordView record;
    try {
      if (!walker.next(record)) break;
    } catch (const McapFormatError& error) {
      if (complete_) throw;
      log_->warn("{}: the file ends inside a record ({}); reading the {} messages before it", name_,
                 error.what(), scanned_messages_);
      break;
    }
    if (is(record, Opcode::kDataEnd)) {
      const std::uint32_t stored = parse_data_end(record);
      if (stored != 0) {
        const std::uint32_t computed = crc32(data, record.offset);
        if (computed != stored) {
          throw McapFormatError("data section CRC mismatch (stored " + hex(stored) + ", computed " +
                                hex(computed) + ")");
        }
      }
      break;
    }
    if (is(record, Opcode::kFooter)) break;
    if (is(record, Opcode::kSchema)) {
      add_schema(parse_schema(record));
    } else if (is(record, Opcode::kChannel)) {
      add_channel(parse_channel(record));
    } else if (is(record, Opcode::kMessage)) {
      if (!in_run) {
        run = Block();
        run.chunk = false;
        run.offset = record.offset;
        run.start_time = UINT64_MAX;
        in_run = true;
      }
      count_message(parse_message(record), record.offset, run);
      run.length = record.offset + kRecordPrefixSize + record.length - run.offset;
    } else if (is(record, Opcode::kChunk)) {
      close_run();
      scan_chunk(record);
    } else if (is(record, Opcode::kMetadata)) {
      const Metadata found = parse_metadata(record);
      if (found.name == "rosbag2") {
        if (auto text = rosbag2_metadata_text(found)) metadata_ = std::move(text);
      }
    } else if (record.opcode == 0) {
      if (complete_) {
        throw McapFormatError("invalid record opcode 0 at offset " + std::to_string(record.offset));
      }
      log_->warn(
          "{}: the data stops at offset {} (cut off while recording?); reading the {} "
          "messages before it",
          name_, record.offset, scanned_messages_);
      break;
    }
  }
  close_run();
  metadata_known_ = true;
}

void McapIndex::scan_chunk(const RecordView& record) {
  try {
    const auto [records, size] = chunk_records(record, scratch_, decompressor_);
    Block block;
    block.offset = record.offset;
    block.length = kRecordPrefixSize + record.length;
    block.start_time = UINT64_MAX;
    RecordWalker walker(records, size);
    RecordView inner;
    while (walker.next(inner)) {
      if (is(inner, Opcode::kSchema)) {
        add_schema(parse_schema(inner));
      } else if (is(inner, Opcode::kChannel)) {
        add_channel(parse_channel(inner));
      } else if (is(inner, Opcode::kMessage)) {
        count_message(parse_message(inner), inner.offset, block);
      }
    }
    if (!block.channels.empty()) blocks_.push_back(std::move(block));
  } catch (const McapFormatError& error) {
    throw McapFormatError("chunk at offset " + std::to_string(record.offset) + ": " + error.what());
  }
}

void McapIndex::add_schema(Schema schema) {
  // Id 0 means "no schema" and is not a valid record; repeats of an id are copies.
  if (schema.id == 0) return;
  schemas_.emplace(schema.id, std::move(schema));
}

void McapIndex::add_channel(Channel channel) { channels_.emplace(channel.id, std::move(channel)); }

void McapIndex::count_message(const MessageView& message, std::uint64_t offset, Block& block) {
  if (channels_.count(message.channel_id) == 0) {
    throw McapFormatError("a message at offset " + std::to_string(offset) + " is on channel " +
                          std::to_string(message.channel_id) +
                          ", which no Channel record before it defines");
  }
  ++scanned_counts_[message.channel_id];
  ++scanned_messages_;
  first_time_ = std::min(first_time_, message.log_time);
  last_time_ = std::max(last_time_, message.log_time);
  block.start_time = std::min(block.start_time, message.log_time);
  add_unique(block.channels, message.channel_id);
}

void McapIndex::build_connections() {
  connections_.clear();
  for (const auto& [id, channel] : channels_) {
    Connection connection;
    connection.id = static_cast<int>(connections_.size());
    connection.topic = channel.topic;
    connection.serialization_format = channel.message_encoding;
    if (const std::string* qos = find_value(channel.metadata, "offered_qos_profiles")) {
      connection.offered_qos_profiles = *qos;
    }
    if (const std::string* hash = find_value(channel.metadata, "topic_type_hash")) {
      connection.type_description_hash = *hash;
    }
    const auto schema = schemas_.find(channel.schema_id);
    if (schema != schemas_.end()) {
      connection.msgtype = schema->second.name;
      connection.message_definition = schema->second.data;
      connection.message_definition_encoding = schema->second.encoding;
    } else {
      log_->warn("{}: channel {} ('{}') has no schema, so its message type is unknown", name_, id,
                 channel.topic);
    }
    connection_of_[id] = connection.id;
    connections_.push_back(std::move(connection));
  }
  if (!indexed_) {
    counts_ = std::vector<std::uint64_t>(connections_.size(), 0);
    for (const auto& [channel, count] : scanned_counts_) {
      (*counts_)[static_cast<std::size_t>(connection_of_[channel])] = count;
    }
  }
}

std::pair<const std::uint8_t*, std::size_t> McapIndex::chunk_records(
    const RecordView& record, std::vector<std::uint8_t>& buffer,
    ChunkDecompressor& decompressor_) const {
  const ChunkView chunk = parse_chunk(record);
  const std::uint8_t* records = chunk.records;
  const auto size = static_cast<std::size_t>(chunk.uncompressed_size);
  if (chunk.compression.empty()) {
    if (chunk.uncompressed_size != chunk.records_size) {
      throw McapFormatError("the uncompressed chunk claims " +
                            std::to_string(chunk.uncompressed_size) + " bytes but holds " +
                            std::to_string(chunk.records_size));
    }
  } else {
    decompressor_.decompress(chunk.compression, chunk.records,
                             static_cast<std::size_t>(chunk.records_size), chunk.uncompressed_size,
                             buffer);
    records = buffer.data();
  }
  if (chunk.uncompressed_crc != 0) {
    const std::uint32_t computed = crc32(records, size);
    if (computed != chunk.uncompressed_crc) {
      throw McapFormatError("CRC mismatch, the chunk is corrupt (stored " +
                            hex(chunk.uncompressed_crc) + ", computed " + hex(computed) + ")");
    }
  }
  return {records, size};
}

RecordView McapIndex::record_at(std::uint64_t offset, std::uint64_t end) const {
  if (offset >= end || end > file_.size()) {
    throw McapFormatError("an index points to offset " + std::to_string(offset) +
                          ", outside the data section");
  }
  RecordWalker walker(file_.data() + offset, end - offset, offset);
  RecordView record;
  walker.next(record);
  return record;
}

std::vector<std::uint64_t> McapIndex::count_from_index() {
  std::vector<std::uint64_t> result(connections_.size(), 0);
  if (statistics_ &&
      (!statistics_->channel_message_counts.empty() || statistics_->message_count == 0)) {
    for (const auto& [channel, count] : statistics_->channel_message_counts) {
      result[static_cast<std::size_t>(connection_of_[channel])] = count;
    }
    return result;
  }
  for (const ChunkIndex& index : chunk_indexes_) {
    if (!index.message_index_offsets.empty()) {
      for (const auto& [channel, offset] : index.message_index_offsets) {
        const RecordView record = record_at(offset, data_end_);
        if (!is(record, Opcode::kMessageIndex)) {
          throw McapFormatError("no Message Index record at offset " + std::to_string(offset));
        }
        const MessageIndex message_index = parse_message_index(record);
        if (message_index.channel_id != channel) {
          throw McapFormatError("the Message Index record at offset " + std::to_string(offset) +
                                " is for another channel");
        }
        result[static_cast<std::size_t>(connection_of_[channel])] += message_index.entries.size();
      }
      continue;
    }
    // A chunk without message indexes has to be read to count its messages.
    const RecordView record = chunk_at(index.chunk_start_offset);
    try {
      const auto [records, size] = chunk_records(record, scratch_, decompressor_);
      RecordWalker walker(records, size);
      RecordView inner;
      while (walker.next(inner)) {
        if (!is(inner, Opcode::kMessage)) continue;
        const int connection = connection_of_[parse_message(inner).channel_id];
        if (connection != kNoConnection) ++result[static_cast<std::size_t>(connection)];
      }
    } catch (const McapFormatError& error) {
      throw McapFormatError("chunk at offset " + std::to_string(record.offset) + ": " +
                            error.what());
    }
  }
  return result;
}

std::optional<std::string> McapIndex::find_metadata() {
  std::optional<std::string> found;
  if (has_metadata_index_) {
    std::sort(metadata_indexes_.begin(), metadata_indexes_.end(),
              [](const MetadataIndex& a, const MetadataIndex& b) { return a.offset < b.offset; });
    for (const MetadataIndex& index : metadata_indexes_) {
      if (index.name != "rosbag2") continue;
      const RecordView record = record_at(index.offset, data_end_);
      if (!is(record, Opcode::kMetadata)) {
        throw McapFormatError("no Metadata record at offset " + std::to_string(index.offset));
      }
      const Metadata found_record = parse_metadata(record);
      if (found_record.name != "rosbag2") continue;
      if (auto text = rosbag2_metadata_text(found_record)) found = std::move(text);
    }
    return found;
  }
  // Metadata records lie between the chunks; walking the records skips chunk contents.
  RecordWalker walker(file_.data() + data_start_, data_end_ - data_start_, data_start_);
  RecordView record;
  while (walker.next(record) && !is(record, Opcode::kDataEnd)) {
    if (!is(record, Opcode::kMetadata)) continue;
    const Metadata found_record = parse_metadata(record);
    if (found_record.name != "rosbag2") continue;
    if (auto text = rosbag2_metadata_text(found_record)) found = std::move(text);
  }
  return found;
}

RecordView McapIndex::chunk_at(std::uint64_t offset) const {
  const RecordView record = record_at(offset, data_end_);
  if (!is(record, Opcode::kChunk)) {
    throw McapFormatError("no Chunk record at offset " + std::to_string(offset));
  }
  return record;
}

std::pair<const std::uint8_t*, std::size_t> McapIndex::records(
    const Block& block, std::vector<std::uint8_t>& buffer, ChunkDecompressor& decompressor) const {
  if (!block.chunk) return {file_.data() + block.offset, block.length};
  const RecordView record = chunk_at(block.offset);
  if (kRecordPrefixSize + record.length != block.length) {
    throw McapFormatError("the chunk at offset " + std::to_string(block.offset) +
                          " is not of the indexed length");
  }
  return chunk_records(record, buffer, decompressor);
}

std::vector<std::uint64_t> McapIndex::message_counts() {
  if (!counts_) counts_ = count_from_index();
  return *counts_;
}

std::optional<TimeRange> McapIndex::time_range() const {
  if (!indexed_) {
    if (scanned_messages_ == 0) return std::nullopt;
    return TimeRange{static_cast<std::int64_t>(first_time_), static_cast<std::int64_t>(last_time_)};
  }
  if (!statistics_ || statistics_->message_count == 0) return std::nullopt;
  return TimeRange{static_cast<std::int64_t>(statistics_->message_start_time),
                   static_cast<std::int64_t>(statistics_->message_end_time)};
}

std::optional<std::string> McapIndex::embedded_metadata() {
  if (!metadata_known_) {
    metadata_ = find_metadata();
    metadata_known_ = true;
  }
  return metadata_;
}

}  // namespace orvalt::ros2::mcap
