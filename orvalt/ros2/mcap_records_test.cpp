#include "orvalt/ros2/mcap_records.hpp"

#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace orvalt::ros2::mcap {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Pair;
using Bytes = std::vector<std::uint8_t>;

RecordView only_record(const Bytes& bytes) {
  RecordWalker walker(bytes.data(), bytes.size());
  RecordView record;
  EXPECT_TRUE(walker.next(record));
  RecordView end;
  EXPECT_FALSE(walker.next(end));
  return record;
}

TEST(McapRecords, FieldsAreLittleEndianWithLengthPrefixes) {
  Bytes bytes;
  RecordWriter(bytes).header({"ros2", "lib"});
  EXPECT_EQ(bytes, (Bytes{0x01, 15,  0,   0,   0,   0, 0, 0, 0, 4,   0,   0,
                          0,    'r', 'o', 's', '2', 3, 0, 0, 0, 'l', 'i', 'b'}));
  const Header header = parse_header(only_record(bytes));
  EXPECT_EQ(header.profile, "ros2");
  EXPECT_EQ(header.library, "lib");
}

TEST(McapRecords, EveryRecordReadsBackAsWritten) {
  Bytes bytes;
  RecordWriter writer(bytes);
  writer.schema({7, "std_msgs/msg/String", "ros2msg", "string data\n"});
  writer.channel({3, 7, "/chatter", "cdr", {{"offered_qos_profiles", "- depth: 1"}, {"k", ""}}});
  const Bytes payload = {0, 1, 0, 0, 42};
  MessageView message;
  message.channel_id = 3;
  message.sequence = 9;
  message.log_time = 0x0102030405060708ull;
  message.publish_time = 5;
  message.data = payload.data();
  message.size = payload.size();
  writer.message(message);
  writer.message_index({3, {{10, 0}, {11, 40}}});
  writer.chunk_index({1, 2, 100, 200, {{3, 300}, {4, 310}}, 30, "zstd", 150, 170});
  writer.statistics({12, 1, 2, 0, 0, 1, 100, 200, {{3, 12}}});
  writer.summary_offset({0x08, 1000, 50});
  writer.data_end(0xDEADBEEF);
  writer.footer({1000, 2000, 77});

  RecordWalker walker(bytes.data(), bytes.size(), 8);
  RecordView record;
  ASSERT_TRUE(walker.next(record));
  EXPECT_EQ(record.offset, 8u);
  const Schema schema = parse_schema(record);
  EXPECT_EQ(schema.id, 7);
  EXPECT_EQ(schema.name, "std_msgs/msg/String");
  EXPECT_EQ(schema.data, "string data\n");
  ASSERT_TRUE(walker.next(record));
  const Channel channel = parse_channel(record);
  EXPECT_EQ(channel.schema_id, 7);
  EXPECT_EQ(channel.topic, "/chatter");
  EXPECT_THAT(channel.metadata,
              ElementsAre(Pair("offered_qos_profiles", "- depth: 1"), Pair("k", "")));
  ASSERT_TRUE(walker.next(record));
  const MessageView read = parse_message(record);
  EXPECT_EQ(read.log_time, 0x0102030405060708ull);
  EXPECT_EQ(read.sequence, 9u);
  EXPECT_EQ(Bytes(read.data, read.data + read.size), payload);
  ASSERT_TRUE(walker.next(record));
  const MessageIndex index = parse_message_index(record);
  ASSERT_EQ(index.entries.size(), 2u);
  EXPECT_EQ(index.entries[1].offset, 40u);
  ASSERT_TRUE(walker.next(record));
  const ChunkIndex chunk_index = parse_chunk_index(record);
  EXPECT_THAT(chunk_index.message_index_offsets, ElementsAre(Pair(3, 300), Pair(4, 310)));
  EXPECT_EQ(chunk_index.compression, "zstd");
  EXPECT_EQ(chunk_index.uncompressed_size, 170u);
  ASSERT_TRUE(walker.next(record));
  const Statistics statistics = parse_statistics(record);
  EXPECT_EQ(statistics.message_count, 12u);
  EXPECT_THAT(statistics.channel_message_counts, ElementsAre(Pair(3, 12)));
  ASSERT_TRUE(walker.next(record));
  EXPECT_EQ(parse_summary_offset(record).group_start, 1000u);
  ASSERT_TRUE(walker.next(record));
  EXPECT_EQ(parse_data_end(record), 0xDEADBEEFu);
  ASSERT_TRUE(walker.next(record));
  EXPECT_EQ(record.length, 20u);
  EXPECT_EQ(parse_footer(record).summary_crc, 77u);
  EXPECT_FALSE(walker.next(record));
}

// Fields that a later format version appends are skipped.
TEST(McapRecords, UnknownTrailingFieldsAreIgnored) {
  Bytes bytes;
  RecordWriter(bytes).header({"ros2", "lib"});
  bytes.insert(bytes.end(), {1, 2, 3});
  bytes[1] += 3;
  EXPECT_EQ(parse_header(only_record(bytes)).library, "lib");
}

TEST(McapRecords, EveryShorterContentFailsCleanly) {
  Bytes bytes;
  RecordWriter(bytes).chunk_index({1, 2, 100, 200, {{3, 300}}, 30, "lz4", 150, 170});
  const RecordView whole = only_record(bytes);
  for (std::uint64_t length = 0; length < whole.length; ++length) {
    RecordView cut = whole;
    cut.length = length;
    EXPECT_THROW(parse_chunk_index(cut), McapFormatError) << "length " << length;
  }
}

TEST(McapRecords, WalkerRejectsARecordLongerThanItsRange) {
  Bytes bytes;
  RecordWriter(bytes).data_end(0);
  bytes[1] = 200;
  RecordWalker walker(bytes.data(), bytes.size(), 100);
  RecordView record;
  try {
    walker.next(record);
    FAIL() << "no error";
  } catch (const McapFormatError& error) {
    EXPECT_THAT(error.what(), HasSubstr("offset 100"));
  }
  RecordWalker short_walker(bytes.data(), 5);
  EXPECT_THROW(short_walker.next(record), McapFormatError);
}

// A string length or a map length larger than its record is caught.
TEST(McapRecords, InnerLengthsCannotRunPastTheRecord) {
  Bytes bytes;
  RecordWriter(bytes).channel({1, 1, "/t", "cdr", {{"a", "b"}}});
  Bytes bad_map = bytes;
  bad_map[bad_map.size() - 14] = 0xFF;  // the map's byte length
  EXPECT_THROW(parse_channel(only_record(bad_map)), McapFormatError);
  Bytes bad_topic = bytes;
  bad_topic[13] = 0xFF;  // the topic's length
  EXPECT_THROW(parse_channel(only_record(bad_topic)), McapFormatError);
}

}  // namespace
}  // namespace orvalt::ros2::mcap
