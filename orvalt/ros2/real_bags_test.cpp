#include <algorithm>
#include <map>
#include <tuple>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvalt/ros2/bag_reader.hpp"
#include "orvalt/testing/fixtures.hpp"
#include "orvalt/testing/temp_dir.hpp"

// The recordings that real rosbag2 versions (and two third-party tools) wrote, with the topics,
// types, counts and time ranges their README gives, all taken from the message data.
namespace orvalt::ros2 {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

struct TopicCount {
  std::string topic;
  std::string type;
  std::uint64_t count;
};

struct RealBag {
  std::string name;  // test name
  std::string path;  // below the fixtures folder
  std::vector<TopicCount> topics;
  std::int64_t first = 0;  // bag timestamps of the first and last message (both 0 when empty)
  std::int64_t last = 0;
};

const std::vector<TopicCount> kWbagTopics = {
    {"AAA", "std_msgs/msg/String", 804}, {"BBB", "std_msgs/msg/String", 742},
    {"CCC", "std_msgs/msg/String", 742}, {"DDD", "std_msgs/msg/String", 753},
    {"EEE", "std_msgs/msg/String", 804}, {"FFF", "std_msgs/msg/String", 772},
    {"GGG", "std_msgs/msg/String", 731}, {"HHH", "std_msgs/msg/String", 726}};
const std::vector<TopicCount> kCdrTestTopics = {{"/test_topic", "test_msgs/msg/BasicTypes", 3},
                                                {"/array_topic", "test_msgs/msg/Arrays", 4}};
const std::vector<TopicCount> kServiceEventTopics = {
    {"/test_topic1", "test_msgs/msg/Strings", 1},
    {"/test_topic2", "test_msgs/msg/Strings", 1},
    {"/test_service1/_service_event", "test_msgs/srv/BasicTypes_Event", 4},
    {"/test_service2/_service_event", "test_msgs/srv/BasicTypes_Event", 4},
    {"/events/write_split", "rosbag2_interfaces/msg/WriteSplitEvent", 0}};
const std::vector<TopicCount> kTopicsAndServices = {
    {"/parameter_events", "rcl_interfaces/msg/ParameterEvent", 7},
    {"/add_two_ints/_service_event", "example_interfaces/srv/AddTwoInts_Event", 6},
    {"/add_two_ints2/_service_event", "example_interfaces/srv/AddTwoInts_Event", 0},
    {"/events/write_split", "rosbag2_interfaces/msg/WriteSplitEvent", 0},
    {"/rosout", "rcl_interfaces/msg/Log", 0}};
const std::vector<TopicCount> kEmptyFoxyTopics = {
    {"/rosout", "rcl_interfaces/msg/Log", 0},
    {"/parameter_events", "rcl_interfaces/msg/ParameterEvent", 0}};

const std::vector<RealBag>& real_bags() {
  static const std::vector<RealBag> bags = {
      {"Talker",
       "v4_sqlite3_talker",
       {{"/rosout", "rcl_interfaces/msg/Log", 10},
        {"/parameter_events", "rcl_interfaces/msg/ParameterEvent", 0},
        {"/topic", "std_msgs/msg/String", 10}},
       1585866235112411371,
       1585866239643508139},
      {"SplitWbag", "v4_sqlite3_split5_wbag", kWbagTopics, 1000, 2998},
      {"ZstdFileMode",
       "v4_sqlite3_zstd_file_and_message_mode/reindex_test_bags/file_compression",
       {{"/rosout", "rcl_interfaces/msg/Log", 392},
        {"/topic", "std_msgs/msg/String", 383},
        {"/parameter_events", "rcl_interfaces/msg/ParameterEvent", 0}},
       1604356909418673946,
       1604357100419831952},
      {"ZstdMessageMode",
       "v4_sqlite3_zstd_file_and_message_mode/reindex_test_bags/message_compression",
       {{"/rosout", "rcl_interfaces/msg/Log", 758},
        {"/topic", "std_msgs/msg/String", 369},
        {"/parameter_events", "rcl_interfaces/msg/ParameterEvent", 0}},
       1604581357697556242,
       1604581542133285933},
      {"ZstdFileModeEmpty", "v4_sqlite3_zstd_file_mode_empty", kEmptyFoxyTopics},
      {"EmptyWithWal", "v4_sqlite3_empty_with_wal", kEmptyFoxyTopics},
      {"LaserScanRobot",
       "v4_sqlite3_laserscan_real_robot",
       {{"/sensors/scan", "sensor_msgs/msg/LaserScan", 238},
        {"/actuators/esc/wheel_velocity_axis0", "std_msgs/msg/Float64", 237},
        {"/actuators/esc/wheel_velocity_axis1", "std_msgs/msg/Float64", 237}},
       1650902101406279592,
       1650902125072677332},
      {"Schema2Image",
       "v5_sqlite3_schema2_image_2x2",
       {{"/image", "sensor_msgs/msg/Image", 3}},
       0,
       2000000000},
      {"Schema3Imu",
       "v5_sqlite3_schema3_imu",
       {{"/sensors/imu/data", "sensor_msgs/msg/Imu", 645}},
       1759361109448437759,
       1759361122331768530},
      {"Schema4CdrTest", "v7_sqlite3_schema4_cdr_test_msgs", kCdrTestTopics, 1586406456763032325,
       1586406456914169506},
      {"McapCdrTest", "v7_mcap_cdr_test_msgs", kCdrTestTopics, 1586406456763032325,
       1586406456914169506},
      {"Schema4ServiceEvents", "v8_sqlite3_schema4_service_events", kServiceEventTopics,
       1699345836023194036, 1699345836093827766},
      {"McapServiceEvents", "v8_mcap_service_events", kServiceEventTopics, 1699345836270074454,
       1699345836340728398},
      {"BareDb3", "nometa_sqlite3_and_mcap_single_files/topics_and_services.db3",
       kTopicsAndServices, 1697522387465250790, 1697522388973342699},
      {"BareMcap", "nometa_sqlite3_and_mcap_single_files/topics_and_services.mcap",
       kTopicsAndServices, 1697522263121459207, 1697522264629347866},
      {"McapJazzyImu",
       "v9_mcap_imu_jointstate",
       {{"/imu/data", "sensor_msgs/msg/Imu", 4712},
        {"/joint_states", "sensor_msgs/msg/JointState", 1866}},
       1746806462746505869,
       1746806557973256278},
      {"McapNav2NoMetadata",
       "nometa_mcap_tf_odom_nav2",
       {{"/tf", "tf2_msgs/msg/TFMessage", 5422},
        {"/tf_static", "tf2_msgs/msg/TFMessage", 1},
        {"/odom", "nav_msgs/msg/Odometry", 2639},
        {"/amcl_pose", "geometry_msgs/msg/PoseWithCovarianceStamped", 135}},
       1778234353382747000,
       1778234450738043000},
      {"RosbagsLibrary",
       "v8_sqlite3_tf_written_by_rosbags_lib",
       {{"/tf", "tf2_msgs/msg/TFMessage", 517}, {"/tf_static", "tf2_msgs/msg/TFMessage", 1}},
       1714741164111822142,
       1714741215796545476},
      {"Schema1Crystal",
       "nometa_sqlite3_schema1_crystal",
       {{"/text", "std_msgs/String", 1},
        {"/image", "sensor_msgs/Image", 1},
        {"/image/compressed", "sensor_msgs/CompressedImage", 1},
        {"/fix", "sensor_msgs/NavSatFix", 1},
        {"/imu", "sensor_msgs/Imu", 1}},
       1552860401167984836,
       1553411909073353785},
      {"McapSplitZstd", "v4_mcap_split5_zstd_mcapcli", kWbagTopics, 1000, 2998},
  };
  return bags;
}

class RealBags : public ::testing::TestWithParam<RealBag> {};

TEST_P(RealBags, YieldTheTopicsTypesCountsAndTimesOfTheReadme) {
  const auto root = testing::real_bags_dir();
  if (!root) GTEST_SKIP() << testing::kNoRealBags;
  const RealBag& expected = GetParam();
  BagReader reader(*root / expected.path);

  std::map<std::string, std::pair<std::string, std::uint64_t>> from_info;
  for (const Connection& connection : reader.connections()) {
    EXPECT_EQ(connection.serialization_format, "cdr") << connection.topic;
    from_info[connection.topic] = {connection.msgtype, reader.info().message_counts[connection.id]};
  }
  std::map<std::string, std::pair<std::string, std::uint64_t>> wanted;
  std::uint64_t total = 0;
  for (const TopicCount& topic : expected.topics) {
    wanted[topic.topic] = {topic.type, topic.count};
    total += topic.count;
  }
  EXPECT_EQ(from_info, wanted);
  EXPECT_EQ(reader.info().message_count, total);
  EXPECT_EQ(reader.info().starting_time, expected.first);
  EXPECT_EQ(reader.info().duration, expected.last - expected.first);

  // A full read agrees, keeps time order, and every payload is plain little-endian CDR (so
  // compressed messages came out decompressed).
  std::map<std::string, std::uint64_t> read_counts;
  std::int64_t previous = std::numeric_limits<std::int64_t>::min();
  auto stream = reader.messages();
  while (auto message = stream.next()) {
    ++read_counts[message->connection->topic];
    EXPECT_GE(message->timestamp, previous);
    previous = message->timestamp;
    ASSERT_GE(message->data.size(), 4u);
    ASSERT_EQ(message->data[0], 0);
    ASSERT_EQ(message->data[1], 1);
  }
  for (const TopicCount& topic : expected.topics) {
    EXPECT_EQ(read_counts[topic.topic], topic.count) << topic.topic;
  }
}

INSTANTIATE_TEST_SUITE_P(Readme, RealBags, ::testing::ValuesIn(real_bags()),
                         [](const auto& info) { return info.param.name; });

TEST(RealBagsFolder, ReadingWritesNothingBesideTheRecordings) {
  const auto root = testing::real_bags_dir();
  if (!root) GTEST_SKIP() << testing::kNoRealBags;
  auto snapshot = [&] {
    std::vector<std::tuple<std::string, std::uintmax_t, fs::file_time_type>> entries;
    for (const auto& entry : fs::recursive_directory_iterator(*root)) {
      entries.emplace_back(entry.path().string(), entry.is_regular_file() ? entry.file_size() : 0,
                           entry.last_write_time());
    }
    std::sort(entries.begin(), entries.end());
    return entries;
  };
  const auto before = snapshot();
  for (const RealBag& bag : real_bags()) {
    if (bag.path.find("mcap") != std::string::npos) continue;  // sqlite3 is what could write
    BagReader reader(*root / bag.path);
    auto stream = reader.messages();
    while (stream.next()) {
    }
  }
  EXPECT_EQ(snapshot(), before);
}

// The reindexer test's expected metadata beside the files it describes: version 4 with the
// folder prefix that Foxy's compression writer kept, in FILE and MESSAGE mode.
TEST(RealBagsFolder, FoxyCompressedBagsReadThroughTheirMetadata) {
  const auto root = testing::real_bags_dir();
  if (!root) GTEST_SKIP() << testing::kNoRealBags;
  const fs::path bags = *root / "v4_sqlite3_zstd_file_and_message_mode" / "reindex_test_bags";
  testing::TempDir dir;
  for (const auto& [name, count, mode] :
       {std::tuple{"file_compression", 775u, "FILE"}, {"message_compression", 1127u, "MESSAGE"}}) {
    const fs::path copy = dir / name;
    fs::create_directory(copy);
    for (const auto& entry : fs::directory_iterator(bags / name)) {
      const std::string file = entry.path().filename().string();
      if (file.find("-shm") == std::string::npos && file.find("-wal") == std::string::npos) {
        fs::copy_file(entry.path(), copy / file);
      }
    }
    fs::copy_file(bags / "target_metadata" / name / "metadata.yaml", copy / "metadata.yaml");

    BagReader reader(copy);
    EXPECT_TRUE(reader.info().has_metadata);
    EXPECT_EQ(reader.info().metadata_version, 4);
    EXPECT_EQ(reader.info().compression_mode, mode);
    EXPECT_EQ(reader.info().files.size(), 4u);
    EXPECT_EQ(reader.info().message_count, count);
    std::uint64_t read = 0;
    auto stream = reader.messages();
    while (auto message = stream.next()) {
      ASSERT_EQ(message->data.at(1), 1) << "still compressed";
      ++read;
    }
    EXPECT_EQ(read, count);
  }
}

TEST(RealBagsFolder, AFolderOfTwoStoragesWithoutMetadataIsRefused) {
  const auto root = testing::real_bags_dir();
  if (!root) GTEST_SKIP() << testing::kNoRealBags;
  try {
    BagReader reader(*root / "nometa_sqlite3_and_mcap_single_files");
    ADD_FAILURE() << "opened two recordings as one bag";
  } catch (const std::runtime_error& error) {
    EXPECT_THAT(error.what(), HasSubstr("nometa_sqlite3_and_mcap_single_files"));
  }
}

TEST(RealBagsFolder, FilteredReadOfASplitBagFollowsTopicIdsPerFile) {
  const auto root = testing::real_bags_dir();
  if (!root) GTEST_SKIP() << testing::kNoRealBags;
  BagReader reader(*root / "v4_sqlite3_split5_wbag");
  const Connection* aaa = nullptr;
  for (const Connection& connection : reader.connections()) {
    if (connection.topic == "AAA") aaa = &connection;
  }
  ASSERT_NE(aaa, nullptr);
  std::uint64_t count = 0;
  auto stream = reader.messages({aaa});
  while (auto message = stream.next()) {
    ASSERT_EQ(message->connection, aaa);
    ++count;
  }
  EXPECT_EQ(count, 804u);
}

}  // namespace
}  // namespace orvalt::ros2
