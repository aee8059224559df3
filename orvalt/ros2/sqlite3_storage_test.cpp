#include <sqlite3.h>

#include <fstream>
#include <random>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvalt/common/file_not_found_error.hpp"
#include "orvalt/ros2/bag_reader.hpp"
#include "orvalt/ros2/storage.hpp"
#include "orvalt/testing/file_contents.hpp"
#include "orvalt/testing/fixtures.hpp"
#include "orvalt/testing/log_capture.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::ros2 {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Bytes = std::vector<std::uint8_t>;

struct RawMessage {
  std::int64_t id;
  std::int64_t topic_id;
  std::int64_t timestamp;
  Bytes data;
};

// Builds a database the way each rosbag2 generation laid it out, by plain SQL, so that the
// reader is tested against the layouts themselves rather than against our own writer.
class RawBag {
 public:
  RawBag(const fs::path& file, int generation) : generation_(generation) {
    EXPECT_EQ(sqlite3_open(file.c_str(), &db_), SQLITE_OK);
    exec("PRAGMA synchronous = OFF");  // test files need no crash safety
    std::string topics =
        "CREATE TABLE topics(id INTEGER PRIMARY KEY,name TEXT NOT NULL,"
        "type TEXT NOT NULL,serialization_format TEXT NOT NULL";
    if (generation >= 2) topics += ",offered_qos_profiles TEXT NOT NULL";
    if (generation >= 4) topics += ",type_description_hash TEXT NOT NULL";
    exec(topics + ")");
    exec(
        "CREATE TABLE messages(id INTEGER PRIMARY KEY,topic_id INTEGER NOT NULL,"
        "timestamp INTEGER NOT NULL, data BLOB NOT NULL)");
    exec("CREATE INDEX timestamp_idx ON messages (timestamp ASC)");
    if (generation >= 3) {
      exec("CREATE TABLE schema(schema_version INTEGER PRIMARY KEY,ros_distro TEXT NOT NULL)");
      exec("INSERT INTO schema VALUES (" + std::to_string(generation) + ", 'test')");
      exec(
          "CREATE TABLE metadata(id INTEGER PRIMARY KEY,metadata_version INTEGER NOT NULL,"
          "metadata TEXT NOT NULL)");
    }
    if (generation >= 4) {
      exec(
          "CREATE TABLE message_definitions(id INTEGER PRIMARY KEY,topic_type TEXT NOT NULL,"
          "encoding TEXT NOT NULL,encoded_message_definition TEXT NOT NULL,"
          "type_description_hash TEXT NOT NULL)");
    }
  }
  ~RawBag() { sqlite3_close(db_); }

  void topic(std::int64_t id, const std::string& name, const std::string& type,
             const std::string& qos = "", const std::string& hash = "") {
    std::string sql = "INSERT INTO topics VALUES (" + std::to_string(id) + ", '" + name + "', '" +
                      type + "', 'cdr'";
    if (generation_ >= 2) sql += ", '" + qos + "'";
    if (generation_ >= 4) sql += ", '" + hash + "'";
    exec(sql + ")");
  }
  void message(const RawMessage& message) {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db_, "INSERT INTO messages VALUES (?, ?, ?, ?)", -1, &statement, nullptr);
    sqlite3_bind_int64(statement, 1, message.id);
    sqlite3_bind_int64(statement, 2, message.topic_id);
    sqlite3_bind_int64(statement, 3, message.timestamp);
    if (message.data.empty()) {
      sqlite3_bind_zeroblob(statement, 4, 0);  // an empty vector's data() may be null: NULL
    } else {
      sqlite3_bind_blob(statement, 4, message.data.data(), static_cast<int>(message.data.size()),
                        SQLITE_TRANSIENT);
    }
    EXPECT_EQ(sqlite3_step(statement), SQLITE_DONE);
    sqlite3_finalize(statement);
  }
  void exec(const std::string& sql) {
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
        << sql << ": " << (error ? error : "");
    sqlite3_free(error);
  }

 private:
  int generation_;
  sqlite3* db_ = nullptr;
};

std::vector<StorageMessage> read_all(StorageReader& reader) {
  std::vector<StorageMessage> messages;
  StorageMessage message;
  while (reader.next(message)) messages.push_back(message);
  return messages;
}

std::vector<std::int64_t> timestamps(const std::vector<StorageMessage>& messages) {
  std::vector<std::int64_t> result;
  for (const auto& message : messages) result.push_back(message.timestamp);
  return result;
}

std::vector<std::string> schema_sql(const fs::path& file) {
  sqlite3* db = nullptr;
  const std::string uri = "file:" + file.string() + "?mode=ro&immutable=1";
  sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
  std::vector<std::string> sql;
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(db, "SELECT sql FROM sqlite_master ORDER BY rowid", -1, &statement, nullptr);
  while (sqlite3_step(statement) == SQLITE_ROW) {
    sql.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return sql;
}

class SchemaGeneration : public ::testing::TestWithParam<int> {};

TEST_P(SchemaGeneration, ReadsTopicsAndMessagesInTimestampThenIdOrder) {
  const int generation = GetParam();
  testing::TempDir dir;
  {
    RawBag bag(dir / "bag.db3", generation);
    bag.topic(7, "/tf", "tf2_msgs/msg/TFMessage", "- history: 1", "RIHS01_aa");
    bag.topic(3, "/scan", "sensor_msgs/LaserScan");
    bag.message({5, 7, 200, {0, 1, 0, 0, 5}});
    bag.message({2, 3, 200, {0, 1, 0, 0, 2}});
    bag.message({9, 7, 100, {0, 1, 0, 0, 9}});
    bag.message({1, 3, 300, {}});
    if (generation >= 4) {
      bag.exec(
          "INSERT INTO message_definitions VALUES (1, 'tf2_msgs/msg/TFMessage', 'ros2msg', "
          "'geometry_msgs/TransformStamped[] transforms', 'RIHS01_aa')");
    }
  }
  const auto reader = open_sqlite3_reader(dir / "bag.db3");

  ASSERT_EQ(reader->connections().size(), 2u);
  const Connection& scan = reader->connections()[0];  // topics come in id order
  const Connection& tf = reader->connections()[1];
  EXPECT_EQ(scan.topic, "/scan");
  EXPECT_EQ(scan.msgtype, "sensor_msgs/LaserScan");
  EXPECT_EQ(tf.serialization_format, "cdr");
  EXPECT_EQ(tf.offered_qos_profiles, generation >= 2 ? "- history: 1" : "");
  EXPECT_EQ(tf.type_description_hash, generation >= 4 ? "RIHS01_aa" : "");
  EXPECT_EQ(tf.message_definition,
            generation >= 4 ? "geometry_msgs/TransformStamped[] transforms" : "");
  EXPECT_EQ(tf.message_definition_encoding, generation >= 4 ? "ros2msg" : "");

  EXPECT_THAT(reader->message_counts(), ElementsAre(2u, 2u));
  ASSERT_TRUE(reader->time_range());
  EXPECT_EQ(reader->time_range()->first, 100);
  EXPECT_EQ(reader->time_range()->last, 300);

  const auto messages = read_all(*reader);
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_THAT(timestamps(messages), ElementsAre(100, 200, 200, 300));
  EXPECT_EQ(messages[0].data, (Bytes{0, 1, 0, 0, 9}));
  EXPECT_EQ(messages[1].data, (Bytes{0, 1, 0, 0, 2}));  // equal timestamps: lower id first
  EXPECT_EQ(messages[1].connection, 0);
  EXPECT_EQ(messages[2].connection, 1);
  EXPECT_TRUE(messages[3].data.empty());
  StorageMessage after_end;
  EXPECT_FALSE(reader->next(after_end));
}

INSTANTIATE_TEST_SUITE_P(Sqlite3Storage, SchemaGeneration, ::testing::Values(1, 2, 3, 4));

TEST(Sqlite3Storage, FilterSelectsConnectionsAndCanBeChanged) {
  testing::TempDir dir;
  {
    RawBag bag(dir / "bag.db3", 2);
    bag.topic(1, "/a", "std_msgs/msg/String");
    bag.topic(2, "/b", "std_msgs/msg/String");
    bag.topic(3, "/c", "std_msgs/msg/String");
    for (int i = 0; i < 30; ++i) bag.message({i + 1, i % 3 + 1, i, {static_cast<std::uint8_t>(i)}});
  }
  const auto reader = open_sqlite3_reader(dir / "bag.db3");
  reader->set_filter({0, 2});
  const auto messages = read_all(*reader);
  ASSERT_EQ(messages.size(), 20u);
  for (const auto& message : messages) EXPECT_NE(message.connection, 1);

  reader->set_filter({1});
  EXPECT_EQ(read_all(*reader).size(), 10u);
  reader->set_filter({});
  EXPECT_TRUE(read_all(*reader).empty());
}

// A topic row lost (or never written) leaves messages no connection can own: they are skipped,
// but counted, and the bag says so once per file rather than once per message.
TEST(Sqlite3Storage, MessagesOfTopicIdsMissingFromTheTopicsTableAreCountedAndWarnedAbout) {
  testing::TempDir dir;
  {
    RawBag bag(dir / "bag.db3", 3);
    bag.topic(1, "/a", "std_msgs/msg/String");
    for (int i = 0; i < 12; ++i) {
      bag.message({i + 1, i % 3 == 0 ? 1 : 7 + i % 2, i, {static_cast<std::uint8_t>(i)}});
    }
  }
  const auto storage = open_sqlite3_reader(dir / "bag.db3");
  EXPECT_EQ(storage->orphaned_message_count(), 8u);
  EXPECT_THAT(storage->message_counts(), ElementsAre(4u));
  EXPECT_EQ(read_all(*storage).size(), 4u);

  testing::LogCapture log("orvalt.ros2.bag_reader");
  const BagReader reader(dir / "bag.db3");
  EXPECT_EQ(reader.info().message_count, 4u);
  std::size_t read = 0;
  for (int pass = 0; pass < 2; ++pass) {
    auto stream = reader.messages();
    while (stream.next()) ++read;
  }
  EXPECT_EQ(read, 8u);
  const auto warnings = log.messages(spdlog::level::warn);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_THAT(warnings[0], HasSubstr("bag.db3: skipping 8 messages whose topic id is not in"));
}

TEST(Sqlite3Storage, EmbeddedMetadataIsTheLastRow) {
  testing::TempDir dir;
  {
    RawBag old_bag(dir / "foxy.db3", 2);
    RawBag bag(dir / "iron.db3", 4);
    bag.exec("INSERT INTO metadata VALUES (1, 7, 'version: 7\nmessage_count: 0')");
    bag.exec("INSERT INTO metadata VALUES (2, 7, 'version: 7\nmessage_count: 12')");
    RawBag humble(dir / "humble.db3", 3);
  }
  EXPECT_EQ(open_sqlite3_reader(dir / "iron.db3")->embedded_metadata(),
            "version: 7\nmessage_count: 12");
  EXPECT_FALSE(open_sqlite3_reader(dir / "foxy.db3")->embedded_metadata());
  EXPECT_FALSE(open_sqlite3_reader(dir / "humble.db3")->embedded_metadata());
  EXPECT_FALSE(open_sqlite3_reader(dir / "foxy.db3")->time_range());
}

TEST(Sqlite3Storage, ReadingAWalFileLeavesItsFolderUntouched) {
  testing::TempDir dir;
  {
    RawBag bag(dir / "foxy.db3", 2);
    bag.exec("PRAGMA journal_mode=WAL");
    bag.topic(1, "/a", "std_msgs/msg/String");
    bag.message({1, 1, 5, {0, 1, 0, 0}});
  }
  fs::permissions(dir / "foxy.db3", fs::perms::owner_read);
  const auto reader = open_sqlite3_reader(dir / "foxy.db3");
  EXPECT_EQ(read_all(*reader).size(), 1u);
  EXPECT_TRUE(reader->embedded_metadata() == std::nullopt);
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_THAT(names, ElementsAre("foxy.db3"));
}

TEST(Sqlite3Storage, WriterCreatesHumbleSchemaThree) {
  testing::TempDir dir;
  auto writer = create_sqlite3_writer(dir / "out.db3");
  writer->close();

  const std::vector<std::string> expected = {
      "CREATE TABLE schema(schema_version INTEGER PRIMARY KEY,ros_distro TEXT NOT NULL)",
      "CREATE TABLE metadata(id INTEGER PRIMARY KEY,metadata_version INTEGER NOT NULL,"
      "metadata TEXT NOT NULL)",
      "CREATE TABLE topics(id INTEGER PRIMARY KEY,name TEXT NOT NULL,type TEXT NOT NULL,"
      "serialization_format TEXT NOT NULL,offered_qos_profiles TEXT NOT NULL)",
      "CREATE TABLE messages(id INTEGER PRIMARY KEY,topic_id INTEGER NOT NULL,"
      "timestamp INTEGER NOT NULL, data BLOB NOT NULL)",
      "CREATE INDEX timestamp_idx ON messages (timestamp ASC)"};
  EXPECT_EQ(schema_sql(dir / "out.db3"), expected);
  // The same text as a database that Humble's own plugin wrote.
  if (const auto bags = testing::real_bags_dir()) {
    EXPECT_EQ(schema_sql(*bags / "v5_sqlite3_schema3_imu" / "rosbag2_2025_10_01-23_25_08_0.db3"),
              expected);
  }

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir / "out.db3").c_str(), &db), SQLITE_OK);
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(db, "SELECT schema_version, ros_distro FROM schema", -1, &statement, nullptr);
  ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(statement, 0), 3);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(statement, 1)), "humble");
  EXPECT_EQ(sqlite3_step(statement), SQLITE_DONE);
  sqlite3_finalize(statement);
  sqlite3_close(db);
  EXPECT_FALSE(open_sqlite3_reader(dir / "out.db3")->embedded_metadata());
}

TEST(Sqlite3Storage, WriterRoundTripKeepsEveryByte) {
  testing::TempDir dir;
  std::mt19937 random(7);
  std::vector<StorageMessage> written;
  {
    auto writer = create_sqlite3_writer(dir / "out.db3");
    Connection image;
    image.topic = "/camera/image";
    image.msgtype = "sensor_msgs/msg/Image";
    image.offered_qos_profiles = "- history: 1\n  depth: 5";
    Connection empty;
    empty.topic = "/empty";
    empty.msgtype = "std_msgs/msg/Empty";
    writer->add_connection(image);
    writer->add_connection(empty);
    for (int i = 0; i < 12000; ++i) {  // more than one commit batch
      StorageMessage message;
      message.connection = i % 2;
      message.timestamp = 1000 + i;
      if (i == 3) message.data.resize(5 << 20);  // spans many overflow pages
      if (i % 2 == 0 && i != 3) message.data.resize(random() % 300);
      for (auto& byte : message.data) byte = static_cast<std::uint8_t>(random());
      writer->write(message.connection, message.timestamp, message.data);
      written.push_back(std::move(message));
    }
    writer->close();
    writer->close();  // a second close does nothing
  }
  const auto reader = open_sqlite3_reader(dir / "out.db3");
  ASSERT_EQ(reader->connections().size(), 2u);
  EXPECT_EQ(reader->connections()[0].offered_qos_profiles, "- history: 1\n  depth: 5");
  EXPECT_EQ(reader->connections()[1].msgtype, "std_msgs/msg/Empty");
  const auto messages = read_all(*reader);
  ASSERT_EQ(messages.size(), written.size());
  for (std::size_t i = 0; i < messages.size(); ++i) {
    EXPECT_EQ(messages[i].connection, written[i].connection);
    EXPECT_EQ(messages[i].timestamp, written[i].timestamp);
    ASSERT_EQ(messages[i].data, written[i].data) << "message " << i;
  }
}

TEST(Sqlite3Storage, WriterRefusesAnExistingFileAndUnknownConnections) {
  testing::TempDir dir;
  std::ofstream(dir / "taken.db3") << "x";
  EXPECT_THROW(create_sqlite3_writer(dir / "taken.db3"), std::runtime_error);
  auto writer = create_sqlite3_writer(dir / "out.db3");
  EXPECT_THROW(writer->write(0, 1, {}), std::invalid_argument);
  writer->close();
  EXPECT_THROW(writer->write(0, 1, {}), std::runtime_error);
}

TEST(Sqlite3Storage, MissingAndForeignFilesGiveErrorsNamingThem) {
  testing::TempDir dir;
  EXPECT_THROW(open_sqlite3_reader(dir / "absent.db3"), common::FileNotFoundError);

  std::ofstream(dir / "text.db3") << "this is not a database, just some text long enough";
  try {
    open_sqlite3_reader(dir / "text.db3");
    ADD_FAILURE() << "a text file opened as a database";
  } catch (const std::runtime_error& error) {
    EXPECT_THAT(error.what(), HasSubstr("text.db3"));
  }

  {
    sqlite3* db = nullptr;
    sqlite3_open((dir / "other.db3").c_str(), &db);
    sqlite3_exec(db, "CREATE TABLE people(name TEXT); CREATE VIEW topics AS SELECT 1", nullptr,
                 nullptr, nullptr);
    sqlite3_close(db);
  }
  EXPECT_THROW(
      {
        try {
          open_sqlite3_reader(dir / "other.db3");
        } catch (const std::runtime_error& error) {
          EXPECT_THAT(error.what(), HasSubstr("is not a rosbag2 database"));
          throw;
        }
      },
      std::runtime_error);
}

// Every prefix of a valid bag, and the bag with bytes flipped, either reads or fails with an
// error naming the file: no crash, no hang, no read past the end.
TEST(Sqlite3Storage, TruncatedAndCorruptFilesFailCleanly) {
  testing::TempDir dir;
  {
    RawBag bag(dir / "good.db3", 2);
    bag.topic(1, "/image", "sensor_msgs/msg/Image");
    for (int i = 0; i < 40; ++i) bag.message({i + 1, 1, i, Bytes(i * 500, 0xAB)});
  }
  const std::string bytes = orvalt::testing::read_text(dir / "good.db3");
  ASSERT_GT(bytes.size(), 4096u * 4);

  auto try_read = [&](const std::string& content, const std::string& name) {
    const fs::path file = dir / name;
    std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
    try {
      const auto reader = open_sqlite3_reader(file);
      reader->message_counts();
      read_all(*reader);
    } catch (const std::runtime_error& error) {
      EXPECT_THAT(error.what(), HasSubstr(name));
    }
  };
  for (std::size_t size = 0; size < bytes.size(); size += 1021) {
    try_read(bytes.substr(0, size), "truncated.db3");
  }
  std::mt19937 random(3);
  for (int round = 0; round < 60; ++round) {
    std::string damaged = bytes;
    for (int flip = 0; flip < 8; ++flip) damaged[random() % damaged.size()] ^= 0x5A;
    try_read(damaged, "damaged.db3");
  }
}

}  // namespace
}  // namespace orvalt::ros2
