#include "orvalt/ros2/mcap_reader.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "orvalt/common/logger.hpp"
#include "orvalt/ros2/crc32.hpp"
#include "orvalt/ros2/mapped_file.hpp"
#include "orvalt/ros2/mcap_compression.hpp"
#include "orvalt/ros2/mcap_records.hpp"

namespace orvalt::ros2 {
namespace {

using mcap::McapFormatError;
using mcap::Opcode;
using mcap::RecordView;
using mcap::RecordWalker;

constexpr int kNoConnection = -1;
// Decompression buffers kept for reuse; more are only needed while chunks overlap in time.
constexpr std::size_t kPooledBuffers = 4;

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

std::optional<std::string> rosbag2_metadata_text(const mcap::Metadata& metadata) {
  if (const std::string* yaml = find_value(metadata.metadata, "serialized_metadata")) return *yaml;
  if (const std::string* distro = find_value(metadata.metadata, "ROS_DISTRO")) {
    return "ros_distro: " + *distro + "\n";
  }
  return std::nullopt;
}

// A stretch of the data section whose messages are read together: one chunk, or a run of
// messages written outside chunks.
struct Block {
  bool chunk = true;
  std::uint64_t offset = 0;  // of the chunk record, or of the run's first record
  std::uint64_t length = 0;  // of the chunk record with its prefix, or of the whole run
  std::uint64_t start_time = 0;
  std::uint64_t end_time = 0;
  std::vector<std::uint16_t> channels;  // those with messages in the block; empty if unknown
};

struct Entry {
  std::uint64_t log_time;
  const std::uint8_t* data;
  std::size_t size;
  int connection;
};

// A block being read: its records (decompressed into `buffer` unless they are read from the
// mapping) and its wanted messages in time order.
struct OpenBlock {
  std::size_t order = 0;  // the block's place in the file; breaks ties between blocks
  std::vector<std::uint8_t> buffer;
  std::vector<Entry> entries;
  std::size_t next = 0;
};

// Orders the heap so that its front is the earliest next message.
bool later(const std::unique_ptr<OpenBlock>& a, const std::unique_ptr<OpenBlock>& b) {
  const std::uint64_t time_a = a->entries[a->next].log_time;
  const std::uint64_t time_b = b->entries[b->next].log_time;
  if (time_a != time_b) return time_a > time_b;
  return a->order > b->order;
}

void add_unique(std::vector<std::uint16_t>& channels, std::uint16_t channel) {
  if (std::find(channels.begin(), channels.end(), channel) == channels.end()) {
    channels.push_back(channel);
  }
}

}  // namespace

struct McapReader::Impl {
  explicit Impl(const std::filesystem::path& path) : path(path), file(path) {}
  ~Impl();

  void open();
  bool read_summary();
  void scan();
  void scan_chunk(const RecordView& record);
  void add_schema(mcap::Schema schema);
  void add_channel(mcap::Channel channel);
  void count_message(const mcap::MessageView& message, std::uint64_t offset, Block& block);
  void build_connections();
  std::pair<const std::uint8_t*, std::size_t> chunk_records(
      const RecordView& record, std::vector<std::uint8_t>& buffer,
      mcap::ChunkDecompressor& decompressor) const;
  RecordView record_at(std::uint64_t offset, std::uint64_t end) const;
  std::vector<std::uint64_t> count_from_index();
  std::optional<std::string> find_metadata();
  void restart();
  bool wants(const Block& block) const;
  std::unique_ptr<OpenBlock> prepare_block(std::size_t index, std::vector<std::uint8_t> buffer,
                                           mcap::ChunkDecompressor& decompressor) const;
  std::vector<std::uint8_t> take_buffer();
  void recycle(std::vector<std::uint8_t> buffer);
  std::size_t next_wanted(std::size_t position) const;
  void start_ahead(std::size_t index);
  std::unique_ptr<OpenBlock> take_ahead();
  void work_ahead();
  bool next(StorageMessage& out);

  std::filesystem::path path;
  MappedFile file;
  std::shared_ptr<spdlog::logger> log = common::logger("orvalt.ros2.mcap_reader");

  std::uint64_t data_start = 0;
  std::uint64_t data_end = 0;  // where the summary (or the footer, or the file) begins
  bool complete = false;       // ends with a Footer record and the magic
  mcap::Footer footer;
  std::uint64_t footer_offset = 0;
  bool indexed = false;

  std::map<std::uint16_t, mcap::Schema> schemas;
  std::map<std::uint16_t, mcap::Channel> channels;
  std::vector<int> connection_of = std::vector<int>(65536, kNoConnection);
  std::vector<Connection> connections;
  std::vector<Block> blocks;  // in file order

  // From the summary.
  std::optional<mcap::Statistics> statistics;
  std::vector<mcap::ChunkIndex> chunk_indexes;
  std::vector<mcap::MetadataIndex> metadata_indexes;
  bool has_metadata_index = false;

  // Known after a scan, or once asked for.
  std::map<std::uint16_t, std::uint64_t> scanned_counts;
  std::uint64_t scanned_messages = 0;
  std::uint64_t first_time = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t last_time = 0;
  std::optional<std::vector<std::uint64_t>> counts;
  std::optional<std::string> metadata;
  bool metadata_known = false;

  mcap::ChunkDecompressor decompressor;
  std::vector<std::uint8_t> scratch;

  // Iteration.
  bool filtered = false;
  std::vector<char> wanted;  // per connection, when filtered
  bool started = false;
  std::vector<std::size_t> by_start_time;  // block indices
  std::size_t pending = 0;                 // next entry of by_start_time to open
  std::vector<std::unique_ptr<OpenBlock>> heap;
  std::vector<std::vector<std::uint8_t>> free_buffers;

  // A second thread decompresses and indexes the next block while the caller reads messages
  // of the current one; it only reads state that stays fixed during a pass.
  std::thread worker;
  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  bool job_waiting = false;  // a block for the worker to prepare
  bool job_done = false;
  bool job_started = false;  // by the reading thread, until it takes the result
  std::size_t job_index = 0;
  std::vector<std::uint8_t> job_buffer;
  std::unique_ptr<OpenBlock> job_result;
  std::exception_ptr job_error;
  mcap::ChunkDecompressor worker_decompressor;
};

void McapReader::Impl::open() {
  const std::uint8_t* data = file.data();
  const std::size_t size = file.size();
  if (size < sizeof(mcap::kMagic) || std::memcmp(data, mcap::kMagic, sizeof(mcap::kMagic)) != 0) {
    throw McapFormatError("not an MCAP file (it does not begin with the MCAP magic bytes)");
  }
  RecordWalker walker(data + sizeof(mcap::kMagic), size - sizeof(mcap::kMagic),
                      sizeof(mcap::kMagic));
  RecordView record;
  if (!walker.next(record) || !is(record, Opcode::kHeader)) {
    throw McapFormatError("the Header record that must follow the magic bytes is missing");
  }
  const mcap::Header header = mcap::parse_header(record);
  if (header.profile != "ros2") {
    log->debug("{}: MCAP profile '{}' (written by '{}'), not ros2", path.string(), header.profile,
               header.library);
  }
  data_start = walker.offset();
  data_end = size;

  const std::uint64_t tail = sizeof(mcap::kMagic) + mcap::kFooterRecordSize;
  if (size >= data_start + tail &&
      std::memcmp(data + size - sizeof(mcap::kMagic), mcap::kMagic, sizeof(mcap::kMagic)) == 0) {
    footer_offset = size - tail;
    RecordWalker footer_walker(data + footer_offset, mcap::kFooterRecordSize, footer_offset);
    if (footer_walker.next(record) && is(record, Opcode::kFooter) && record.length == 20) {
      footer = mcap::parse_footer(record);
      complete = true;
      data_end = footer_offset;
    }
  }
  if (!complete) {
    log->warn(
        "{}: no footer at the end of the file (was the recording cut off?); reading "
        "what it holds from the start",
        path.string());
  }

  if (complete && footer.summary_start != 0) {
    try {
      indexed = read_summary();
    } catch (const McapFormatError& error) {
      log->warn("{}: the summary section is damaged ({}); reading the file from the start",
                path.string(), error.what());
    }
  }
  if (!indexed) {
    schemas.clear();
    channels.clear();
    statistics.reset();
    chunk_indexes.clear();
    metadata_indexes.clear();
    has_metadata_index = false;
    blocks.clear();
    scan();
  }
  build_connections();
}

// False when the summary is sound but cannot stand in for the data (no chunk indexes).
bool McapReader::Impl::read_summary() {
  const std::uint8_t* data = file.data();
  const std::uint64_t start = footer.summary_start;
  const std::uint64_t end =
      footer.summary_offset_start != 0 ? footer.summary_offset_start : footer_offset;
  if (start < data_start || start > footer_offset || end < start || end > footer_offset) {
    throw McapFormatError("the footer's summary offsets lie outside the file");
  }
  if (footer.summary_crc != 0) {
    // The CRC runs up to and including the footer's summary_offset_start field.
    const std::uint64_t covered = footer_offset + mcap::kRecordPrefixSize + 16 - start;
    const std::uint32_t computed = crc32(data + start, covered);
    if (computed != footer.summary_crc) {
      throw McapFormatError("summary CRC mismatch (stored " + hex(footer.summary_crc) +
                            ", computed " + hex(computed) + ")");
    }
  }
  RecordWalker walker(data + start, end - start, start);
  RecordView record;
  while (walker.next(record)) {
    if (is(record, Opcode::kSchema)) {
      add_schema(mcap::parse_schema(record));
    } else if (is(record, Opcode::kChannel)) {
      add_channel(mcap::parse_channel(record));
    } else if (is(record, Opcode::kStatistics)) {
      statistics = mcap::parse_statistics(record);
    } else if (is(record, Opcode::kChunkIndex)) {
      mcap::ChunkIndex index = mcap::parse_chunk_index(record);
      if (index.chunk_start_offset < data_start || index.chunk_start_offset > start ||
          index.chunk_length < mcap::kRecordPrefixSize ||
          index.chunk_length > start - index.chunk_start_offset) {
        throw McapFormatError("a chunk index points outside the data section");
      }
      chunk_indexes.push_back(std::move(index));
    } else if (is(record, Opcode::kMetadataIndex)) {
      metadata_indexes.push_back(mcap::parse_metadata_index(record));
      has_metadata_index = true;
    }
  }
  data_end = start;

  for (const auto& [id, channel] : channels) {
    if (channel.schema_id != 0 && schemas.count(channel.schema_id) == 0) {
      throw McapFormatError("channel " + std::to_string(id) + " refers to schema " +
                            std::to_string(channel.schema_id) + ", which the summary lacks");
    }
  }
  for (const mcap::ChunkIndex& index : chunk_indexes) {
    for (const auto& [channel, offset] : index.message_index_offsets) {
      if (channels.count(channel) == 0) {
        throw McapFormatError("a chunk index names channel " + std::to_string(channel) +
                              ", which the summary lacks");
      }
    }
  }
  if (statistics) {
    for (const auto& [channel, count] : statistics->channel_message_counts) {
      if (channels.count(channel) == 0) {
        throw McapFormatError("the statistics name channel " + std::to_string(channel) +
                              ", which the summary lacks");
      }
    }
  }
  const bool no_messages = statistics && statistics->message_count == 0;
  if (chunk_indexes.empty() && !no_messages) {
    log->debug("{}: the summary indexes no chunks; reading the file from the start", path.string());
    return false;
  }
  if (statistics && statistics->chunk_count != chunk_indexes.size()) {
    log->debug("{}: the summary indexes {} of {} chunks; reading the file from the start",
               path.string(), chunk_indexes.size(), statistics->chunk_count);
    return false;
  }

  std::sort(chunk_indexes.begin(), chunk_indexes.end(),
            [](const mcap::ChunkIndex& a, const mcap::ChunkIndex& b) {
              return a.chunk_start_offset < b.chunk_start_offset;
            });
  for (const mcap::ChunkIndex& index : chunk_indexes) {
    Block block;
    block.offset = index.chunk_start_offset;
    block.length = index.chunk_length;
    block.start_time = index.message_start_time;
    block.end_time = index.message_end_time;
    for (const auto& [channel, offset] : index.message_index_offsets) {
      block.channels.push_back(channel);
    }
    blocks.push_back(std::move(block));
  }
  return true;
}

void McapReader::Impl::scan() {
  const std::uint8_t* data = file.data();
  RecordWalker walker(data + data_start, data_end - data_start, data_start);
  Block run;
  run.chunk = false;
  bool in_run = false;
  const auto close_run = [&] {
    if (in_run) blocks.push_back(run);
    in_run = false;
  };
  while (true) {
    RecordView record;
    try {
      if (!walker.next(record)) break;
    } catch (const McapFormatError& error) {
      if (complete) throw;
      log->warn("{}: the file ends inside a record ({}); reading the {} messages before it",
                path.string(), error.what(), scanned_messages);
      break;
    }
    if (is(record, Opcode::kDataEnd)) {
      const std::uint32_t stored = mcap::parse_data_end(record);
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
      add_schema(mcap::parse_schema(record));
    } else if (is(record, Opcode::kChannel)) {
      add_channel(mcap::parse_channel(record));
    } else if (is(record, Opcode::kMessage)) {
      if (!in_run) {
        run = Block();
        run.chunk = false;
        run.offset = record.offset;
        in_run = true;
      }
      count_message(mcap::parse_message(record), record.offset, run);
      run.length = record.offset + mcap::kRecordPrefixSize + record.length - run.offset;
    } else if (is(record, Opcode::kChunk)) {
      close_run();
      scan_chunk(record);
    } else if (is(record, Opcode::kMetadata)) {
      const mcap::Metadata found = mcap::parse_metadata(record);
      if (found.name == "rosbag2") {
        if (auto text = rosbag2_metadata_text(found)) metadata = std::move(text);
      }
    } else if (record.opcode == 0) {
      if (complete) {
        throw McapFormatError("invalid record opcode 0 at offset " + std::to_string(record.offset));
      }
      log->warn(
          "{}: the data stops at offset {} (cut off while recording?); reading the {} "
          "messages before it",
          path.string(), record.offset, scanned_messages);
      break;
    }
  }
  close_run();
  metadata_known = true;
}

void McapReader::Impl::scan_chunk(const RecordView& record) {
  try {
    const auto [records, size] = chunk_records(record, scratch, decompressor);
    Block block;
    block.offset = record.offset;
    block.length = mcap::kRecordPrefixSize + record.length;
    block.start_time = std::numeric_limits<std::uint64_t>::max();
    RecordWalker walker(records, size);
    RecordView inner;
    while (walker.next(inner)) {
      if (is(inner, Opcode::kSchema)) {
        add_schema(mcap::parse_schema(inner));
      } else if (is(inner, Opcode::kChannel)) {
        add_channel(mcap::parse_channel(inner));
      } else if (is(inner, Opcode::kMessage)) {
        count_message(mcap::parse_message(inner), inner.offset, block);
      }
    }
    if (!block.channels.empty()) blocks.push_back(std::move(block));
  } catch (const McapFormatError& error) {
    throw McapFormatError("chunk at offset " + std::to_string(record.offset) + ": " + error.what());
  }
}

void McapReader::Impl::add_schema(mcap::Schema schema) {
  // Id 0 means "no schema" and is not a valid record; repeats of an id are copies.
  if (schema.id == 0) return;
  schemas.emplace(schema.id, std::move(schema));
}

void McapReader::Impl::add_channel(mcap::Channel channel) {
  channels.emplace(channel.id, std::move(channel));
}

void McapReader::Impl::count_message(const mcap::MessageView& message, std::uint64_t offset,
                                     Block& block) {
  if (channels.count(message.channel_id) == 0) {
    throw McapFormatError("a message at offset " + std::to_string(offset) + " is on channel " +
                          std::to_string(message.channel_id) +
                          ", which no Channel record before it defines");
  }
  ++scanned_counts[message.channel_id];
  ++scanned_messages;
  first_time = std::min(first_time, message.log_time);
  last_time = std::max(last_time, message.log_time);
  if (block.channels.empty()) {
    block.start_time = message.log_time;
    block.end_time = message.log_time;
  }
  block.start_time = std::min(block.start_time, message.log_time);
  block.end_time = std::max(block.end_time, message.log_time);
  add_unique(block.channels, message.channel_id);
}

void McapReader::Impl::build_connections() {
  connections.clear();
  for (const auto& [id, channel] : channels) {
    Connection connection;
    connection.id = static_cast<int>(connections.size());
    connection.topic = channel.topic;
    connection.serialization_format = channel.message_encoding;
    if (const std::string* qos = find_value(channel.metadata, "offered_qos_profiles")) {
      connection.offered_qos_profiles = *qos;
    }
    if (const std::string* hash = find_value(channel.metadata, "topic_type_hash")) {
      connection.type_description_hash = *hash;
    }
    const auto schema = schemas.find(channel.schema_id);
    if (schema != schemas.end()) {
      connection.msgtype = schema->second.name;
      connection.message_definition = schema->second.data;
      connection.message_definition_encoding = schema->second.encoding;
    } else {
      log->warn("{}: channel {} ('{}') has no schema, so its message type is unknown",
                path.string(), id, channel.topic);
    }
    connection_of[id] = connection.id;
    connections.push_back(std::move(connection));
  }
  if (!indexed) {
    counts = std::vector<std::uint64_t>(connections.size(), 0);
    for (const auto& [channel, count] : scanned_counts) {
      (*counts)[static_cast<std::size_t>(connection_of[channel])] = count;
    }
  }
}

std::pair<const std::uint8_t*, std::size_t> McapReader::Impl::chunk_records(
    const RecordView& record, std::vector<std::uint8_t>& buffer,
    mcap::ChunkDecompressor& decompressor) const {
  const mcap::ChunkView chunk = mcap::parse_chunk(record);
  const std::uint8_t* records = chunk.records;
  const auto size = static_cast<std::size_t>(chunk.uncompressed_size);
  if (chunk.compression.empty()) {
    if (chunk.uncompressed_size != chunk.records_size) {
      throw McapFormatError("the uncompressed chunk claims " +
                            std::to_string(chunk.uncompressed_size) + " bytes but holds " +
                            std::to_string(chunk.records_size));
    }
  } else {
    decompressor.decompress(chunk.compression, chunk.records,
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

RecordView McapReader::Impl::record_at(std::uint64_t offset, std::uint64_t end) const {
  if (offset >= end || end > file.size()) {
    throw McapFormatError("an index points to offset " + std::to_string(offset) +
                          ", outside the data section");
  }
  RecordWalker walker(file.data() + offset, end - offset, offset);
  RecordView record;
  walker.next(record);
  return record;
}

std::vector<std::uint64_t> McapReader::Impl::count_from_index() {
  std::vector<std::uint64_t> result(connections.size(), 0);
  if (statistics &&
      (!statistics->channel_message_counts.empty() || statistics->message_count == 0)) {
    for (const auto& [channel, count] : statistics->channel_message_counts) {
      result[static_cast<std::size_t>(connection_of[channel])] = count;
    }
    return result;
  }
  for (const mcap::ChunkIndex& index : chunk_indexes) {
    if (!index.message_index_offsets.empty()) {
      for (const auto& [channel, offset] : index.message_index_offsets) {
        const RecordView record = record_at(offset, data_end);
        if (!is(record, Opcode::kMessageIndex)) {
          throw McapFormatError("no Message Index record at offset " + std::to_string(offset));
        }
        const mcap::MessageIndex message_index = mcap::parse_message_index(record);
        if (message_index.channel_id != channel) {
          throw McapFormatError("the Message Index record at offset " + std::to_string(offset) +
                                " is for another channel");
        }
        result[static_cast<std::size_t>(connection_of[channel])] += message_index.entries.size();
      }
      continue;
    }
    // A chunk without message indexes has to be read to count its messages.
    const RecordView record = record_at(index.chunk_start_offset, data_end);
    try {
      const auto [records, size] = chunk_records(record, scratch, decompressor);
      RecordWalker walker(records, size);
      RecordView inner;
      while (walker.next(inner)) {
        if (!is(inner, Opcode::kMessage)) continue;
        const int connection = connection_of[mcap::parse_message(inner).channel_id];
        if (connection != kNoConnection) ++result[static_cast<std::size_t>(connection)];
      }
    } catch (const McapFormatError& error) {
      throw McapFormatError("chunk at offset " + std::to_string(record.offset) + ": " +
                            error.what());
    }
  }
  return result;
}

std::optional<std::string> McapReader::Impl::find_metadata() {
  std::optional<std::string> found;
  if (has_metadata_index) {
    std::sort(metadata_indexes.begin(), metadata_indexes.end(),
              [](const mcap::MetadataIndex& a, const mcap::MetadataIndex& b) {
                return a.offset < b.offset;
              });
    for (const mcap::MetadataIndex& index : metadata_indexes) {
      if (index.name != "rosbag2") continue;
      const RecordView record = record_at(index.offset, data_end);
      if (!is(record, Opcode::kMetadata)) {
        throw McapFormatError("no Metadata record at offset " + std::to_string(index.offset));
      }
      const mcap::Metadata metadata = mcap::parse_metadata(record);
      if (metadata.name != "rosbag2") continue;
      if (auto text = rosbag2_metadata_text(metadata)) found = std::move(text);
    }
    return found;
  }
  // Metadata records lie between the chunks; walking the records skips chunk contents.
  RecordWalker walker(file.data() + data_start, data_end - data_start, data_start);
  RecordView record;
  while (walker.next(record) && !is(record, Opcode::kDataEnd)) {
    if (!is(record, Opcode::kMetadata)) continue;
    const mcap::Metadata metadata = mcap::parse_metadata(record);
    if (metadata.name != "rosbag2") continue;
    if (auto text = rosbag2_metadata_text(metadata)) found = std::move(text);
  }
  return found;
}

McapReader::Impl::~Impl() {
  restart();
  if (worker.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
    }
    wake.notify_all();
    worker.join();
  }
}

void McapReader::Impl::restart() {
  if (job_started) {
    try {
      recycle(std::move(take_ahead()->buffer));
    } catch (const McapFormatError&) {
      // The block would have failed when reached; a new pass meets the error again.
    }
  }
  for (auto& block : heap) recycle(std::move(block->buffer));
  heap.clear();
  started = false;
}

bool McapReader::Impl::wants(const Block& block) const {
  if (!filtered || block.channels.empty()) return true;
  return std::any_of(block.channels.begin(), block.channels.end(), [&](std::uint16_t channel) {
    const int connection = connection_of[channel];
    return connection != kNoConnection && wanted[static_cast<std::size_t>(connection)];
  });
}

// Reads only what a pass leaves unchanged, so that the worker thread may run it.
std::unique_ptr<OpenBlock> McapReader::Impl::prepare_block(
    std::size_t index, std::vector<std::uint8_t> buffer,
    mcap::ChunkDecompressor& decompressor) const {
  const Block& block = blocks[index];
  auto open = std::make_unique<OpenBlock>();
  open->order = index;
  open->buffer = std::move(buffer);
  try {
    file.populate(block.offset, block.length);
    const std::uint8_t* records = file.data() + block.offset;
    std::size_t size = block.length;
    if (block.chunk) {
      const RecordView record = record_at(block.offset, data_end);
      if (!is(record, Opcode::kChunk) || mcap::kRecordPrefixSize + record.length != block.length) {
        throw McapFormatError("no Chunk record of the indexed length there");
      }
      std::tie(records, size) = chunk_records(record, open->buffer, decompressor);
    }
    RecordWalker walker(records, size);
    RecordView record;
    while (walker.next(record)) {
      if (!is(record, Opcode::kMessage)) continue;
      const mcap::MessageView message = mcap::parse_message(record);
      const int connection = connection_of[message.channel_id];
      if (connection == kNoConnection) {
        throw McapFormatError("a message is on channel " + std::to_string(message.channel_id) +
                              ", which the file does not define");
      }
      if (filtered && !wanted[static_cast<std::size_t>(connection)]) continue;
      open->entries.push_back({message.log_time, message.data, message.size, connection});
    }
  } catch (const McapFormatError& error) {
    throw McapFormatError(std::string(block.chunk ? "chunk" : "message run") + " at offset " +
                          std::to_string(block.offset) + ": " + error.what());
  }
  const auto by_time = [](const Entry& a, const Entry& b) { return a.log_time < b.log_time; };
  if (!std::is_sorted(open->entries.begin(), open->entries.end(), by_time)) {
    std::stable_sort(open->entries.begin(), open->entries.end(), by_time);
  }
  return open;
}

std::vector<std::uint8_t> McapReader::Impl::take_buffer() {
  if (free_buffers.empty()) return {};
  std::vector<std::uint8_t> buffer = std::move(free_buffers.back());
  free_buffers.pop_back();
  return buffer;
}

void McapReader::Impl::recycle(std::vector<std::uint8_t> buffer) {
  if (free_buffers.size() < kPooledBuffers) free_buffers.push_back(std::move(buffer));
}

// The first position from `position` on whose block the filter wants.
std::size_t McapReader::Impl::next_wanted(std::size_t position) const {
  while (position < by_start_time.size() && !wants(blocks[by_start_time[position]])) ++position;
  return position;
}

void McapReader::Impl::start_ahead(std::size_t index) {
  if (!worker.joinable()) worker = std::thread([this] { work_ahead(); });
  {
    std::lock_guard<std::mutex> lock(mutex);
    job_index = index;
    job_buffer = take_buffer();
    job_waiting = true;
    job_done = false;
  }
  job_started = true;
  wake.notify_all();
}

std::unique_ptr<OpenBlock> McapReader::Impl::take_ahead() {
  std::unique_lock<std::mutex> lock(mutex);
  wake.wait(lock, [&] { return job_done; });
  job_started = false;
  if (job_error) std::rethrow_exception(std::exchange(job_error, nullptr));
  return std::move(job_result);
}

void McapReader::Impl::work_ahead() {
  std::unique_lock<std::mutex> lock(mutex);
  while (true) {
    wake.wait(lock, [&] { return stopping || job_waiting; });
    if (stopping) return;
    job_waiting = false;
    const std::size_t index = job_index;
    std::vector<std::uint8_t> buffer = std::move(job_buffer);
    lock.unlock();
    std::unique_ptr<OpenBlock> result;
    std::exception_ptr error;
    try {
      result = prepare_block(index, std::move(buffer), worker_decompressor);
    } catch (...) {
      error = std::current_exception();
    }
    lock.lock();
    job_result = std::move(result);
    job_error = error;
    job_done = true;
    wake.notify_all();
  }
}

bool McapReader::Impl::next(StorageMessage& out) {
  if (!started) {
    by_start_time.resize(blocks.size());
    for (std::size_t i = 0; i < blocks.size(); ++i) by_start_time[i] = i;
    std::stable_sort(by_start_time.begin(), by_start_time.end(), [&](std::size_t a, std::size_t b) {
      return blocks[a].start_time < blocks[b].start_time;
    });
    pending = next_wanted(0);
    started = true;
  }
  // A block whose first message may come before the earliest open one must be open too.
  while (pending < by_start_time.size() &&
         (heap.empty() || blocks[by_start_time[pending]].start_time <=
                              heap.front()->entries[heap.front()->next].log_time)) {
    const std::size_t index = by_start_time[pending];
    std::unique_ptr<OpenBlock> open =
        job_started ? take_ahead() : prepare_block(index, take_buffer(), decompressor);
    pending = next_wanted(pending + 1);
    if (pending < by_start_time.size()) start_ahead(by_start_time[pending]);
    if (open->entries.empty()) {
      recycle(std::move(open->buffer));
      continue;
    }
    heap.push_back(std::move(open));
    std::push_heap(heap.begin(), heap.end(), later);
  }
  if (heap.empty()) return false;

  std::pop_heap(heap.begin(), heap.end(), later);
  OpenBlock& block = *heap.back();
  const Entry& entry = block.entries[block.next++];
  out.connection = entry.connection;
  out.timestamp = static_cast<std::int64_t>(entry.log_time);
  out.data.assign(entry.data, entry.data + entry.size);
  if (block.next < block.entries.size()) {
    std::push_heap(heap.begin(), heap.end(), later);
  } else {
    recycle(std::move(block.buffer));
    heap.pop_back();
  }
  return true;
}

namespace {

// Runs `action`, naming the file in any format error it raises.
template <typename Action>
auto naming_file(const std::filesystem::path& path, Action&& action) -> decltype(action()) {
  try {
    return action();
  } catch (const McapFormatError& error) {
    throw std::runtime_error(path.string() + ": " + error.what());
  }
}

}  // namespace

McapReader::McapReader(const std::filesystem::path& file) {
  impl_ = std::make_unique<Impl>(file);
  naming_file(file, [&] { impl_->open(); });
}

McapReader::~McapReader() = default;

const std::vector<Connection>& McapReader::connections() const { return impl_->connections; }

std::vector<std::uint64_t> McapReader::message_counts() {
  return naming_file(impl_->path, [&] {
    if (!impl_->counts) impl_->counts = impl_->count_from_index();
    return *impl_->counts;
  });
}

void McapReader::set_filter(const std::set<int>& connections) {
  impl_->restart();
  impl_->filtered = true;
  impl_->wanted.assign(impl_->connections.size(), 0);
  for (const int connection : connections) {
    if (connection < 0 || static_cast<std::size_t>(connection) >= impl_->connections.size()) {
      throw std::invalid_argument(impl_->path.string() + " has no connection " +
                                  std::to_string(connection));
    }
    impl_->wanted[static_cast<std::size_t>(connection)] = 1;
  }
}

bool McapReader::next(StorageMessage& out) {
  return naming_file(impl_->path, [&] { return impl_->next(out); });
}

std::optional<std::string> McapReader::embedded_metadata() {
  return naming_file(impl_->path, [&] {
    if (!impl_->metadata_known) {
      impl_->metadata = impl_->find_metadata();
      impl_->metadata_known = true;
    }
    return impl_->metadata;
  });
}

std::optional<TimeRange> McapReader::time_range() {
  const Impl& impl = *impl_;
  if (!impl.indexed) {
    if (impl.scanned_messages == 0) return std::nullopt;
    return TimeRange{static_cast<std::int64_t>(impl.first_time),
                     static_cast<std::int64_t>(impl.last_time)};
  }
  if (!impl.statistics || impl.statistics->message_count == 0) return std::nullopt;
  return TimeRange{static_cast<std::int64_t>(impl.statistics->message_start_time),
                   static_cast<std::int64_t>(impl.statistics->message_end_time)};
}

bool McapReader::used_summary() const { return impl_->indexed; }

std::unique_ptr<StorageReader> open_mcap_reader(const std::filesystem::path& file) {
  return std::make_unique<McapReader>(file);
}

}  // namespace orvalt::ros2
