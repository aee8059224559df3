#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// MCAP's binary building blocks: little-endian fields, length-prefixed strings and maps, and
// the records made of them, with field layouts as the MCAP format defines them. Parsing never
// reads outside the given bytes; anything that does not fit throws McapFormatError.
namespace orvalt::ros2::mcap {

inline constexpr std::uint8_t kMagic[8] = {0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};
inline constexpr std::size_t kRecordPrefixSize = 9;  // opcode and uint64 content length
inline constexpr std::size_t kFooterRecordSize = kRecordPrefixSize + 20;

enum class Opcode : std::uint8_t {
  kHeader = 0x01,
  kFooter = 0x02,
  kSchema = 0x03,
  kChannel = 0x04,
  kMessage = 0x05,
  kChunk = 0x06,
  kMessageIndex = 0x07,
  kChunkIndex = 0x08,
  kAttachment = 0x09,
  kAttachmentIndex = 0x0A,
  kStatistics = 0x0B,
  kMetadata = 0x0C,
  kMetadataIndex = 0x0D,
  kSummaryOffset = 0x0E,
  kDataEnd = 0x0F,
};

class McapFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads fields front to back from a byte range; `what` names the range in errors.
class FieldReader {
 public:
  FieldReader(const std::uint8_t* data, std::size_t size, const char* what)
      : data_(data), size_(size), what_(what) {}

  std::uint8_t u8();
  std::uint16_t u16();
  std::uint32_t u32();
  std::uint64_t u64();
  std::string_view string();  // uint32 byte length, then the bytes
  const std::uint8_t* bytes(std::uint64_t count);
  // A uint32 byte length and the reader over the bytes it covers (arrays and maps).
  FieldReader sub_range();
  std::vector<std::pair<std::string, std::string>> string_map();

  const std::uint8_t* position() const { return data_ + offset_; }
  std::size_t remaining() const { return size_ - offset_; }

 private:
  const std::uint8_t* take(std::uint64_t count);

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
  const char* what_;
};

// One record: opcode and content bytes.
struct RecordView {
  std::uint8_t opcode = 0;
  const std::uint8_t* content = nullptr;
  std::uint64_t length = 0;
  std::uint64_t offset = 0;  // of the opcode byte
};

// Walks the records of a byte range (a data section, a summary, a chunk's records).
class RecordWalker {
 public:
  // `base` is the offset of `data` in the file, so that offsets name places in the file.
  RecordWalker(const std::uint8_t* data, std::size_t size, std::uint64_t base = 0)
      : data_(data), size_(size), base_(base) {}
  // False at the exact end of the range; throws McapFormatError when the remaining bytes do
  // not hold a whole record.
  bool next(RecordView& record);
  // Where the next record begins.
  std::uint64_t offset() const { return base_ + offset_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::uint64_t base_;
  std::size_t offset_ = 0;
};

struct Header {
  std::string profile;
  std::string library;
};

struct Footer {
  std::uint64_t summary_start = 0;
  std::uint64_t summary_offset_start = 0;
  std::uint32_t summary_crc = 0;
};

struct Schema {
  std::uint16_t id = 0;
  std::string name;
  std::string encoding;
  std::string data;
};

struct Channel {
  std::uint16_t id = 0;
  std::uint16_t schema_id = 0;
  std::string topic;
  std::string message_encoding;
  std::vector<std::pair<std::string, std::string>> metadata;
};

// Points into the record's bytes.
struct MessageView {
  std::uint16_t channel_id = 0;
  std::uint32_t sequence = 0;
  std::uint64_t log_time = 0;
  std::uint64_t publish_time = 0;
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
};

// Points into the record's bytes.
struct ChunkView {
  std::uint64_t message_start_time = 0;
  std::uint64_t message_end_time = 0;
  std::uint64_t uncompressed_size = 0;
  std::uint32_t uncompressed_crc = 0;
  std::string_view compression;
  const std::uint8_t* records = nullptr;
  std::uint64_t records_size = 0;
};

struct ChunkIndex {
  std::uint64_t message_start_time = 0;
  std::uint64_t message_end_time = 0;
  std::uint64_t chunk_start_offset = 0;
  std::uint64_t chunk_length = 0;
  std::vector<std::pair<std::uint16_t, std::uint64_t>> message_index_offsets;
  std::uint64_t message_index_length = 0;
  std::string compression;
  std::uint64_t compressed_size = 0;
  std::uint64_t uncompressed_size = 0;
};

struct MessageIndexEntry {
  std::uint64_t log_time = 0;
  std::uint64_t offset = 0;  // of the Message record within the uncompressed chunk records
};

struct MessageIndex {
  std::uint16_t channel_id = 0;
  std::vector<MessageIndexEntry> entries;
};

struct Statistics {
  std::uint64_t message_count = 0;
  std::uint16_t schema_count = 0;
  std::uint32_t channel_count = 0;
  std::uint32_t attachment_count = 0;
  std::uint32_t metadata_count = 0;
  std::uint32_t chunk_count = 0;
  std::uint64_t message_start_time = 0;
  std::uint64_t message_end_time = 0;
  std::vector<std::pair<std::uint16_t, std::uint64_t>> channel_message_counts;
};

struct Metadata {
  std::string name;
  std::vector<std::pair<std::string, std::string>> metadata;
};

struct MetadataIndex {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  std::string name;
};

struct SummaryOffset {
  std::uint8_t group_opcode = 0;
  std::uint64_t group_start = 0;
  std::uint64_t group_length = 0;
};

// Each parses a record's content; fields added after the known ones are ignored, as the
// format asks of readers.
Header parse_header(const RecordView& record);
Footer parse_footer(const RecordView& record);
Schema parse_schema(const RecordView& record);
Channel parse_channel(const RecordView& record);
MessageView parse_message(const RecordView& record);
ChunkView parse_chunk(const RecordView& record);
MessageIndex parse_message_index(const RecordView& record);
ChunkIndex parse_chunk_index(const RecordView& record);
Statistics parse_statistics(const RecordView& record);
Metadata parse_metadata(const RecordView& record);
MetadataIndex parse_metadata_index(const RecordView& record);
SummaryOffset parse_summary_offset(const RecordView& record);
std::uint32_t parse_data_end(const RecordView& record);  // the data section CRC

// Appends fields and records to a byte buffer.
class RecordWriter {
 public:
  explicit RecordWriter(std::vector<std::uint8_t>& out) : out_(out) {}

  void u8(std::uint8_t value) { out_.push_back(value); }
  void u16(std::uint16_t value);
  void u32(std::uint32_t value);
  void u64(std::uint64_t value);
  void string(std::string_view value);
  void bytes(const std::uint8_t* data, std::size_t size);
  void string_map(const std::vector<std::pair<std::string, std::string>>& map);

  void header(const Header& header);
  void footer(const Footer& footer);
  void schema(const Schema& schema);
  void channel(const Channel& channel);
  void message(const MessageView& message);
  // A Chunk record up to its records, which the caller writes after it (so that a large
  // compressed block is not copied once more).
  void chunk_prefix(const ChunkView& chunk);
  void message_index(const MessageIndex& index);
  void chunk_index(const ChunkIndex& index);
  void statistics(const Statistics& statistics);
  void summary_offset(const SummaryOffset& offset);
  void data_end(std::uint32_t data_section_crc);

 private:
  std::size_t begin_record(Opcode opcode);
  void end_record(std::size_t length_position);
  // A uint32 byte length placeholder, filled in by end_length().
  std::size_t begin_length();
  void end_length(std::size_t length_position);

  std::vector<std::uint8_t>& out_;
};

}  // namespace orvalt::ros2::mcap
