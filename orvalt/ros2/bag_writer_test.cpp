#include "orvalt/ros2/bag_writer.hpp"

#include <sys/resource.h>

#include <csignal>
#include <random>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvalt/ros2/bag_reader.hpp"
#include "orvalt/ros2/messages.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::ros2 {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

TEST(BagWriter, RefusesAnExistingDirectoryAndUnknownStorage) {
  testing::TempDir dir;
  fs::create_directory(dir / "taken");
  EXPECT_THROW(BagWriter(dir / "taken"), std::runtime_error);
  EXPECT_THROW(BagWriter(dir / "other", "rosbag_v2"), std::invalid_argument);
  EXPECT_FALSE(fs::exists(dir / "other"));
}

TEST(BagWriter, NamesTheStorageFileAfterTheFolder) {
  testing::TempDir dir;
  { BagWriter writer(dir / "nested" / "run_03/"); }
  EXPECT_TRUE(fs::is_regular_file(dir / "nested" / "run_03" / "run_03_0.db3"));
  EXPECT_TRUE(fs::is_regular_file(dir / "nested" / "run_03" / "metadata.yaml"));
}

TEST(BagWriter, OneConnectionPerTopic) {
  testing::TempDir dir;
  BagWriter writer(dir / "bag");
  const Connection& first = writer.add_connection("/tf", "tf2_msgs/msg/TFMessage");
  const Connection& again = writer.add_connection("/tf", "tf2_msgs/msg/TFMessage");
  EXPECT_EQ(&first, &again);
  EXPECT_THROW(writer.add_connection("/tf", "std_msgs/msg/String"), std::invalid_argument);
  const Connection& second = writer.add_connection("/odom", "nav_msgs/msg/Odometry");
  EXPECT_EQ(first.id, 0);
  EXPECT_EQ(second.id, 1);
  EXPECT_TRUE(first.message_definition.empty());  // sqlite3 schema 3 stores none
}

TEST(BagWriter, McapConnectionsCarryTheirDefinitions) {
  testing::TempDir dir;
  {
    BagWriter writer(dir / "bag", "mcap");
    const Connection& image = writer.add_connection("/image", "sensor_msgs/msg/Image");
    EXPECT_EQ(image.message_definition, message_definition("sensor_msgs/msg/Image"));
    EXPECT_EQ(image.message_definition_encoding, "ros2msg");
    const Connection& custom =
        writer.add_connection("/custom", "my_msgs/msg/Thing", "", "int32 value\n");
    EXPECT_EQ(custom.message_definition, "int32 value\n");
    writer.write(image, 5, sensor_msgs::Image{}.encode());
  }
  const BagReader reader(dir / "bag");
  ASSERT_EQ(reader.connections().size(), 2u);
  EXPECT_EQ(reader.connections()[0].message_definition,
            message_definition("sensor_msgs/msg/Image"));
  EXPECT_EQ(reader.connections()[1].message_definition, "int32 value\n");
}

TEST(BagWriter, RefusesForeignConnectionsAndWritesAfterClose) {
  testing::TempDir dir;
  BagWriter writer(dir / "a");
  BagWriter other(dir / "b");
  writer.add_connection("/a", "std_msgs/msg/String");
  const Connection& foreign = other.add_connection("/b", "std_msgs/msg/String");
  EXPECT_THROW(writer.write(foreign, 1, {0, 1, 0, 0}), std::invalid_argument);
  writer.close();
  EXPECT_THROW(writer.write(writer.add_connection("/a", "x"), 1, {}), std::runtime_error);
  writer.close();  // later calls do nothing
}

TEST(BagWriter, RefusesATimestampWhoseDistanceToTheOthersDoesNotFit) {
  testing::TempDir dir;
  {
    BagWriter writer(dir / "bag");
    const Connection& connection = writer.add_connection("/a", "std_msgs/msg/String");
    writer.write(connection, 1604581417570143847, {0, 1, 0, 0});
    EXPECT_THROW(writer.write(connection, -7618790637790423828, {0, 1, 0, 0}), std::runtime_error);
    writer.write(connection, -1604581417570143847, {0, 1, 0, 0});
  }
  const BagReader reader(dir / "bag");
  EXPECT_EQ(reader.info().message_count, 2u);
  EXPECT_EQ(reader.info().duration, 2 * std::int64_t{1604581417570143847});
}

TEST(BagWriter, TheDestructorFinishesTheBag) {
  testing::TempDir dir;
  {
    BagWriter writer(dir / "bag");
    const Connection& connection = writer.add_connection("/a", "std_msgs/msg/String");
    for (int i = 0; i < 100; ++i) writer.write(connection, i, {0, 1, 0, 0});
  }
  const BagReader reader(dir / "bag");
  EXPECT_TRUE(reader.info().has_metadata);
  EXPECT_EQ(reader.info().message_count, 100u);
}

class FullDisk : public ::testing::TestWithParam<std::string> {};

TEST_P(FullDisk, WriteErrorsAreReported) {
  testing::TempDir dir;
  // A file size limit stands in for a full disk: writes past it fail with EFBIG.
  const auto previous_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit previous{};
  getrlimit(RLIMIT_FSIZE, &previous);
  rlimit limited = previous;
  limited.rlim_cur = 1 << 20;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  std::string error;
  try {
    BagWriter writer(dir / "full", GetParam());
    const Connection& connection = writer.add_connection("/image", "sensor_msgs/msg/Image");
    std::mt19937 random(5);
    std::vector<std::uint8_t> noise(256 << 10);  // incompressible, so MCAP chunks stay large
    for (auto& byte : noise) byte = static_cast<std::uint8_t>(random());
    for (int i = 0; i < 40; ++i) writer.write(connection, i, noise);
    writer.close();
  } catch (const std::runtime_error& caught) {
    error = caught.what();
  }
  setrlimit(RLIMIT_FSIZE, &previous);
  std::signal(SIGXFSZ, previous_handler);
  EXPECT_THAT(error, HasSubstr("full"));
}

INSTANTIATE_TEST_SUITE_P(Storages, FullDisk, ::testing::Values("sqlite3", "mcap"));

}  // namespace
}  // namespace orvalt::ros2
