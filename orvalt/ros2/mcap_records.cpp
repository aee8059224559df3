#include "orvalt/ros2/mcap_records.hpp"

#include <cstring>

namespace orvalt::ros2::mcap {
namespace {

template <typename T>
T load_little_endian(const std::uint8_t* data) {
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    value |= static_cast<T>(static_cast<T>(data[i]) << (8 * i));
  }
  return value;
}

FieldReader content(const RecordView& record, const char* what) {
  return FieldReader(record.content, record.length, what);
}

std::vector<std::pair<std::uint16_t, std::uint64_t>> u16_u64_map(FieldReader& reader) {
  FieldReader entries = reader.sub_range();
  std::vector<std::pair<std::uint16_t, std::uint64_t>> map;
  while (entries.remaining() > 0) {
    const std::uint16_t key = entries.u16();
    map.emplace_back(key, entries.u64());
  }
  return map;
}

}  // namespace

const std::uint8_t* FieldReader::take(std::uint64_t count) {
  if (count > remaining()) {
    throw McapFormatError(std::string(what_) + " is truncated or has a length field that " +
                          "runs past its end");
  }
  const std::uint8_t* start = data_ + offset_;
  offset_ += static_cast<std::size_t>(count);
  return start;
}

std::uint8_t FieldReader::u8() { return *take(1); }
std::uint16_t FieldReader::u16() { return load_little_endian<std::uint16_t>(take(2)); }
std::uint32_t FieldReader::u32() { return load_little_endian<std::uint32_t>(take(4)); }
std::uint64_t FieldReader::u64() { return load_little_endian<std::uint64_t>(take(8)); }

std::string_view FieldReader::string() {
  const std::uint32_t length = u32();
  return {reinterpret_cast<const char*>(take(length)), length};
}

const std::uint8_t* FieldReader::bytes(std::uint64_t count) { return take(count); }

FieldReader FieldReader::sub_range() {
  const std::uint32_t length = u32();
  return FieldReader(take(length), length, what_);
}

std::vector<std::pair<std::string, std::string>> FieldReader::string_map() {
  FieldReader entries = sub_range();
  std::vector<std::pair<std::string, std::string>> map;
  while (entries.remaining() > 0) {
    std::string key(entries.string());
    map.emplace_back(std::move(key), std::string(entries.string()));
  }
  return map;
}

bool RecordWalker::next(RecordView& record) {
  if (offset_ == size_) return false;
  if (size_ - offset_ < kRecordPrefixSize) {
    throw McapFormatError("the record at offset " + std::to_string(offset()) + " is truncated");
  }
  const std::uint8_t* start = data_ + offset_;
  const std::uint64_t length = load_little_endian<std::uint64_t>(start + 1);
  if (length > size_ - offset_ - kRecordPrefixSize) {
    throw McapFormatError("the record at offset " + std::to_string(offset()) + " claims " +
                          std::to_string(length) + " bytes, more than remain");
  }
  record.opcode = start[0];
  record.content = start + kRecordPrefixSize;
  record.length = length;
  record.offset = offset();
  offset_ += kRecordPrefixSize + static_cast<std::size_t>(length);
  return true;
}

Header parse_header(const RecordView& record) {
  FieldReader reader = content(record, "Header record");
  Header header;
  header.profile = reader.string();
  header.library = reader.string();
  return header;
}

Footer parse_footer(const RecordView& record) {
  FieldReader reader = content(record, "Footer record");
  Footer footer;
  footer.summary_start = reader.u64();
  footer.summary_offset_start = reader.u64();
  footer.summary_crc = reader.u32();
  return footer;
}

Schema parse_schema(const RecordView& record) {
  FieldReader reader = content(record, "Schema record");
  Schema schema;
  schema.id = reader.u16();
  schema.name = reader.string();
  schema.encoding = reader.string();
  const std::uint32_t size = reader.u32();
  schema.data.assign(reinterpret_cast<const char*>(reader.bytes(size)), size);
  return schema;
}

Channel parse_channel(const RecordView& record) {
  FieldReader reader = content(record, "Channel record");
  Channel channel;
  channel.id = reader.u16();
  channel.schema_id = reader.u16();
  channel.topic = reader.string();
  channel.message_encoding = reader.string();
  channel.metadata = reader.string_map();
  return channel;
}

MessageView parse_message(const RecordView& record) {
  FieldReader reader = content(record, "Message record");
  MessageView message;
  message.channel_id = reader.u16();
  message.sequence = reader.u32();
  message.log_time = reader.u64();
  message.publish_time = reader.u64();
  message.size = reader.remaining();
  message.data = reader.position();
  return message;
}

ChunkView parse_chunk(const RecordView& record) {
  FieldReader reader = content(record, "Chunk record");
  ChunkView chunk;
  chunk.message_start_time = reader.u64();
  chunk.message_end_time = reader.u64();
  chunk.uncompressed_size = reader.u64();
  chunk.uncompressed_crc = reader.u32();
  chunk.compression = reader.string();
  chunk.records_size = reader.u64();
  chunk.records = reader.bytes(chunk.records_size);
  return chunk;
}

MessageIndex parse_message_index(const RecordView& record) {
  FieldReader reader = content(record, "Message Index record");
  MessageIndex index;
  index.channel_id = reader.u16();
  FieldReader entries = reader.sub_range();
  index.entries.reserve(entries.remaining() / 16);
  while (entries.remaining() > 0) {
    MessageIndexEntry entry;
    entry.log_time = entries.u64();
    entry.offset = entries.u64();
    index.entries.push_back(entry);
  }
  return index;
}

ChunkIndex parse_chunk_index(const RecordView& record) {
  FieldReader reader = content(record, "Chunk Index record");
  ChunkIndex index;
  index.message_start_time = reader.u64();
  index.message_end_time = reader.u64();
  index.chunk_start_offset = reader.u64();
  index.chunk_length = reader.u64();
  index.message_index_offsets = u16_u64_map(reader);
  index.message_index_length = reader.u64();
  index.compression = reader.string();
  index.compressed_size = reader.u64();
  index.uncompressed_size = reader.u64();
  return index;
}

Statistics parse_statistics(const RecordView& record) {
  FieldReader reader = content(record, "Statistics record");
  Statistics statistics;
  statistics.message_count = reader.u64();
  statistics.schema_count = reader.u16();
  statistics.channel_count = reader.u32();
  statistics.attachment_count = reader.u32();
  statistics.metadata_count = reader.u32();
  statistics.chunk_count = reader.u32();
  statistics.message_start_time = reader.u64();
  statistics.message_end_time = reader.u64();
  statistics.channel_message_counts = u16_u64_map(reader);
  return statistics;
}

Metadata parse_metadata(const RecordView& record) {
  FieldReader reader = content(record, "Metadata record");
  Metadata metadata;
  metadata.name = reader.string();
  metadata.metadata = reader.string_map();
  return metadata;
}

MetadataIndex parse_metadata_index(const RecordView& record) {
  FieldReader reader = content(record, "Metadata Index record");
  MetadataIndex index;
  index.offset = reader.u64();
  index.length = reader.u64();
  index.name = reader.string();
  return index;
}

SummaryOffset parse_summary_offset(const RecordView& record) {
  FieldReader reader = content(record, "Summary Offset record");
  SummaryOffset offset;
  offset.group_opcode = reader.u8();
  offset.group_start = reader.u64();
  offset.group_length = reader.u64();
  return offset;
}

std::uint32_t parse_data_end(const RecordView& record) {
  FieldReader reader = content(record, "Data End record");
  return reader.u32();
}

void RecordWriter::u16(std::uint16_t value) {
  for (int i = 0; i < 2; ++i) out_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void RecordWriter::u32(std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void RecordWriter::u64(std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void RecordWriter::string(std::string_view value) {
  u32(static_cast<std::uint32_t>(value.size()));
  bytes(reinterpret_cast<const std::uint8_t*>(value.data()), value.size());
}

void RecordWriter::bytes(const std::uint8_t* data, std::size_t size) {
  out_.insert(out_.end(), data, data + size);
}

void RecordWriter::string_map(const std::vector<std::pair<std::string, std::string>>& map) {
  const std::size_t length = begin_length();
  for (const auto& [key, value] : map) {
    string(key);
    string(value);
  }
  end_length(length);
}

std::size_t RecordWriter::begin_record(Opcode opcode) {
  u8(static_cast<std::uint8_t>(opcode));
  const std::size_t length_position = out_.size();
  u64(0);
  return length_position;
}

void RecordWriter::end_record(std::size_t length_position) {
  const std::uint64_t length = out_.size() - length_position - 8;
  for (int i = 0; i < 8; ++i) {
    out_[length_position + i] = static_cast<std::uint8_t>(length >> (8 * i));
  }
}

std::size_t RecordWriter::begin_length() {
  const std::size_t length_position = out_.size();
  u32(0);
  return length_position;
}

void RecordWriter::end_length(std::size_t length_position) {
  const std::uint64_t length = out_.size() - length_position - 4;
  if (length > UINT32_MAX) throw McapFormatError("a map or array exceeds 4 GiB");
  for (int i = 0; i < 4; ++i) {
    out_[length_position + i] = static_cast<std::uint8_t>(length >> (8 * i));
  }
}

void RecordWriter::header(const Header& header) {
  const std::size_t record = begin_record(Opcode::kHeader);
  string(header.profile);
  string(header.library);
  end_record(record);
}

void RecordWriter::footer(const Footer& footer) {
  const std::size_t record = begin_record(Opcode::kFooter);
  u64(footer.summary_start);
  u64(footer.summary_offset_start);
  u32(footer.summary_crc);
  end_record(record);
}

void RecordWriter::schema(const Schema& schema) {
  const std::size_t record = begin_record(Opcode::kSchema);
  u16(schema.id);
  string(schema.name);
  string(schema.encoding);
  string(schema.data);
  end_record(record);
}

void RecordWriter::channel(const Channel& channel) {
  const std::size_t record = begin_record(Opcode::kChannel);
  u16(channel.id);
  u16(channel.schema_id);
  string(channel.topic);
  string(channel.message_encoding);
  string_map(channel.metadata);
  end_record(record);
}

void RecordWriter::message(const MessageView& message) {
  const std::size_t record = begin_record(Opcode::kMessage);
  u16(message.channel_id);
  u32(message.sequence);
  u64(message.log_time);
  u64(message.publish_time);
  bytes(message.data, message.size);
  end_record(record);
}

void RecordWriter::chunk_prefix(const ChunkView& chunk) {
  u8(static_cast<std::uint8_t>(Opcode::kChunk));
  u64(8 + 8 + 8 + 4 + 4 + chunk.compression.size() + 8 + chunk.records_size);
  u64(chunk.message_start_time);
  u64(chunk.message_end_time);
  u64(chunk.uncompressed_size);
  u32(chunk.uncompressed_crc);
  string(chunk.compression);
  u64(chunk.records_size);
}

void RecordWriter::message_index(const MessageIndex& index) {
  const std::size_t record = begin_record(Opcode::kMessageIndex);
  u16(index.channel_id);
  const std::size_t length = begin_length();
  for (const MessageIndexEntry& entry : index.entries) {
    u64(entry.log_time);
    u64(entry.offset);
  }
  end_length(length);
  end_record(record);
}

void RecordWriter::chunk_index(const ChunkIndex& index) {
  const std::size_t record = begin_record(Opcode::kChunkIndex);
  u64(index.message_start_time);
  u64(index.message_end_time);
  u64(index.chunk_start_offset);
  u64(index.chunk_length);
  const std::size_t length = begin_length();
  for (const auto& [channel, offset] : index.message_index_offsets) {
    u16(channel);
    u64(offset);
  }
  end_length(length);
  u64(index.message_index_length);
  string(index.compression);
  u64(index.compressed_size);
  u64(index.uncompressed_size);
  end_record(record);
}

void RecordWriter::statistics(const Statistics& statistics) {
  const std::size_t record = begin_record(Opcode::kStatistics);
  u64(statistics.message_count);
  u16(statistics.schema_count);
  u32(statistics.channel_count);
  u32(statistics.attachment_count);
  u32(statistics.metadata_count);
  u32(statistics.chunk_count);
  u64(statistics.message_start_time);
  u64(statistics.message_end_time);
  const std::size_t length = begin_length();
  for (const auto& [channel, count] : statistics.channel_message_counts) {
    u16(channel);
    u64(count);
  }
  end_length(length);
  end_record(record);
}

void RecordWriter::summary_offset(const SummaryOffset& offset) {
  const std::size_t record = begin_record(Opcode::kSummaryOffset);
  u8(offset.group_opcode);
  u64(offset.group_start);
  u64(offset.group_length);
  end_record(record);
}

void RecordWriter::data_end(std::uint32_t data_section_crc) {
  const std::size_t record = begin_record(Opcode::kDataEnd);
  u32(data_section_crc);
  end_record(record);
}

}  // namespace orvalt::ros2::mcap
