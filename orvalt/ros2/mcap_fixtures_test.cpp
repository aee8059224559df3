#include <fstream>
#include <iterator>
#include <map>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvalt/ros2/mcap_reader.hpp"
#include "orvalt/ros2/mcap_records.hpp"
#include "orvalt/testing/file_contents.hpp"
#include "orvalt/testing/fixtures.hpp"
#include "orvalt/testing/temp_dir.hpp"

// The MCAP files that rosbag2 and the mcap CLI wrote, with the topics, types, counts and time
// ranges their README gives.
namespace orvalt::ros2 {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Bytes = std::vector<std::uint8_t>;

struct TopicCount {
  std::string type;
  std::uint64_t count;
  bool operator==(const TopicCount& other) const {
    return type == other.type && count == other.count;
  }
};

std::ostream& operator<<(std::ostream& out, const TopicCount& topic) {
  return out << topic.type << " x" << topic.count;
}

struct Expected {
  std::string file;  // under the fixtures folder
  std::map<std::string, TopicCount> topics;
  std::int64_t first;
  std::int64_t last;
};

std::map<std::string, TopicCount> topics_of(StorageReader& reader) {
  std::map<std::string, TopicCount> topics;
  const auto counts = reader.message_counts();
  for (const Connection& connection : reader.connections()) {
    TopicCount& topic = topics[connection.topic];
    topic.type = connection.msgtype;
    topic.count += counts[static_cast<std::size_t>(connection.id)];
  }
  return topics;
}

// Reads every message, checking the order, and returns the counts per topic.
std::map<std::string, std::uint64_t> read_counting(StorageReader& reader, std::int64_t& first,
                                                   std::int64_t& last) {
  std::map<std::string, std::uint64_t> counts;
  StorageMessage message;
  bool any = false;
  while (reader.next(message)) {
    if (any) {
      EXPECT_GE(message.timestamp, last);
    } else {
      first = message.timestamp;
    }
    last = message.timestamp;
    any = true;
    ++counts[reader.connections()[static_cast<std::size_t>(message.connection)].topic];
    EXPECT_GE(message.data.size(), 4u);
    if (message.data.size() >= 4) {
      EXPECT_EQ(message.data[1], 1) << "little-endian CDR header";
    }
  }
  return counts;
}

using orvalt::testing::read_bytes;

// A copy whose footer announces no summary, so that the reader scans the data.
fs::path without_summary(const fs::path& file, const testing::TempDir& dir) {
  Bytes bytes = read_bytes(file);
  const std::size_t footer = bytes.size() - 8 - mcap::kFooterRecordSize;
  std::fill(bytes.begin() + static_cast<long>(footer + mcap::kRecordPrefixSize),
            bytes.begin() + static_cast<long>(footer + mcap::kFooterRecordSize), 0);
  const fs::path copy = dir / file.filename();
  std::ofstream(copy, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
  return copy;
}

const std::vector<Expected>& expected_files() {
  static const std::vector<Expected> files = {
      {"v7_mcap_cdr_test_msgs/cdr_test_0.mcap",
       {{"/test_topic", {"test_msgs/msg/BasicTypes", 3}},
        {"/array_topic", {"test_msgs/msg/Arrays", 4}}},
       1586406456763032325,
       1586406456914169506},
      {"v8_mcap_service_events/bag_with_topics_and_service_events.mcap",
       {{"/test_topic1", {"test_msgs/msg/Strings", 1}},
        {"/test_topic2", {"test_msgs/msg/Strings", 1}},
        {"/test_service1/_service_event", {"test_msgs/srv/BasicTypes_Event", 4}},
        {"/test_service2/_service_event", {"test_msgs/srv/BasicTypes_Event", 4}},
        {"/events/write_split", {"rosbag2_interfaces/msg/WriteSplitEvent", 0}}},
       1699345836270074454,
       1699345836340728398},
      {"nometa_sqlite3_and_mcap_single_files/topics_and_services.mcap",
       {{"/parameter_events", {"rcl_interfaces/msg/ParameterEvent", 7}},
        {"/add_two_ints/_service_event", {"example_interfaces/srv/AddTwoInts_Event", 6}},
        {"/add_two_ints2/_service_event", {"example_interfaces/srv/AddTwoInts_Event", 0}},
        {"/events/write_split", {"rosbag2_interfaces/msg/WriteSplitEvent", 0}},
        {"/rosout", {"rcl_interfaces/msg/Log", 0}}},
       1697522263121459207,
       1697522264629347866},
      {"v9_mcap_imu_jointstate/rosbag2_2025_05_09-18_01_02_0.mcap",
       {{"/imu/data", {"sensor_msgs/msg/Imu", 4712}},
        {"/joint_states", {"sensor_msgs/msg/JointState", 1866}}},
       1746806462746505869,
       1746806557973256278},
      {"nometa_mcap_tf_odom_nav2/nav2_turtlebot.mcap",
       {{"/tf", {"tf2_msgs/msg/TFMessage", 5422}},
        {"/tf_static", {"tf2_msgs/msg/TFMessage", 1}},
        {"/odom", {"nav_msgs/msg/Odometry", 2639}},
        {"/amcl_pose", {"geometry_msgs/msg/PoseWithCovarianceStamped", 135}}},
       1778234353382747000,
       1778234450738043000},
  };
  return files;
}

TEST(McapFixtures, EveryFileHasTheTopicsCountsAndTimesOfItsReadme) {
  const auto bags = testing::real_bags_dir();
  if (!bags) GTEST_SKIP() << testing::kNoRealBags;
  testing::TempDir dir;
  for (const Expected& expected : expected_files()) {
    SCOPED_TRACE(expected.file);
    const fs::path file = *bags / expected.file;
    for (const fs::path& path : {file, without_summary(file, dir)}) {
      McapReader reader(path);
      const bool indexed = path == file;
      EXPECT_EQ(reader.used_summary(), indexed);
      // Channels without messages may be recorded in the summary only, so a scan of the data
      // finds only the others.
      auto topics = expected.topics;
      if (!indexed) {
        for (auto it = topics.begin(); it != topics.end();) {
          it = it->second.count == 0 ? topics.erase(it) : std::next(it);
        }
      }
      EXPECT_EQ(topics_of(reader), topics);
      const auto range = reader.time_range();
      ASSERT_TRUE(range.has_value());
      EXPECT_EQ(range->first, expected.first);
      EXPECT_EQ(range->last, expected.last);

      std::int64_t first = 0;
      std::int64_t last = 0;
      const auto counts = read_counting(reader, first, last);
      for (const auto& [topic, count] : expected.topics) {
        EXPECT_EQ(counts.count(topic) ? counts.at(topic) : 0, count.count) << topic;
      }
      EXPECT_EQ(first, expected.first);
      EXPECT_EQ(last, expected.last);
    }
  }
}

// Five files converted by the mcap CLI, one zstd chunk each, eight identical schemas.
TEST(McapFixtures, SplitZstdFilesHoldTheirShareOfMessages) {
  const auto bags = testing::real_bags_dir();
  if (!bags) GTEST_SKIP() << testing::kNoRealBags;
  const std::uint64_t per_file[] = {1246, 1240, 1240, 1240, 1108};
  const std::int64_t ranges[][2] = {
      {1000, 1408}, {1410, 1821}, {1821, 2232}, {2233, 2623}, {2623, 2998}};
  std::map<std::string, std::uint64_t> totals;
  for (int i = 0; i < 5; ++i) {
    const fs::path file =
        *bags / "v4_mcap_split5_zstd_mcapcli" / ("wbag_" + std::to_string(i) + ".mcap");
    McapReader reader(file);
    ASSERT_EQ(reader.connections().size(), 8u);
    for (const Connection& connection : reader.connections()) {
      EXPECT_EQ(connection.msgtype, "std_msgs/msg/String");
      EXPECT_EQ(connection.offered_qos_profiles, "");
    }
    std::int64_t first = 0;
    std::int64_t last = 0;
    std::uint64_t sum = 0;
    for (const auto& [topic, count] : read_counting(reader, first, last)) {
      totals[topic] += count;
      sum += count;
    }
    EXPECT_EQ(sum, per_file[i]);
    EXPECT_EQ(first, ranges[i][0]);
    EXPECT_EQ(last, ranges[i][1]);
  }
  EXPECT_EQ(totals, (std::map<std::string, std::uint64_t>{{"AAA", 804},
                                                          {"BBB", 742},
                                                          {"CCC", 742},
                                                          {"DDD", 753},
                                                          {"EEE", 804},
                                                          {"FFF", 772},
                                                          {"GGG", 731},
                                                          {"HHH", 726}}));
}

TEST(McapFixtures, ChannelMetadataSchemasAndEmbeddedMetadata) {
  const auto bags = testing::real_bags_dir();
  if (!bags) GTEST_SKIP() << testing::kNoRealBags;

  McapReader jazzy(*bags / "v9_mcap_imu_jointstate/rosbag2_2025_05_09-18_01_02_0.mcap");
  const Connection& imu =
      jazzy.connections()[0].topic == "/imu/data" ? jazzy.connections()[0] : jazzy.connections()[1];
  EXPECT_THAT(imu.offered_qos_profiles, HasSubstr("history: unknown"));
  EXPECT_THAT(imu.type_description_hash, StartsWith("RIHS01_"));
  EXPECT_EQ(imu.message_definition_encoding, "ros2msg");
  EXPECT_THAT(imu.message_definition, HasSubstr("MSG: std_msgs/Header"));
  // The second of two records wins: the one written at close with the counts.
  const auto metadata = jazzy.embedded_metadata();
  ASSERT_TRUE(metadata.has_value());
  EXPECT_THAT(*metadata, HasSubstr("version: 9"));
  EXPECT_THAT(*metadata, HasSubstr("message_count: 6578"));

  // Channel ids 6, 9, 13 and 24; one schema serves /tf and /tf_static.
  McapReader nav2(*bags / "nometa_mcap_tf_odom_nav2/nav2_turtlebot.mcap");
  ASSERT_EQ(nav2.connections().size(), 4u);
  std::map<std::string, const Connection*> by_topic;
  for (const Connection& connection : nav2.connections()) by_topic[connection.topic] = &connection;
  EXPECT_FALSE(by_topic.at("/tf")->message_definition.empty());
  EXPECT_EQ(by_topic.at("/tf")->message_definition, by_topic.at("/tf_static")->message_definition);
  EXPECT_THAT(by_topic.at("/odom")->offered_qos_profiles, HasSubstr("history: keep_last"));
  EXPECT_EQ(nav2.embedded_metadata(), std::nullopt);

  EXPECT_EQ(McapReader(*bags / "v7_mcap_cdr_test_msgs/cdr_test_0.mcap").embedded_metadata(),
            std::nullopt);
  const auto rolling =
      McapReader(*bags / "nometa_sqlite3_and_mcap_single_files/topics_and_services.mcap")
          .embedded_metadata();
  ASSERT_TRUE(rolling.has_value());
  EXPECT_THAT(*rolling, HasSubstr("message_count: 13"));
}

// Only the chunks that hold the wanted topic are decompressed; the result is the same.
TEST(McapFixtures, FilteredReadsYieldOnlyTheChosenTopic) {
  const auto bags = testing::real_bags_dir();
  if (!bags) GTEST_SKIP() << testing::kNoRealBags;
  McapReader reader(*bags / "nometa_mcap_tf_odom_nav2/nav2_turtlebot.mcap");
  std::set<int> only;
  for (const Connection& connection : reader.connections()) {
    if (connection.topic == "/tf_static" || connection.topic == "/amcl_pose") {
      only.insert(connection.id);
    }
  }
  reader.set_filter(only);
  std::int64_t first = 0;
  std::int64_t last = 0;
  EXPECT_EQ(read_counting(reader, first, last),
            (std::map<std::string, std::uint64_t>{{"/amcl_pose", 135}, {"/tf_static", 1}}));
}

}  // namespace
}  // namespace orvalt::ros2
