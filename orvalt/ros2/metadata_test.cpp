#include "orvalt/ros2/metadata.hpp"

#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvalt/common/file_not_found_error.hpp"
#include "orvalt/testing/fixtures.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::ros2 {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

TEST(ParseMetadata, VersionOneHasTheEssentials) {
  const BagMetadata metadata = parse_metadata(R"(rosbag2_bagfile_information:
  version: 1
  storage_identifier: sqlite3
  relative_file_paths:
    - my_bag/my_bag_0.db3
  duration:
    nanoseconds: 42
  starting_time:
    nanoseconds_since_epoch: 1000
  message_count: 3
  topics_with_message_count:
    - topic_metadata:
        name: /chatter
        type: std_msgs/String
        serialization_format: cdr
      message_count: 3
)",
                                              "v1");
  EXPECT_EQ(metadata.version, 1);
  EXPECT_EQ(metadata.storage_identifier, "sqlite3");
  EXPECT_THAT(metadata.relative_file_paths, ElementsAre("my_bag/my_bag_0.db3"));
  EXPECT_EQ(metadata.duration, 42);
  EXPECT_EQ(metadata.starting_time, 1000);
  EXPECT_EQ(metadata.message_count, 3u);
  ASSERT_EQ(metadata.topics_with_message_count.size(), 1u);
  EXPECT_EQ(metadata.topics_with_message_count[0].type, "std_msgs/String");
  EXPECT_EQ(metadata.topics_with_message_count[0].offered_qos_profiles, "");
  EXPECT_EQ(metadata.compression_mode, "");
  EXPECT_TRUE(metadata.files.empty());
}

// A third-party writer sorts the keys; custom_data may be {} or ~; the empty bag's start is
// INT64_MAX. None of it matters to a reader.
TEST(ParseMetadata, KeyOrderAndLaterVersionKeysDoNotMatter) {
  const BagMetadata metadata = parse_metadata(R"(rosbag2_bagfile_information:
  compression_format: zstd
  compression_mode: MESSAGE
  custom_data: {owner: lab}
  duration: {nanoseconds: 0}
  files:
  - duration: {nanoseconds: 5}
    message_count: 2
    path: a_0.db3
    starting_time: {nanoseconds_since_epoch: 9223372036854775807}
  message_count: 2
  relative_file_paths: [a_0.db3]
  ros_distro: rosbags
  starting_time: {nanoseconds_since_epoch: 9223372036854775807}
  storage_identifier: sqlite3
  topics_with_message_count:
  - message_count: 2
    topic_metadata: {name: /tf, offered_qos_profiles: '', serialization_format: cdr,
      type: tf2_msgs/msg/TFMessage, type_description_hash: RIHS01_ab}
  unknown_future_key: [1, 2]
  version: 8
)",
                                              "v8");
  EXPECT_EQ(metadata.version, 8);
  EXPECT_EQ(metadata.starting_time, INT64_MAX);
  EXPECT_EQ(metadata.compression_format, "zstd");
  EXPECT_EQ(metadata.compression_mode, "MESSAGE");
  EXPECT_EQ(metadata.ros_distro, "rosbags");
  EXPECT_EQ(metadata.custom_data.at("owner"), "lab");
  ASSERT_EQ(metadata.files.size(), 1u);
  EXPECT_EQ(metadata.files[0].path, "a_0.db3");
  EXPECT_EQ(metadata.files[0].duration, 5);
  EXPECT_EQ(metadata.topics_with_message_count[0].type_description_hash, "RIHS01_ab");
}

TEST(ParseMetadata, VersionNineQosListBecomesText) {
  const BagMetadata metadata = parse_metadata(R"(rosbag2_bagfile_information:
  version: 9
  storage_identifier: mcap
  topics_with_message_count:
    - topic_metadata:
        name: /imu
        type: sensor_msgs/msg/Imu
        serialization_format: cdr
        offered_qos_profiles:
          - history: keep_last
            depth: 10
            reliability: reliable
      message_count: 1
)",
                                              "v9");
  // The same YAML text an older version would hold in a string.
  const std::string text = metadata.topics_with_message_count.at(0).offered_qos_profiles;
  EXPECT_EQ(text, "- history: keep_last\n  depth: 10\n  reliability: reliable");
}

TEST(ParseMetadata, EmbeddedMetadataHasNoRootKey) {
  const BagMetadata metadata =
      parse_metadata("version: 8\nstorage_identifier: sqlite3\nmessage_count: 12\n", "db");
  EXPECT_EQ(metadata.version, 8);
  EXPECT_EQ(metadata.message_count, 12u);
}

TEST(ParseMetadata, BadInputNamesTheOriginAndTheKey) {
  auto error_of = [](const std::string& text) {
    try {
      parse_metadata(text, "/bags/x/metadata.yaml");
    } catch (const std::runtime_error& error) {
      return std::string(error.what());
    }
    return std::string("no error");
  };
  EXPECT_THAT(error_of("rosbag2_bagfile_information: {version: [1"),
              HasSubstr("/bags/x/metadata.yaml: not valid YAML"));
  EXPECT_THAT(error_of("rosbag2_bagfile_information: {version: 4, message_count: many}"),
              HasSubstr("'message_count' is not a number"));
  EXPECT_THAT(error_of("rosbag2_bagfile_information: {storage_identifier: sqlite3}"),
              HasSubstr("'version' is missing"));
  EXPECT_THAT(error_of("rosbag2_bagfile_information: {version: 4, relative_file_paths: a.db3}"),
              HasSubstr("'relative_file_paths' is not a list"));
  EXPECT_THAT(error_of("rosbag2_bagfile_information: {version: 4, duration: 5}"),
              HasSubstr("'duration' is not a mapping"));
  EXPECT_THAT(error_of("rosbag2_bagfile_information: 3"), HasSubstr("is not a mapping"));
  EXPECT_THAT(error_of("rosbag2_bagfile_information:\n  version: 4\n"
                       "  topics_with_message_count: [{message_count: 1}]"),
              HasSubstr("topic_metadata' is not a mapping"));
}

TEST(ReadMetadata, AMissingFileIsFileNotFound) {
  testing::TempDir dir;
  EXPECT_THROW(read_metadata(dir / "metadata.yaml"), common::FileNotFoundError);
}

TEST(ReadMetadata, EveryFixtureVersionParses) {
  const auto bags = testing::real_bags_dir();
  if (!bags) GTEST_SKIP() << testing::kNoRealBags;
  int files = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(*bags)) {
    if (entry.path().filename() != "metadata.yaml") continue;
    const BagMetadata metadata = read_metadata(entry.path());
    EXPECT_GE(metadata.version, 4) << entry.path();
    EXPECT_FALSE(metadata.relative_file_paths.empty()) << entry.path();
    std::uint64_t total = 0;
    for (const auto& topic : metadata.topics_with_message_count) total += topic.message_count;
    EXPECT_EQ(total, metadata.message_count) << entry.path();
    ++files;
  }
  EXPECT_EQ(files, 16);
}

// The exact text, as ROS 2 Humble writes it: the file is the contract with `ros2 bag`.
TEST(EmitMetadata, WritesHumbleVersionFive) {
  BagMetadata metadata;
  metadata.version = 9;  // ignored: always version 5
  metadata.storage_identifier = "sqlite3";
  metadata.relative_file_paths = {"run_0.db3"};
  metadata.starting_time = 1585866235112411371;
  metadata.duration = 4531096768;
  metadata.message_count = 2;
  metadata.topics_with_message_count = {
      {"/tf", "tf2_msgs/msg/TFMessage", "cdr", "- history: 3\n  depth: 0", "", 2}};
  metadata.files = {{"run_0.db3", 1585866235112411371, 4531096768, 2}};
  const std::string expected = R"(rosbag2_bagfile_information:
  version: 5
  storage_identifier: sqlite3
  duration:
    nanoseconds: 4531096768
  starting_time:
    nanoseconds_since_epoch: 1585866235112411371
  message_count: 2
  topics_with_message_count:
    - topic_metadata:
        name: /tf
        type: tf2_msgs/msg/TFMessage
        serialization_format: cdr
        offered_qos_profiles: "- history: 3\n  depth: 0"
      message_count: 2
  compression_format: ""
  compression_mode: ""
  relative_file_paths:
    - run_0.db3
  files:
    - path: run_0.db3
      starting_time:
        nanoseconds_since_epoch: 1585866235112411371
      duration:
        nanoseconds: 4531096768
      message_count: 2
)";
  EXPECT_EQ(emit_metadata(metadata), expected);

  const BagMetadata parsed = parse_metadata(expected, "emitted");
  EXPECT_EQ(parsed.version, 5);
  EXPECT_EQ(parsed.topics_with_message_count.at(0).offered_qos_profiles,
            "- history: 3\n  depth: 0");
  EXPECT_EQ(parsed.files.at(0).starting_time, 1585866235112411371);
}

TEST(WriteMetadata, AnUnwritablePathIsAnError) {
  testing::TempDir dir;
  EXPECT_THROW(write_metadata(dir / "no" / "such" / "metadata.yaml", BagMetadata{}),
               std::runtime_error);
}

}  // namespace
}  // namespace orvalt::ros2
