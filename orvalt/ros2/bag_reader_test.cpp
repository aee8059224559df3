#include "orvalt/ros2/bag_reader.hpp"

#include <zstd.h>

#include <cstdlib>
#include <fstream>
#include <random>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvalt/common/file_not_found_error.hpp"
#include "orvalt/ros2/bag_writer.hpp"
#include "orvalt/ros2/metadata.hpp"
#include "orvalt/ros2/storage.hpp"
#include "orvalt/testing/file_contents.hpp"
#include "orvalt/testing/log_capture.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::ros2 {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using Bytes = std::vector<std::uint8_t>;

struct Record {
  std::string topic;
  std::int64_t timestamp;
  Bytes data;
  bool operator==(const Record& other) const {
    return topic == other.topic && timestamp == other.timestamp && data == other.data;
  }
};

std::ostream& operator<<(std::ostream& out, const Record& record) {
  return out << record.topic << "@" << record.timestamp << "[" << record.data.size() << "]";
}

std::vector<Record> read_all(const BagReader& reader,
                             const std::vector<const Connection*>& only = {}) {
  std::vector<Record> records;
  auto stream = reader.messages(only);
  while (auto message = stream.next()) {
    records.push_back({message->connection->topic, message->timestamp, message->data});
  }
  return records;
}

Bytes payload(std::uint8_t seed, std::size_t size) {
  Bytes data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(seed + i * 31);
  if (size >= 4) data[0] = 0, data[1] = 1, data[2] = 0, data[3] = 0;
  return data;
}

// The order a bag must yield: by timestamp; equal timestamps keep the order given (file, then
// storage order).
std::vector<Record> in_bag_order(std::vector<Record> records) {
  std::stable_sort(records.begin(), records.end(),
                   [](const Record& a, const Record& b) { return a.timestamp < b.timestamp; });
  return records;
}

// One storage file written by hand, with its topics registered in the order given, so that
// split files get different topic ids for the same topic.
void write_storage_file(const fs::path& file, const std::vector<std::string>& topics,
                        const std::vector<Record>& records,
                        Bytes (*transform)(const Bytes&) = nullptr) {
  auto writer = create_sqlite3_writer(file);
  for (const std::string& topic : topics) {
    Connection connection;
    connection.topic = topic;
    connection.msgtype = "std_msgs/msg/String";
    writer->add_connection(connection);
  }
  for (const Record& record : records) {
    const auto index = std::find(topics.begin(), topics.end(), record.topic) - topics.begin();
    writer->write(static_cast<int>(index), record.timestamp,
                  transform ? transform(record.data) : record.data);
  }
  writer->close();
}

void write_metadata_listing(const fs::path& dir, const std::vector<std::string>& files,
                            const std::string& mode = "", int version = 5) {
  BagMetadata metadata;
  metadata.storage_identifier = "sqlite3";
  metadata.relative_file_paths = files;
  metadata.compression_format = mode.empty() ? "" : "zstd";
  metadata.compression_mode = mode;
  std::string text = emit_metadata(metadata);
  const std::string five = "version: 5";
  text.replace(text.find(five), five.size(), "version: " + std::to_string(version));
  std::ofstream(dir / "metadata.yaml") << text;
}

Bytes zstd_frame(const Bytes& data) {
  Bytes frame(ZSTD_compressBound(data.size()));
  frame.resize(ZSTD_compress(frame.data(), frame.size(), data.data(), data.size(), 3));
  return frame;
}

using orvalt::testing::read_bytes;

void write_file(const fs::path& file, const Bytes& bytes) {
  std::ofstream(file, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// As Humble's compressor does: a stream in small pieces, no content size in the frame header.
Bytes zstd_streamed(const Bytes& data) {
  ZSTD_CCtx* context = ZSTD_createCCtx();
  Bytes out;
  Bytes buffer(ZSTD_CStreamOutSize());
  for (std::size_t offset = 0; offset <= data.size(); offset += 1000) {
    const bool last = offset + 1000 >= data.size();
    ZSTD_inBuffer input{data.data() + offset, std::min<std::size_t>(1000, data.size() - offset), 0};
    std::size_t remaining = 0;
    do {
      ZSTD_outBuffer output{buffer.data(), buffer.size(), 0};
      remaining =
          ZSTD_compressStream2(context, &output, &input, last ? ZSTD_e_end : ZSTD_e_continue);
      out.insert(out.end(), buffer.begin(), buffer.begin() + output.pos);
    } while (last ? remaining != 0 : input.pos < input.size);
    if (last) break;
  }
  ZSTD_freeCCtx(context);
  return out;
}

// Three files with overlapping times, equal timestamps inside and across files, and topic ids
// that differ per file.
struct SplitBag {
  std::vector<std::vector<std::string>> topics = {{"/a", "/b"}, {"/b", "/c", "/a"}, {"/a"}};
  std::vector<std::vector<Record>> files = {
      {{"/a", 10, payload(1, 9)},
       {"/b", 20, payload(2, 9)},
       {"/a", 20, payload(3, 9)},
       {"/b", 35, payload(4, 9)}},
      {{"/c", 20, payload(5, 9)},
       {"/a", 30, payload(6, 9)},
       {"/b", 30, payload(7, 9)},
       {"/a", 50, payload(8, 9)}},
      {{"/a", 5, payload(9, 9)}, {"/a", 30, payload(10, 9)}, {"/a", 60, payload(11, 9)}}};

  std::vector<Record> expected() const {
    std::vector<Record> all;
    for (const auto& file : files) all.insert(all.end(), file.begin(), file.end());
    return in_bag_order(all);
  }
  std::vector<std::string> write(const fs::path& dir, const std::vector<std::string>& names,
                                 Bytes (*transform)(const Bytes&) = nullptr) const {
    for (std::size_t i = 0; i < files.size(); ++i) {
      write_storage_file(dir / names[i], topics[i], files[i], transform);
    }
    return names;
  }
};

class BagRoundTrip : public ::testing::TestWithParam<std::string> {};

TEST_P(BagRoundTrip, ManyTopicsLargeAndEmptyMessagesReadBackIdentically) {
  testing::TempDir dir;
  std::mt19937 random(11);
  std::vector<Record> written;
  {
    BagWriter writer(dir / "bag", GetParam());
    std::vector<const Connection*> connections;
    for (int i = 0; i < 25; ++i) {
      connections.push_back(&writer.add_connection(
          "/topic_" + std::to_string(i), "std_msgs/msg/String", "- history: " + std::to_string(i)));
    }
    for (int i = 0; i < 600; ++i) {
      const Connection& connection = *connections[random() % connections.size()];
      std::size_t size = random() % 200 + 4;
      if (i == 17) size = 3 << 20;
      if (i % 50 == 0) size = 0;
      // Timestamps out of order and repeated: the bag's index must order them.
      Record record{connection.topic, static_cast<std::int64_t>(random() % 300), {}};
      record.data = payload(static_cast<std::uint8_t>(i), size);
      writer.write(connection, record.timestamp, record.data);
      written.push_back(std::move(record));
    }
  }
  const BagReader reader(dir / "bag");
  EXPECT_EQ(reader.info().storage_identifier, GetParam());
  EXPECT_TRUE(reader.info().has_metadata);
  EXPECT_EQ(reader.info().metadata_version, 5);
  EXPECT_EQ(reader.info().message_count, 600u);
  EXPECT_EQ(reader.connections().size(), 25u);
  EXPECT_EQ(reader.connections()[3].offered_qos_profiles, "- history: 3");
  const auto expected = in_bag_order(written);
  EXPECT_EQ(reader.info().starting_time, expected.front().timestamp);
  EXPECT_EQ(reader.info().duration, expected.back().timestamp - expected.front().timestamp);
  const auto records = read_all(reader);
  ASSERT_EQ(records.size(), expected.size());
  for (std::size_t i = 0; i < records.size(); ++i) ASSERT_EQ(records[i], expected[i]) << i;

  const BagMetadata metadata = read_metadata(dir / "bag" / "metadata.yaml");
  ASSERT_EQ(metadata.files.size(), 1u);
  EXPECT_EQ(metadata.files[0].path, "bag_0" + storage_file_extension(GetParam()));
  EXPECT_EQ(metadata.files[0].message_count, 600u);
  EXPECT_EQ(metadata.message_count, 600u);
  EXPECT_EQ(metadata.starting_time, reader.info().starting_time);
  std::uint64_t listed = 0;
  for (const auto& topic : metadata.topics_with_message_count) {
    EXPECT_EQ(topic.message_count, reader.info().message_counts[reader.connections()[listed].id]);
    ++listed;
  }
  EXPECT_EQ(listed, 25u);
}

TEST_P(BagRoundTrip, AnEmptyBagReadsAsEmpty) {
  testing::TempDir dir;
  {
    BagWriter writer(dir / "empty", GetParam());
    writer.add_connection("/unused", "std_msgs/msg/String");
  }
  const BagReader reader(dir / "empty");
  EXPECT_EQ(reader.info().message_count, 0u);
  EXPECT_EQ(reader.info().starting_time, 0);
  EXPECT_EQ(reader.connections().size(), 1u);
  EXPECT_TRUE(read_all(reader).empty());
}

INSTANTIATE_TEST_SUITE_P(Storages, BagRoundTrip, ::testing::Values("sqlite3", "mcap"));

TEST(SplitBag, MergesFilesInTimestampThenFileOrderAndUnifiesConnections) {
  testing::TempDir dir;
  const SplitBag bag;
  write_metadata_listing(dir.path(), bag.write(dir.path(), {"s_0.db3", "s_1.db3", "s_2.db3"}));
  const BagReader reader(dir.path());
  EXPECT_EQ(reader.info().files.size(), 3u);
  EXPECT_EQ(reader.topics(), (std::set<std::string>{"/a", "/b", "/c"}));
  ASSERT_EQ(reader.connections().size(), 3u);
  EXPECT_EQ(reader.info().message_counts[0], 7u);  // "/a", first seen in the first file
  EXPECT_EQ(reader.info().starting_time, 5);
  EXPECT_EQ(reader.info().duration, 55);
  EXPECT_THAT(read_all(reader), ElementsAreArray(bag.expected()));

  const Connection* b = &reader.connections()[1];
  ASSERT_EQ(b->topic, "/b");
  std::vector<Record> only_b;
  for (const Record& record : bag.expected()) {
    if (record.topic == "/b") only_b.push_back(record);
  }
  EXPECT_THAT(read_all(reader, {b}), ElementsAreArray(only_b));
  // A second pass yields the same again.
  EXPECT_THAT(read_all(reader), ElementsAreArray(bag.expected()));
  EXPECT_THAT(read_all(BagReader(dir / "metadata.yaml")), ElementsAreArray(bag.expected()));
}

TEST(SplitBag, WithoutMetadataFilesAreTakenInNaturalOrder) {
  testing::TempDir dir;
  SplitBag bag;
  // Lexical order would put "_10" and "_11" before "_9" and change equal-timestamp order.
  bag.write(dir.path(), {"cut_9.db3", "cut_10.db3", "cut_11.db3"});
  std::ofstream(dir / "cut_9.db3-shm") << "sidecar files are not storage files";
  const BagReader reader(dir.path());
  EXPECT_FALSE(reader.info().has_metadata);
  EXPECT_EQ(reader.info().storage_identifier, "sqlite3");
  ASSERT_EQ(reader.info().files.size(), 3u);
  EXPECT_EQ(reader.info().files[2].filename(), "cut_11.db3");
  EXPECT_THAT(read_all(reader), ElementsAreArray(bag.expected()));

  const BagReader single(dir / "cut_10.db3");
  EXPECT_THAT(read_all(single), ElementsAreArray(in_bag_order(bag.files[1])));
  EXPECT_EQ(single.info().path, fs::absolute(dir / "cut_10.db3"));
}

TEST(SplitBag, OldMetadataVersionsFindTheirFiles) {
  testing::TempDir dir;
  const SplitBag bag;
  const fs::path old_bag = dir / "old_bag";
  fs::create_directory(old_bag);
  bag.write(old_bag, {"old_bag_0.db3", "old_bag_1.db3", "old_bag_2.db3"});
  // Versions 1 to 3 name the files with the bag folder as prefix.
  for (const int version : {1, 2, 3, 4}) {
    write_metadata_listing(
        old_bag, {"old_bag/old_bag_0.db3", "old_bag/old_bag_1.db3", "old_bag/old_bag_2.db3"}, "",
        version);
    const BagReader reader(old_bag);
    EXPECT_EQ(reader.info().metadata_version, version);
    EXPECT_THAT(read_all(reader), ElementsAreArray(bag.expected())) << "version " << version;
  }
}

class FileCompression : public ::testing::TestWithParam<Bytes (*)(const Bytes&)> {};

TEST_P(FileCompression, EachStorageFileIsUnpackedAndTheCopyRemovedOnClose) {
  testing::TempDir dir;
  testing::TempDir scratch;
  const char* previous = std::getenv("TMPDIR");
  const std::string saved = previous ? previous : "";
  setenv("TMPDIR", scratch.path().c_str(), 1);

  const SplitBag bag;
  std::vector<std::string> names;
  for (const std::string& name : bag.write(dir.path(), {"z_0.db3", "z_1.db3", "z_2.db3"})) {
    write_file(dir / (name + ".zstd"), GetParam()(read_bytes(dir / name)));
    fs::remove(dir / name);
    names.push_back(name + ".zstd");
  }
  write_metadata_listing(dir.path(), names, "file");
  {
    BagReader reader(dir.path());
    EXPECT_EQ(reader.info().compression_format, "zstd");
    EXPECT_EQ(reader.info().compression_mode, "FILE");
    EXPECT_EQ(reader.info().files[0].filename(), "z_0.db3.zstd");
    EXPECT_THAT(read_all(reader), ElementsAreArray(bag.expected()));
    EXPECT_FALSE(fs::is_empty(scratch.path()));
    reader.close();
    EXPECT_TRUE(fs::is_empty(scratch.path()));
    EXPECT_THROW(reader.messages(), std::runtime_error);
  }
  fs::remove(dir / "metadata.yaml");
  {
    const BagReader reader(dir.path());  // a cut-off recording of compressed files
    EXPECT_EQ(reader.info().compression_mode, "FILE");
    EXPECT_THAT(read_all(reader), ElementsAreArray(bag.expected()));
  }
  EXPECT_TRUE(fs::is_empty(scratch.path()));
  if (previous) {
    setenv("TMPDIR", saved.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
}

INSTANTIATE_TEST_SUITE_P(FoxyAndHumbleFrames, FileCompression,
                         ::testing::Values(&zstd_frame, &zstd_streamed));

TEST(MessageCompression, EveryMessageIsUnpacked) {
  testing::TempDir dir;
  const SplitBag bag;
  write_metadata_listing(
      dir.path(), bag.write(dir.path(), {"m_0.db3", "m_1.db3", "m_2.db3"}, &zstd_frame), "message");
  const BagReader reader(dir.path());
  EXPECT_EQ(reader.info().compression_mode, "MESSAGE");
  EXPECT_THAT(read_all(reader), ElementsAreArray(bag.expected()));

  fs::remove(dir / "metadata.yaml");
  const BagReader without_metadata(dir.path());  // frames are recognised by their magic
  EXPECT_THAT(read_all(without_metadata), ElementsAreArray(bag.expected()));
}

TEST(MessageCompression, ACorruptFrameIsAnErrorNamingTheFile) {
  testing::TempDir dir;
  write_storage_file(dir / "bad_0.db3", {"/a"}, {{"/a", 1, payload(1, 100)}},
                     [](const Bytes& data) {
                       Bytes frame = zstd_frame(data);
                       frame.resize(frame.size() - 3);
                       return frame;
                     });
  write_metadata_listing(dir.path(), {"bad_0.db3"}, "MESSAGE");
  const BagReader reader(dir.path());
  auto stream = reader.messages();
  try {
    stream.next();
    ADD_FAILURE() << "a truncated frame decompressed";
  } catch (const std::runtime_error& error) {
    EXPECT_THAT(error.what(), HasSubstr("bad_0.db3"));
  }
}

template <typename Error>
void expect_error(const fs::path& path, const std::string& text) {
  try {
    BagReader reader(path);
    read_all(reader);
    ADD_FAILURE() << path << " opened";
  } catch (const Error& error) {
    EXPECT_THAT(error.what(), HasSubstr(text)) << path;
  }
}

TEST(BadBags, GiveClearErrorsNamingTheFile) {
  testing::TempDir dir;
  expect_error<common::FileNotFoundError>(dir / "absent", "absent");
  fs::create_directory(dir / "nothing");
  expect_error<common::FileNotFoundError>(dir / "nothing", "no metadata.yaml");

  fs::create_directory(dir / "missing_file");
  write_metadata_listing(dir / "missing_file", {"gone_0.db3"});
  expect_error<common::FileNotFoundError>(dir / "missing_file", "gone_0.db3");

  fs::create_directory(dir / "unknown_storage");
  write_storage_file(dir / "unknown_storage" / "u_0.db3", {"/a"}, {});
  write_metadata_listing(dir / "unknown_storage", {"u_0.db3"});
  {
    const fs::path file = dir / "unknown_storage" / "metadata.yaml";
    std::string text = orvalt::testing::read_text(file);
    text.replace(text.find("sqlite3"), 7, "rosbag_v2");
    std::ofstream(file) << text;
  }
  expect_error<std::runtime_error>(dir / "unknown_storage", "unknown storage id 'rosbag_v2'");

  fs::create_directory(dir / "broken_yaml");
  std::ofstream(dir / "broken_yaml" / "metadata.yaml") << "rosbag2_bagfile_information: [";
  expect_error<std::runtime_error>(dir / "broken_yaml", "metadata.yaml");

  fs::create_directory(dir / "corrupt");
  write_file(dir / "corrupt" / "c_0.db3", Bytes(8192, 0x41));
  expect_error<std::runtime_error>(dir / "corrupt", "c_0.db3");

  fs::create_directory(dir / "truncated_zstd");
  write_storage_file(dir / "truncated_zstd" / "t_0.db3", {"/a"}, {{"/a", 1, payload(1, 50)}});
  Bytes packed = zstd_frame(read_bytes(dir / "truncated_zstd" / "t_0.db3"));
  packed.resize(packed.size() / 2);
  write_file(dir / "truncated_zstd" / "t_0.db3.zstd", packed);
  fs::remove(dir / "truncated_zstd" / "t_0.db3");
  expect_error<std::runtime_error>(dir / "truncated_zstd", "t_0.db3.zstd");

  write_file(dir / "notes.txt", Bytes(10, 0x41));
  expect_error<std::runtime_error>(dir / "notes.txt", "notes.txt");
}

TEST(BadBags, AFileListedTwiceIsRefusedRatherThanReadTwice) {
  testing::TempDir dir;
  fs::create_directory(dir / "bag");
  write_storage_file(dir / "bag" / "b_0.db3", {"/a"}, {{"/a", 1, payload(1, 8)}});
  write_metadata_listing(dir / "bag", {"b_0.db3", "./b_0.db3"});
  expect_error<std::runtime_error>(dir / "bag", "b_0.db3 more than once");
}

// A metadata.yaml is data from outside; it must not make the tools read other files.
TEST(BadBags, StoragePathsThatLeaveTheBagFolderAreRefused) {
  testing::TempDir dir;
  write_storage_file(dir / "outside.db3", {"/secret"}, {{"/secret", 1, payload(1, 8)}});
  fs::create_directory(dir / "bag");
  write_storage_file(dir / "bag" / "b_0.db3", {"/a"}, {{"/a", 1, payload(1, 8)}});
  for (const std::string& listed : std::vector<std::string>{
           "../outside.db3", "sub/../../outside.db3", (dir / "outside.db3").string()}) {
    write_metadata_listing(dir / "bag", {"b_0.db3", listed});
    expect_error<std::runtime_error>(dir / "bag", "'" + listed + "' leaves the bag folder");
  }
  // Before version 4 a path starts with the bag's own name; another bag's is not followed.
  fs::create_directory(dir / "other");
  write_storage_file(dir / "other" / "o_0.db3", {"/secret"}, {{"/secret", 1, payload(1, 8)}});
  write_metadata_listing(dir / "bag", {"other/o_0.db3"}, "", 3);
  expect_error<common::FileNotFoundError>(dir / "bag", "other/o_0.db3");

  write_metadata_listing(dir / "bag", {"bag/b_0.db3"}, "", 3);
  EXPECT_EQ(read_all(BagReader(dir / "bag")).size(), 1u);
}

// A recording that lost its end, as after a power cut or a copy that stopped: everything before
// the cut reads, in order, and the log says how much of what metadata.yaml lists was read.
class TruncatedBag : public ::testing::TestWithParam<std::string> {};

TEST_P(TruncatedBag, ReadsUpToTheCutAndWarnsWhatWasLost) {
  constexpr int kMessages = 400;
  testing::TempDir dir;
  std::vector<Record> written;
  std::mt19937 random(7);
  {
    BagWriter writer(dir / "bag", GetParam());
    const Connection& image = writer.add_connection("/image", "sensor_msgs/msg/Image");
    const Connection& tf = writer.add_connection("/tf", "tf2_msgs/msg/TFMessage");
    for (int i = 0; i < kMessages; ++i) {
      const Connection& connection = i % 4 == 0 ? tf : image;
      const std::int64_t timestamp = 1700000000000000000 + i * std::int64_t{10000000};
      // Noise does not compress, so the cuts land in the MCAP data as they do in the SQLite file.
      Bytes data(i % 4 == 0 ? 40 : 8000);
      for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
      written.push_back({connection.topic, timestamp, data});
      writer.write(connection, timestamp, written.back().data);
    }
  }
  const fs::path file = dir / "bag" / ("bag_0" + storage_file_extension(GetParam()));
  const Bytes whole = read_bytes(file);
  for (const double fraction : {0.5, 0.7, 0.9}) {
    SCOPED_TRACE(fraction);
    write_file(file, Bytes(whole.begin(),
                           whole.begin() + static_cast<std::ptrdiff_t>(whole.size() * fraction)));
    testing::LogCapture log("orvalt.ros2.bag_reader");
    const BagReader reader(dir / "bag");
    const std::uint64_t readable = reader.info().message_count;
    ASSERT_GT(readable, 0u);
    ASSERT_EQ(reader.connections().size(), 2u);
    EXPECT_LT(readable, static_cast<std::uint64_t>(kMessages));
    const std::vector<Record> read = read_all(reader);
    ASSERT_EQ(read.size(), readable);
    EXPECT_EQ(read, std::vector<Record>(written.begin(), written.begin() + readable));
    EXPECT_THAT(
        log.messages(spdlog::level::warn),
        Contains(HasSubstr("only " + std::to_string(readable) + " of the 400 messages and ")));
    EXPECT_THAT(log.text(), HasSubstr(" of the 3.990 seconds that metadata.yaml lists"));

    // A pass over some topics only stops at the cut as well, never with an error.
    EXPECT_NO_THROW(read_all(reader, {&reader.connections()[1]}));
  }
}

INSTANTIATE_TEST_SUITE_P(Storages, TruncatedBag, ::testing::Values("sqlite3", "mcap"));

// Both timestamps are valid on their own, but their distance does not fit in 64 bits.
TEST(BadBags, TimestampsTooFarApartAreRefusedNamingTheFileOrBag) {
  constexpr std::int64_t kEarly = -7618790637790423828;
  constexpr std::int64_t kLate = 1604581417570143847;
  testing::TempDir dir;
  write_storage_file(dir / "wide.db3", {"/a"}, {{"/a", kLate, payload(1, 8)}, {"/a", kEarly, {}}});
  expect_error<std::runtime_error>(dir / "wide.db3", "wide.db3: message timestamps from");

  // Each file alone is sound; only the bag as a whole spans too long.
  fs::create_directory(dir / "split");
  write_storage_file(dir / "split" / "s_0.db3", {"/a"}, {{"/a", kEarly, payload(1, 8)}});
  write_storage_file(dir / "split" / "s_1.db3", {"/a"}, {{"/a", kLate, payload(2, 8)}});
  expect_error<std::runtime_error>(dir / "split", "split: message timestamps from");
}

TEST(BadBags, ConnectionsOfAnotherBagAreRefused) {
  testing::TempDir dir;
  write_storage_file(dir / "one.db3", {"/a"}, {{"/a", 1, payload(1, 8)}});
  write_storage_file(dir / "two.db3", {"/b"}, {{"/b", 1, payload(1, 8)}});
  const BagReader one(dir / "one.db3");
  const BagReader two(dir / "two.db3");
  EXPECT_THROW(one.messages({&two.connections()[0]}), std::invalid_argument);
  EXPECT_THROW(one.messages({nullptr}), std::invalid_argument);
}

}  // namespace
}  // namespace orvalt::ros2
