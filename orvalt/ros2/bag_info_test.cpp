#include "orvalt/ros2/bag_info.hpp"

#include <stdlib.h>
#include <time.h>

#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvalt/ros2/bag_writer.hpp"
#include "orvalt/testing/fixtures.hpp"
#include "orvalt/testing/program_run.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::ros2 {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

// Times print in local time, as `ros2 bag info` does; the tests pin the zone.
class BagInfoText : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }
};

// The program as a user runs it, in the zone the expected times are written in.
testing::ProgramRun run_bag_info(const std::filesystem::path& bag) {
  setenv("TZ", "UTC", 1);
  return testing::run_program("bag_info", {bag.string()});
}

TEST_F(BagInfoText, SizesUseBinaryUnits) {
  EXPECT_EQ(format_bag_size(0), "0 B");
  EXPECT_EQ(format_bag_size(1023), "1023 B");
  EXPECT_EQ(format_bag_size(1024), "1.0 KiB");
  EXPECT_EQ(format_bag_size(16384), "16.0 KiB");
  EXPECT_EQ(format_bag_size(1855488), "1.8 MiB");
  EXPECT_EQ(format_bag_size(3ULL << 40), "3.0 TiB");
}

TEST_F(BagInfoText, TimesShowMilliseconds) {
  EXPECT_EQ(format_bag_time(1585866235112411371), "Apr  2 2020 22:23:55.112 (1585866235.112)");
  EXPECT_EQ(format_bag_time(1585866239043508139), "Apr  2 2020 22:23:59.043 (1585866239.043)");
  EXPECT_EQ(format_bag_time(0), "Jan  1 1970 00:00:00.000 (0.000)");
}

TEST_F(BagInfoText, CountsComeFromTheData) {
  testing::TempDir dir;
  {
    BagWriter writer(dir / "bag");
    const Connection& tf = writer.add_connection("/tf", "tf2_msgs/msg/TFMessage");
    writer.add_connection("/empty", "std_msgs/msg/String");
    writer.write(tf, 1585866235112411371, {0, 1, 0, 0});
    writer.write(tf, 1585866239643508139, {0, 1, 0, 0});
  }
  // metadata.yaml that lies about the counts does not change what is shown.
  std::ofstream(dir / "bag" / "metadata.yaml")
      << "rosbag2_bagfile_information:\n  version: 5\n  storage_identifier: sqlite3\n"
         "  relative_file_paths: [bag_0.db3]\n  message_count: 99\n";
  const BagReader reader(dir / "bag");
  const BagContents contents = read_bag_contents(reader);
  EXPECT_FALSE(holds_all_listed(reader.info(), contents));  // 2 of the 99 listed
  const std::string text = format_bag_info(reader, contents);
  EXPECT_EQ(text.substr(0, text.find("Bag size:")), "\nFiles:             bag_0.db3\n");
  EXPECT_EQ(text.substr(text.find("Storage id:")),
            "Storage id:        sqlite3\n"
            "Duration:          4.531s\n"
            "Start:             Apr  2 2020 22:23:55.112 (1585866235.112)\n"
            "End:               Apr  2 2020 22:23:59.643 (1585866239.643)\n"
            "Messages:          2\n"
            "Topic information: Topic: /tf | Type: tf2_msgs/msg/TFMessage | Count: 2 | "
            "Serialization Format: cdr\n"
            "                   Topic: /empty | Type: std_msgs/msg/String | Count: 0 | "
            "Serialization Format: cdr\n");
}

TEST(BagInfoProgram, PrintsARealBag) {
  const auto bags = testing::real_bags_dir();
  if (!bags) GTEST_SKIP() << testing::kNoRealBags;
  const auto result = run_bag_info(*bags / "v4_sqlite3_split5_wbag");
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_THAT(result.output, HasSubstr("Files:             wbag_0.db3\n"
                                       "                   wbag_1.db3\n"));
  EXPECT_THAT(result.output, HasSubstr("Bag size:          428.0 KiB\n"));
  EXPECT_THAT(result.output, HasSubstr("Messages:          6074\n"));
  EXPECT_THAT(result.output, HasSubstr("Topic: AAA | Type: std_msgs/msg/String | Count: 804 | "
                                       "Serialization Format: cdr\n"));
}

TEST(BagInfoProgram, AnUnreadableBagExitsWithOneAndTheError) {
  testing::TempDir dir;
  const auto missing = run_bag_info(dir / "nope");
  EXPECT_EQ(missing.status, 1);
  EXPECT_THAT(missing.output, HasSubstr("Bag does not exist: " + (dir / "nope").string()));

  std::ofstream(dir / "broken.db3") << std::string(5000, 'x');
  const auto broken = run_bag_info(dir / "broken.db3");
  EXPECT_EQ(broken.status, 1);
  EXPECT_THAT(broken.output, HasSubstr("broken.db3"));
}

// A bag cut off part way (a copy that stopped, a full disk) shows what can still be read, and
// the program fails so that scripts notice.
TEST(BagInfoProgram, ATruncatedBagShowsWhatCanBeReadAndExitsWithOne) {
  testing::TempDir dir;
  {
    BagWriter writer(dir / "bag");
    const Connection& image = writer.add_connection("/image", "sensor_msgs/msg/Image");
    for (int i = 0; i < 100; ++i) {
      writer.write(image, 1000000000 + i * 10000000, std::vector<std::uint8_t>(3000, 7));
    }
  }
  const testing::ProgramRun whole = run_bag_info(dir / "bag");
  EXPECT_EQ(whole.status, 0) << whole.output;
  EXPECT_THAT(whole.output, HasSubstr("Messages:          100\n"));

  const fs::path file = dir / "bag" / "bag_0.db3";
  fs::resize_file(file, fs::file_size(file) / 2);
  const testing::ProgramRun cut = run_bag_info(dir / "bag");
  EXPECT_EQ(cut.status, 1) << cut.output;
  EXPECT_THAT(cut.output, HasSubstr("of the 100 messages"));
  EXPECT_THAT(cut.output, HasSubstr("cannot be read in full"));
  EXPECT_THAT(cut.output, Not(HasSubstr("Messages:          100\n")));
}

}  // namespace
}  // namespace orvalt::ros2
