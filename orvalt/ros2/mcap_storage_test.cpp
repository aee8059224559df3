#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvalt/common/file_not_found_error.hpp"
#include "orvalt/ros2/crc32.hpp"
#include "orvalt/ros2/mcap_reader.hpp"
#include "orvalt/ros2/mcap_records.hpp"
#include "orvalt/ros2/mcap_writer.hpp"
#include "orvalt/testing/file_contents.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::ros2 {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using Bytes = std::vector<std::uint8_t>;

struct Written {
  int connection;
  std::int64_t timestamp;
  Bytes data;
  bool operator==(const Written& other) const {
    return connection == other.connection && timestamp == other.timestamp && data == other.data;
  }
};

std::ostream& operator<<(std::ostream& out, const Written& message) {
  return out << "{connection " << message.connection << ", t " << message.timestamp << ", "
             << message.data.size() << " bytes}";
}

using orvalt::testing::read_bytes;

void write_file(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::uint64_t u64_at(const Bytes& bytes, std::size_t offset) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[offset + static_cast<std::size_t>(i)];
  return value;
}

// Connections of three types over twelve topics, so that schemas are shared.
std::vector<Connection> many_connections() {
  std::vector<Connection> connections;
  const char* types[] = {"sensor_msgs/msg/Image", "tf2_msgs/msg/TFMessage", "std_msgs/msg/String"};
  for (int i = 0; i < 12; ++i) {
    Connection connection;
    connection.id = i;
    connection.topic = "/topic_" + std::to_string(i);
    connection.msgtype = types[i % 3];
    connection.offered_qos_profiles = "- history: 3\n  depth: " + std::to_string(i);
    connection.message_definition = std::string("# definition of ") + types[i % 3] + "\n";
    connections.push_back(connection);
  }
  return connections;
}

// Payloads of every size class: empty, small, and larger than a chunk.
std::vector<Written> many_messages(int connections, int count) {
  std::mt19937 random(11);
  std::vector<Written> messages;
  for (int i = 0; i < count; ++i) {
    const std::size_t size = i % 17 == 0 ? 0 : (i % 50 == 1 ? 300000 : random() % 700);
    Bytes data(size);
    for (auto& byte : data) byte = static_cast<std::uint8_t>(random() % 7);
    messages.push_back({i % connections, 1000 + i * 10, std::move(data)});
  }
  return messages;
}

void write_mcap(const fs::path& path, const std::vector<Connection>& connections,
                const std::vector<Written>& messages, McapWriterOptions options = {}) {
  auto writer = create_mcap_writer(path, options);
  for (const Connection& connection : connections) writer->add_connection(connection);
  for (const Written& message : messages) {
    writer->write(message.connection, message.timestamp, message.data);
  }
  writer->close();
}

std::vector<Written> read_all(StorageReader& reader) {
  std::vector<Written> messages;
  StorageMessage message;
  while (reader.next(message)) {
    messages.push_back({message.connection, message.timestamp, message.data});
  }
  return messages;
}

// What a reader must yield: stable by timestamp.
std::vector<Written> in_time_order(std::vector<Written> messages) {
  std::stable_sort(messages.begin(), messages.end(),
                   [](const Written& a, const Written& b) { return a.timestamp < b.timestamp; });
  return messages;
}

// The file up to its summary, closed with a footer that announces none.
Bytes without_summary(const Bytes& file) {
  const std::size_t footer = file.size() - 8 - mcap::kFooterRecordSize;
  const std::uint64_t summary_start = u64_at(file, footer + mcap::kRecordPrefixSize);
  Bytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(summary_start));
  mcap::RecordWriter(cut).footer({});
  cut.insert(cut.end(), std::begin(mcap::kMagic), std::end(mcap::kMagic));
  return cut;
}

// The summary records of a file, to be edited and written back by with_summary().
struct Summary {
  std::vector<mcap::Schema> schemas;
  std::vector<mcap::Channel> channels;
  std::optional<mcap::Statistics> statistics;
  std::vector<mcap::ChunkIndex> chunk_indexes;
};

Summary summary_of(const Bytes& file, std::uint64_t& summary_start) {
  const std::size_t footer_offset = file.size() - 8 - mcap::kFooterRecordSize;
  summary_start = u64_at(file, footer_offset + mcap::kRecordPrefixSize);
  const std::uint64_t offsets_start = u64_at(file, footer_offset + mcap::kRecordPrefixSize + 8);
  Summary summary;
  mcap::RecordWalker walker(file.data() + summary_start, offsets_start - summary_start);
  mcap::RecordView record;
  while (walker.next(record)) {
    switch (static_cast<mcap::Opcode>(record.opcode)) {
      case mcap::Opcode::kSchema:
        summary.schemas.push_back(mcap::parse_schema(record));
        break;
      case mcap::Opcode::kChannel:
        summary.channels.push_back(mcap::parse_channel(record));
        break;
      case mcap::Opcode::kStatistics:
        summary.statistics = mcap::parse_statistics(record);
        break;
      case mcap::Opcode::kChunkIndex:
        summary.chunk_indexes.push_back(mcap::parse_chunk_index(record));
        break;
      default:
        break;
    }
  }
  return summary;
}

// The file with its summary replaced by `summary` (no summary offsets, no CRC).
Bytes with_summary(const Bytes& file, const Summary& summary) {
  std::uint64_t summary_start = 0;
  summary_of(file, summary_start);
  Bytes edited(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(summary_start));
  mcap::RecordWriter writer(edited);
  for (const auto& schema : summary.schemas) writer.schema(schema);
  for (const auto& channel : summary.channels) writer.channel(channel);
  if (summary.statistics) writer.statistics(*summary.statistics);
  for (const auto& index : summary.chunk_indexes) writer.chunk_index(index);
  writer.footer({summary_start, 0, 0});
  edited.insert(edited.end(), std::begin(mcap::kMagic), std::end(mcap::kMagic));
  return edited;
}

class McapRoundTrip : public ::testing::TestWithParam<mcap::Compression> {};

TEST_P(McapRoundTrip, ReadsBackConnectionsCountsAndMessages) {
  testing::TempDir dir;
  const auto connections = many_connections();
  const auto messages = many_messages(static_cast<int>(connections.size()), 400);
  write_mcap(dir / "bag.mcap", connections, messages, {GetParam(), 16 * 1024});

  McapReader reader(dir / "bag.mcap");
  EXPECT_TRUE(reader.used_summary());
  ASSERT_EQ(reader.connections().size(), connections.size());
  for (std::size_t i = 0; i < connections.size(); ++i) {
    const Connection& read = reader.connections()[i];
    EXPECT_EQ(read.id, static_cast<int>(i));
    EXPECT_EQ(read.topic, connections[i].topic);
    EXPECT_EQ(read.msgtype, connections[i].msgtype);
    EXPECT_EQ(read.serialization_format, "cdr");
    EXPECT_EQ(read.offered_qos_profiles, connections[i].offered_qos_profiles);
    EXPECT_EQ(read.message_definition, connections[i].message_definition);
    EXPECT_EQ(read.message_definition_encoding, "ros2msg");
    EXPECT_EQ(read.type_description_hash, "");
  }
  std::vector<std::uint64_t> counts(connections.size(), 0);
  for (const Written& message : messages) ++counts[static_cast<std::size_t>(message.connection)];
  EXPECT_EQ(reader.message_counts(), counts);
  const auto range = reader.time_range();
  ASSERT_TRUE(range.has_value());
  EXPECT_EQ(range->first, 1000);
  EXPECT_EQ(range->last, 1000 + 399 * 10);
  EXPECT_EQ(reader.embedded_metadata(), std::nullopt);
  EXPECT_EQ(read_all(reader), messages);
}

// Timestamps that jump back make chunks overlap in time; equal ones keep the written order.
TEST_P(McapRoundTrip, MergesOverlappingChunksInTimeOrder) {
  testing::TempDir dir;
  const auto connections = many_connections();
  std::vector<Written> messages;
  for (int i = 0; i < 600; ++i) {
    const std::int64_t timestamp = (i % 200) * 3 + (i / 200);  // three interleaved passes
    messages.push_back({i % 5, timestamp % 7 == 0 ? 42 : timestamp, Bytes(50 + i % 9, 1)});
  }
  write_mcap(dir / "bag.mcap", connections, messages, {GetParam(), 2000});
  McapReader reader(dir / "bag.mcap");
  EXPECT_EQ(read_all(reader), in_time_order(messages));
}

TEST_P(McapRoundTrip, ReadsTheSameWithoutTheSummary) {
  testing::TempDir dir;
  const auto connections = many_connections();
  const auto messages = many_messages(static_cast<int>(connections.size()), 150);
  write_mcap(dir / "bag.mcap", connections, messages, {GetParam(), 8 * 1024});
  write_file(dir / "bare.mcap", without_summary(read_bytes(dir / "bag.mcap")));

  McapReader indexed(dir / "bag.mcap");
  McapReader scanned(dir / "bare.mcap");
  EXPECT_FALSE(scanned.used_summary());
  EXPECT_EQ(scanned.message_counts(), indexed.message_counts());
  EXPECT_EQ(scanned.time_range()->first, indexed.time_range()->first);
  EXPECT_EQ(scanned.time_range()->last, indexed.time_range()->last);
  ASSERT_EQ(scanned.connections().size(), connections.size());
  EXPECT_EQ(scanned.connections()[5].message_definition, connections[5].message_definition);
  EXPECT_EQ(read_all(scanned), messages);
}

INSTANTIATE_TEST_SUITE_P(Compressions, McapRoundTrip,
                         ::testing::Values(mcap::Compression::kZstd, mcap::Compression::kLz4,
                                           mcap::Compression::kNone),
                         [](const auto& info) {
                           const auto name = mcap::compression_name(info.param);
                           return name.empty() ? std::string("none") : std::string(name);
                         });

TEST(McapStorage, FilterSkipsOtherConnectionsAndStartsOver) {
  testing::TempDir dir;
  const auto connections = many_connections();
  const auto messages = many_messages(static_cast<int>(connections.size()), 200);
  write_mcap(dir / "bag.mcap", connections, messages, {mcap::Compression::kZstd, 4096});
  McapReader reader(dir / "bag.mcap");
  StorageMessage first;
  ASSERT_TRUE(reader.next(first));

  reader.set_filter({2, 7});
  std::vector<Written> expected;
  for (const Written& message : messages) {
    if (message.connection == 2 || message.connection == 7) expected.push_back(message);
  }
  EXPECT_EQ(read_all(reader), expected);
  reader.set_filter({});
  EXPECT_TRUE(read_all(reader).empty());
  EXPECT_THROW(reader.set_filter({12}), std::invalid_argument);
}

TEST(McapStorage, AnEmptyFileIsValid) {
  testing::TempDir dir;
  write_mcap(dir / "empty.mcap", {}, {});
  McapReader reader(dir / "empty.mcap");
  EXPECT_TRUE(reader.used_summary());
  EXPECT_TRUE(reader.connections().empty());
  EXPECT_EQ(reader.time_range(), std::nullopt);
  EXPECT_TRUE(read_all(reader).empty());
}

// The writer's layout, checked field by field where other MCAP readers depend on it.
TEST(McapStorage, WriterLayoutFollowsTheFormat) {
  testing::TempDir dir;
  write_mcap(dir / "bag.mcap", many_connections(), many_messages(12, 30));
  const Bytes file = read_bytes(dir / "bag.mcap");
  ASSERT_TRUE(std::equal(std::begin(mcap::kMagic), std::end(mcap::kMagic), file.begin()));
  ASSERT_TRUE(std::equal(std::begin(mcap::kMagic), std::end(mcap::kMagic), file.end() - 8));
  mcap::RecordWalker walker(file.data() + 8, file.size() - 16, 8);
  mcap::RecordView record;
  ASSERT_TRUE(walker.next(record));
  EXPECT_EQ(mcap::parse_header(record).profile, "ros2");
  std::vector<std::uint8_t> opcodes;
  std::uint32_t data_crc = 0;
  std::uint64_t summary_start = 0;
  mcap::Footer footer;
  while (walker.next(record)) {
    opcodes.push_back(record.opcode);
    if (record.opcode == static_cast<std::uint8_t>(mcap::Opcode::kDataEnd)) {
      data_crc = mcap::parse_data_end(record);
      EXPECT_EQ(data_crc, crc32(file.data(), record.offset));
      summary_start = walker.offset();
    }
    if (record.opcode == static_cast<std::uint8_t>(mcap::Opcode::kFooter)) {
      footer = mcap::parse_footer(record);
      EXPECT_EQ(footer.summary_crc,
                crc32(file.data() + summary_start, record.offset + 9 + 16 - summary_start));
    }
  }
  EXPECT_EQ(footer.summary_start, summary_start);
  // Chunks each followed by their message indexes, Data End, then the summary grouped by
  // opcode: 3 schemas, 12 channels, statistics, chunk indexes, and an offset per group.
  EXPECT_EQ(opcodes[0], 0x06);
  EXPECT_EQ(opcodes[1], 0x07);
  const auto data_end = std::find(opcodes.begin(), opcodes.end(), 0x0F);
  ASSERT_NE(data_end, opcodes.end());
  const auto chunks = std::count(opcodes.begin(), data_end, 0x06);
  std::vector<std::uint8_t> expected(3, 0x03);
  expected.insert(expected.end(), 12, 0x04);
  expected.push_back(0x0B);
  expected.insert(expected.end(), static_cast<std::size_t>(chunks), 0x08);
  expected.insert(expected.end(), 4, 0x0E);
  expected.push_back(0x02);
  EXPECT_EQ(std::vector<std::uint8_t>(data_end + 1, opcodes.end()), expected);
}

// Noise does not compress: such chunks are stored as they are and still read back.
TEST(McapStorage, ChunksThatDoNotShrinkAreStoredUncompressed) {
  testing::TempDir dir;
  std::mt19937 random(3);
  std::vector<Written> messages;
  for (int i = 0; i < 4; ++i) {
    Bytes noise(100000);
    for (auto& byte : noise) byte = static_cast<std::uint8_t>(random());
    messages.push_back({0, i, noise});
  }
  messages.push_back({0, 9, Bytes(100000, 7)});
  write_mcap(dir / "bag.mcap", many_connections(), messages, {mcap::Compression::kZstd, 50000});
  const Bytes file = read_bytes(dir / "bag.mcap");
  std::vector<std::string> compressions;
  mcap::RecordWalker walker(file.data() + 8, file.size() - 16, 8);
  mcap::RecordView record;
  while (walker.next(record)) {
    if (record.opcode == static_cast<std::uint8_t>(mcap::Opcode::kChunk)) {
      compressions.emplace_back(mcap::parse_chunk(record).compression);
    }
  }
  EXPECT_EQ(compressions, (std::vector<std::string>{"", "", "", "", "zstd"}));
  McapReader reader(dir / "bag.mcap");
  EXPECT_EQ(read_all(reader), messages);
}

// Other writers leave parts of the summary out; counts then come from the indexes or the data.
TEST(McapStorage, CountsWithoutStatisticsOrMessageIndexes) {
  testing::TempDir dir;
  const auto connections = many_connections();
  const auto messages = many_messages(12, 120);
  write_mcap(dir / "bag.mcap", connections, messages, {mcap::Compression::kLz4, 4096});
  const Bytes file = read_bytes(dir / "bag.mcap");
  std::uint64_t summary_start = 0;
  const Summary original = summary_of(file, summary_start);
  const auto truth = McapReader(dir / "bag.mcap").message_counts();

  Summary no_channel_counts = original;
  no_channel_counts.statistics->channel_message_counts.clear();
  write_file(dir / "a.mcap", with_summary(file, no_channel_counts));
  McapReader from_message_indexes(dir / "a.mcap");
  EXPECT_TRUE(from_message_indexes.used_summary());
  EXPECT_EQ(from_message_indexes.message_counts(), truth);

  Summary no_indexes = no_channel_counts;
  for (auto& index : no_indexes.chunk_indexes) index.message_index_offsets.clear();
  no_indexes.statistics.reset();
  write_file(dir / "b.mcap", with_summary(file, no_indexes));
  McapReader from_chunks(dir / "b.mcap");
  EXPECT_TRUE(from_chunks.used_summary());
  EXPECT_EQ(from_chunks.message_counts(), truth);
  EXPECT_EQ(from_chunks.time_range(), std::nullopt);  // left to a pass over the data
  from_chunks.set_filter({3});
  EXPECT_EQ(read_all(from_chunks).size(), truth[3]);
}

TEST(McapStorage, ASummaryThatCannotStandInForTheDataIsNotUsed) {
  testing::TempDir dir;
  const auto messages = many_messages(12, 60);
  write_mcap(dir / "bag.mcap", many_connections(), messages, {mcap::Compression::kZstd, 4096});
  const Bytes file = read_bytes(dir / "bag.mcap");
  std::uint64_t summary_start = 0;
  const Summary original = summary_of(file, summary_start);

  Summary no_chunk_indexes = original;
  no_chunk_indexes.chunk_indexes.clear();
  Summary missing_channel = original;
  missing_channel.channels.pop_back();
  Summary chunk_outside = original;
  chunk_outside.chunk_indexes[1].chunk_start_offset = summary_start + 10;
  for (const Summary* summary : {&no_chunk_indexes, &missing_channel, &chunk_outside}) {
    write_file(dir / "edited.mcap", with_summary(file, *summary));
    McapReader reader(dir / "edited.mcap");
    EXPECT_FALSE(reader.used_summary());
    EXPECT_EQ(reader.connections().size(), 12u);
    EXPECT_EQ(read_all(reader), messages);
  }
}

TEST(McapStorage, ACorruptChunkIsACrcErrorNamingTheFile) {
  testing::TempDir dir;
  write_mcap(dir / "bag.mcap", many_connections(), many_messages(12, 50),
             {mcap::Compression::kNone, 1 << 20});
  Bytes file = read_bytes(dir / "bag.mcap");
  file[400] ^= 0x01;  // inside the first chunk's records
  write_file(dir / "bad.mcap", file);
  McapReader reader(dir / "bad.mcap");
  try {
    read_all(reader);
    FAIL() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_THAT(error.what(), HasSubstr((dir / "bad.mcap").string()));
    EXPECT_THAT(error.what(), HasSubstr("CRC"));
  }
}

TEST(McapStorage, ADamagedSummaryFallsBackToTheData) {
  testing::TempDir dir;
  const auto messages = many_messages(12, 80);
  write_mcap(dir / "bag.mcap", many_connections(), messages);
  Bytes file = read_bytes(dir / "bag.mcap");
  file[file.size() - 60] ^= 0x10;  // inside the summary offsets, covered by the summary CRC
  write_file(dir / "bad.mcap", file);
  McapReader reader(dir / "bad.mcap");
  EXPECT_FALSE(reader.used_summary());
  EXPECT_EQ(read_all(reader), messages);
}

// Every cut gives either an error naming the file, or the messages before the cut.
TEST(McapStorage, TruncatedFilesFailCleanlyOrYieldWhatTheyHold) {
  testing::TempDir dir;
  const auto messages = many_messages(12, 120);
  for (const auto compression : {mcap::Compression::kZstd, mcap::Compression::kNone}) {
    write_mcap(dir / "bag.mcap", many_connections(), messages, {compression, 4096});
    const Bytes file = read_bytes(dir / "bag.mcap");
    for (std::size_t size = 0; size < file.size(); size += 1 + size / 9) {
      write_file(dir / "cut.mcap", Bytes(file.begin(), file.begin() + static_cast<long>(size)));
      try {
        McapReader reader(dir / "cut.mcap");
        const auto read = read_all(reader);
        ASSERT_LE(read.size(), messages.size());
        EXPECT_TRUE(std::equal(read.begin(), read.end(), messages.begin())) << "cut at " << size;
        reader.message_counts();
      } catch (const std::runtime_error& error) {
        EXPECT_THAT(error.what(), HasSubstr("cut.mcap")) << "cut at " << size;
      }
    }
  }
}

TEST(McapStorage, BadFilesAreErrorsNamingThem) {
  testing::TempDir dir;
  EXPECT_THROW(McapReader(dir / "missing.mcap"), common::FileNotFoundError);
  write_file(dir / "text.mcap", Bytes{'h', 'e', 'l', 'l', 'o'});
  try {
    McapReader reader(dir / "text.mcap");
    FAIL() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_THAT(error.what(), HasSubstr("text.mcap"));
    EXPECT_THAT(error.what(), HasSubstr("not an MCAP file"));
  }
}

// Files other writers make: messages outside chunks, Metadata records, odd chunks.
class HandBuiltMcap {
 public:
  HandBuiltMcap() {
    bytes_.assign(std::begin(mcap::kMagic), std::end(mcap::kMagic));
    writer().header({"ros2", "test"});
  }
  mcap::RecordWriter writer() { return mcap::RecordWriter(bytes_); }
  void metadata(const std::string& name,
                const std::vector<std::pair<std::string, std::string>>& values) {
    Bytes content;
    mcap::RecordWriter fields(content);
    fields.string(name);
    fields.string_map(values);
    writer().u8(static_cast<std::uint8_t>(mcap::Opcode::kMetadata));
    writer().u64(content.size());
    bytes_.insert(bytes_.end(), content.begin(), content.end());
  }
  void message(std::uint16_t channel, std::uint64_t time, const Bytes& data) {
    mcap::MessageView view;
    view.channel_id = channel;
    view.log_time = view.publish_time = time;
    view.data = data.data();
    view.size = data.size();
    writer().message(view);
  }
  Bytes finish(bool with_crc) {
    writer().data_end(with_crc ? crc32(bytes_.data(), bytes_.size()) : 0);
    writer().footer({});
    bytes_.insert(bytes_.end(), std::begin(mcap::kMagic), std::end(mcap::kMagic));
    return bytes_;
  }
  Bytes& bytes() { return bytes_; }

 private:
  Bytes bytes_;
};

TEST(McapStorage, ReadsMessagesOutsideChunksAndTheLastRosbag2Metadata) {
  testing::TempDir dir;
  HandBuiltMcap file;
  file.writer().schema({1, "std_msgs/msg/String", "ros2msg", "string data"});
  file.writer().channel({9, 1, "/b", "cdr", {{"offered_qos_profiles", ""}}});
  file.writer().channel({4, 1, "/a", "cdr", {}});
  file.metadata("rosbag2", {{"serialized_metadata", "version: 8\n"}});
  file.message(9, 30, {1});
  file.message(4, 10, {2});
  file.message(9, 10, {3});
  file.metadata("other", {{"serialized_metadata", "no"}});
  file.metadata("rosbag2", {{"serialized_metadata", "version: 9\n"}});
  write_file(dir / "loose.mcap", file.finish(true));

  McapReader reader(dir / "loose.mcap");
  ASSERT_EQ(reader.connections().size(), 2u);
  EXPECT_EQ(reader.connections()[0].topic, "/a");  // channel 4 before channel 9
  EXPECT_EQ(reader.connections()[1].msgtype, "std_msgs/msg/String");
  EXPECT_EQ(reader.message_counts(), (std::vector<std::uint64_t>{1, 2}));
  EXPECT_EQ(reader.embedded_metadata(), "version: 9\n");
  EXPECT_EQ(read_all(reader), (std::vector<Written>{{0, 10, {2}}, {1, 10, {3}}, {1, 30, {1}}}));
}

TEST(McapStorage, HumbleMetadataNamesTheDistribution) {
  testing::TempDir dir;
  HandBuiltMcap file;
  file.metadata("rosbag2", {{"ROS_DISTRO", "humble"}});
  write_file(dir / "humble.mcap", file.finish(false));
  EXPECT_EQ(McapReader(dir / "humble.mcap").embedded_metadata(), "ros_distro: humble\n");
}

TEST(McapStorage, ADataSectionCrcMismatchIsAnError) {
  testing::TempDir dir;
  HandBuiltMcap file;
  file.writer().channel({1, 0, "/a", "cdr", {}});
  file.message(1, 5, {1, 2, 3});
  Bytes bytes = file.finish(true);
  // The message's last byte, before Data End (13 bytes), the footer and the magic.
  bytes[bytes.size() - 8 - mcap::kFooterRecordSize - 13 - 1] ^= 0xFF;
  write_file(dir / "bad.mcap", bytes);
  try {
    McapReader reader(dir / "bad.mcap");
    FAIL() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_THAT(error.what(), HasSubstr("data section CRC"));
  }
}

TEST(McapStorage, AMessageOnAnUndefinedChannelIsAnError) {
  testing::TempDir dir;
  HandBuiltMcap file;
  file.message(3, 5, {1});
  write_file(dir / "bad.mcap", file.finish(false));
  EXPECT_THROW(McapReader(dir / "bad.mcap"), std::runtime_error);
}

TEST(McapStorage, AHugeClaimedChunkSizeIsRejected) {
  testing::TempDir dir;
  HandBuiltMcap file;
  Bytes records;
  mcap::RecordWriter(records).channel({1, 0, "/a", "cdr", {}});
  mcap::ChunkCompressor compressor(mcap::Compression::kZstd);
  Bytes packed;
  packed.resize(compressor.compress(records.data(), records.size(), packed));
  mcap::ChunkView chunk;
  chunk.uncompressed_size = std::uint64_t{1} << 40;
  chunk.compression = "zstd";
  chunk.records = packed.data();
  chunk.records_size = packed.size();
  file.writer().chunk_prefix(chunk);
  file.bytes().insert(file.bytes().end(), packed.begin(), packed.end());
  write_file(dir / "huge.mcap", file.finish(false));
  try {
    McapReader reader(dir / "huge.mcap");
    FAIL() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_THAT(error.what(), HasSubstr("1099511627776"));
  }
}

}  // namespace
}  // namespace orvalt::ros2
