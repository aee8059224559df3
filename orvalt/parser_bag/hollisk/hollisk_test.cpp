#include "orvalt/parser_bag/hollisk/hollisk.hpp"

#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvalt/ros2/bag_reader.hpp"
#include "orvalt/testing/bags/test_bag.hpp"
#include "orvalt/testing/fixtures.hpp"
#include "orvalt/testing/log_capture.hpp"
#include "orvalt/testing/program_run.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::parser_bag {
namespace {

namespace fs = std::filesystem;
using orvalt::testing::image_message;
using orvalt::testing::TestBag;
using orvalt::testing::tf_message;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr std::int64_t kSecond = 1000000000;
constexpr const char* kLogger = "orvalt.parser_bag.hollisk";

struct Stored {
  std::string topic;
  std::string msgtype;
  std::int64_t timestamp;
  ros2::Bytes data;
};

std::vector<Stored> read_all(const fs::path& bag) {
  ros2::BagReader reader(bag);
  std::vector<Stored> messages;
  auto stream = reader.messages();
  while (auto message = stream.next()) {
    messages.push_back({message->connection->topic, message->connection->msgtype,
                        message->timestamp, message->data});
  }
  return messages;
}

// A bag whose first message is recorded at `start` seconds.
void write_bag_starting_at(const fs::path& directory, std::int64_t start,
                           const std::string& storage = "sqlite3") {
  TestBag bag(directory, storage);
  bag.write("/tf", start * kSecond, tf_message("odom", "base_footprint", start * kSecond, 1.0));
}

class HolliskTest : public ::testing::Test {
 protected:
  HolliskTest() : log_(kLogger) { fs::create_directories(bags()); }
  fs::path bags() const { return dir_ / "bags"; }
  fs::path out() const { return dir_ / "re"; }

  orvalt::testing::TempDir dir_;
  orvalt::testing::LogCapture log_;
};

// The same in both storages; the output keeps the input's.
class HolliskStorageTest : public HolliskTest, public ::testing::WithParamInterface<std::string> {};

TEST_F(HolliskTest, BagsAreTakenInStartTimeOrderAndOnesWithoutMetadataAreSkipped) {
  write_bag_starting_at(bags() / "a", 200);
  write_bag_starting_at(bags() / "b", 100, "mcap");
  fs::create_directories(bags() / "c");
  std::ofstream(bags() / "notes.txt") << "not a bag";

  const Hollisk hollisk(bags(), out());
  EXPECT_THAT(hollisk.bag_file_paths(), ElementsAre(out() / "b_reindex", out() / "a_reindex"));
  EXPECT_TRUE(log_.contains("[info] Warning: Missing metadata.yaml in " + (bags() / "c").string()));
  EXPECT_FALSE(log_.contains("notes.txt"));
  EXPECT_TRUE(log_.contains("[info] reindex_bag: " + out().string()));
  EXPECT_TRUE(log_.contains("[info] sorted_bags: [" + (bags() / "b").string() + ", " +
                            (bags() / "a").string() + "]"));
  EXPECT_TRUE(log_.contains("[info] bag_file_paths: [" + (out() / "b_reindex").string() + ", " +
                            (out() / "a_reindex").string() + "]"));
  EXPECT_EQ(ros2::BagReader(out() / "b_reindex").info().storage_identifier, "mcap");
  EXPECT_EQ(ros2::BagReader(out() / "a_reindex").info().storage_identifier, "sqlite3");
}

TEST_F(HolliskTest, ASecondRunReusesTheOutputsAsTheyAre) {
  write_bag_starting_at(bags() / "a", 200);
  write_bag_starting_at(bags() / "b", 100);
  const Hollisk first(bags(), out());
  std::ofstream(out() / "a_reindex" / "marker") << "left by the first run";
  const Hollisk second(bags(), out());
  EXPECT_EQ(second.bag_file_paths(), first.bag_file_paths());
  EXPECT_TRUE(log_.contains("[info] Skip a, output [reindex] already exists"));
  EXPECT_TRUE(log_.contains("[info] Skip b, output [reindex] already exists"));
  EXPECT_TRUE(fs::exists(out() / "a_reindex" / "marker"));
  EXPECT_TRUE(second._process_single_bag(bags() / "a", out() / "a_reindex"));
  EXPECT_TRUE(log_.contains("[info] Skipping a, output already exists"));
}

TEST_F(HolliskTest, MetadataWithoutAStartTimeIsLoggedAndSkipped) {
  write_bag_starting_at(bags() / "good", 100);
  fs::create_directories(bags() / "no_start");
  std::ofstream(bags() / "no_start" / "metadata.yaml")
      << "rosbag2_bagfile_information:\n  version: 5\n";
  fs::create_directories(bags() / "broken");
  std::ofstream(bags() / "broken" / "metadata.yaml") << "rosbag2_bagfile_information: [1, 2\n";
  const Hollisk hollisk(bags(), out());
  EXPECT_THAT(hollisk.bag_file_paths(), ElementsAre(out() / "good_reindex"));
  EXPECT_TRUE(log_.contains("[info] Error reading " +
                            (bags() / "no_start" / "metadata.yaml").string() +
                            ": missing key 'starting_time'"));
  EXPECT_TRUE(
      log_.contains("[info] Error reading " + (bags() / "broken" / "metadata.yaml").string()));

  EXPECT_THAT(hollisk.failed_bags(), ElementsAre(bags() / "broken", bags() / "no_start"));
}

TEST_F(HolliskTest, MetadataThatIsNoMapSkipsOnlyItsBag) {
  write_bag_starting_at(bags() / "good", 100);
  fs::create_directories(bags() / "list");
  std::ofstream(bags() / "list" / "metadata.yaml") << "- 1\n- 2\n";
  const Hollisk hollisk(bags(), out());
  EXPECT_THAT(hollisk.bag_file_paths(), ElementsAre(out() / "good_reindex"));
  EXPECT_THAT(hollisk.failed_bags(), ElementsAre(bags() / "list"));
  EXPECT_TRUE(log_.contains("[info] Error reading " + (bags() / "list" / "metadata.yaml").string() +
                            ": it does not hold a YAML map"));
}

TEST_F(HolliskTest, AnOutputLeftIncompleteByAnInterruptedRunIsRedone) {
  write_bag_starting_at(bags() / "a", 100);
  // What a run killed while copying left: the bag folder without metadata.yaml, and the
  // staging folder of a second attempt.
  fs::create_directories(out() / "a_reindex");
  std::ofstream(out() / "a_reindex" / "a_reindex_0.db3") << "half a database";
  fs::create_directories(out() / ".a_reindex.partial" / "a_reindex");
  const Hollisk hollisk(bags(), out());
  EXPECT_THAT(hollisk.bag_file_paths(), ElementsAre(out() / "a_reindex"));
  EXPECT_TRUE(log_.contains("[info] Redo a: " + (out() / "a_reindex").string() +
                            " has no metadata.yaml, an interrupted run left it incomplete"));
  EXPECT_FALSE(log_.contains("Skip a"));
  EXPECT_EQ(read_all(out() / "a_reindex").size(), 1u);
  EXPECT_FALSE(fs::exists(out() / ".a_reindex.partial"));
  EXPECT_TRUE(hollisk.failed_bags().empty());
}

TEST_P(HolliskStorageTest, MessagesGetTheirHeaderStampsAndKeepTheirBytes) {
  auto image = image_message(12 * kSecond + 5, 4, 2, "bgr8", 9);
  const auto tf = tf_message("odom", "base_footprint", 30 * kSecond, 1.0);
  {
    TestBag bag(bags() / "run", GetParam());
    bag.write("/tf", 40 * kSecond, tf);
    bag.write("/camera", 50 * kSecond, image);
    bag.write("/camera", 51 * kSecond, image_message(11 * kSecond, 4, 2, "bgr8", 3));
  }
  const Hollisk hollisk(bags(), out());
  ASSERT_EQ(hollisk.bag_file_paths().size(), 1u);
  const auto messages = read_all(out() / "run_reindex");
  ASSERT_EQ(messages.size(), 3u);
  // Ordered by the new stamps: the later-recorded image was captured first.
  EXPECT_EQ(messages[0].timestamp, 11 * kSecond);
  EXPECT_EQ(messages[1].timestamp, 12 * kSecond + 5);
  EXPECT_EQ(messages[1].data, image.encode());
  // A transform message has no header: it keeps its recording time.
  EXPECT_EQ(messages[2].timestamp, 40 * kSecond);
  EXPECT_EQ(messages[2].data, tf.encode());
  EXPECT_EQ(messages[2].msgtype, "tf2_msgs/msg/TFMessage");

  ros2::BagReader output(out() / "run_reindex");
  EXPECT_EQ(output.info().storage_identifier, GetParam());
  EXPECT_EQ(output.connections().size(), 2u);
  if (GetParam() == "mcap") {
    for (const auto& connection : output.connections()) {
      EXPECT_FALSE(connection.message_definition.empty()) << connection.topic;
    }
  }
}

TEST_P(HolliskStorageTest, ACorruptMessageFailsItsBagAndLeavesNoOutput) {
  auto truncated = image_message(kSecond, 4, 2, "bgr8").encode();
  truncated.resize(truncated.size() - 5);
  {
    TestBag bag(bags() / "bad", GetParam());
    bag.write("/tf", kSecond, tf_message("odom", "base_footprint", kSecond, 1.0));
    bag.write_raw("/camera", "sensor_msgs/msg/Image", 2 * kSecond, truncated);
  }
  write_bag_starting_at(bags() / "good", 5, GetParam());
  const Hollisk hollisk(bags(), out());
  EXPECT_THAT(hollisk.bag_file_paths(), ElementsAre(out() / "good_reindex"));
  EXPECT_FALSE(fs::exists(out() / "bad_reindex"));
  EXPECT_FALSE(fs::exists(out() / ".bad_reindex.partial"));
  EXPECT_TRUE(log_.contains("[info] Error processing " + (bags() / "bad").string() + ": "));
  EXPECT_TRUE(log_.contains("[info] Failed to process bad"));
}

TEST_P(HolliskStorageTest, AMessageTooShortForItsHeaderFailsItsBag) {
  {
    TestBag bag(bags() / "short", GetParam());
    // A stamped type the data layer does not decode, cut off inside its stamp.
    bag.write_raw("/pose", "geometry_msgs/msg/PoseStamped", kSecond, {0, 1, 0, 0, 7, 0});
  }
  const Hollisk hollisk(bags(), out());
  EXPECT_TRUE(hollisk.bag_file_paths().empty());
  EXPECT_FALSE(fs::exists(out() / "short_reindex"));
  EXPECT_TRUE(log_.contains("[info] Failed to process short"));
}

TEST_P(HolliskStorageTest, ACustomTypeIsCopiedUnchangedWithOneWarningPerTopic) {
  const ros2::Bytes first = {0, 1, 0, 0, 1, 2, 3, 4, 5};
  const ros2::Bytes second = {0, 1, 0, 0, 9, 8, 7};
  {
    TestBag bag(bags() / "custom", GetParam());
    bag.write_raw("/thing", "my_pkg/msg/Thing", 3 * kSecond, first);
    bag.write_raw("/thing", "my_pkg/msg/Thing", 4 * kSecond, second);
    bag.write_raw("/other", "my_pkg/msg/Other", 5 * kSecond, second);
    bag.write("/camera", 6 * kSecond, image_message(kSecond, 2, 2, "mono16"));
  }
  const Hollisk hollisk(bags(), out());
  ASSERT_EQ(hollisk.bag_file_paths().size(), 1u);
  const auto messages = read_all(out() / "custom_reindex");
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_EQ(messages[0].topic, "/camera");
  EXPECT_EQ(messages[0].timestamp, kSecond);
  EXPECT_EQ(messages[1].timestamp, 3 * kSecond);
  EXPECT_EQ(messages[1].data, first);
  EXPECT_EQ(messages[1].msgtype, "my_pkg/msg/Thing");
  EXPECT_EQ(messages[2].timestamp, 4 * kSecond);
  EXPECT_EQ(messages[2].data, second);
  EXPECT_EQ(log_.count("[warning] Topic /thing has type my_pkg/msg/Thing, whose definition is "
                       "unknown: its messages are copied unchanged with their bag timestamps"),
            1);
  EXPECT_EQ(log_.count("[warning] Topic /other has type my_pkg/msg/Other"), 1);
  EXPECT_EQ(log_.count("[warning] Topic /camera"), 0);
}

TEST_F(HolliskTest, ACustomTypeWithAStampedSchemaGetsItsHeaderStamp) {
  const std::string definition = "std_msgs/Header header\nfloat64 value\n";
  ros2::std_msgs::Header header;
  header.stamp = orvalt::testing::stamp_at(7 * kSecond + 3);
  ros2::sensor_msgs::Image carrier;  // its encoding starts with the same header
  carrier.header = header;
  {
    TestBag bag(bags() / "schema", "mcap");
    bag.write_raw("/stamped", "my_pkg/msg/Stamped", 9 * kSecond, carrier.encode(), definition);
  }
  const Hollisk hollisk(bags(), out());
  const auto messages = read_all(out() / "schema_reindex");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].timestamp, 7 * kSecond + 3);
  EXPECT_FALSE(log_.contains("[warning]"));
  ros2::BagReader output(out() / "schema_reindex");
  EXPECT_EQ(output.connections().at(0).message_definition, definition);
}

INSTANTIATE_TEST_SUITE_P(BothStorages, HolliskStorageTest, ::testing::Values("sqlite3", "mcap"));

// --- real recordings --------------------------------------------------------------------

TEST(HolliskRealBagTest, EveryRealBagWithMetadataIsReindexed) {
  const auto real = orvalt::testing::real_bags_dir();
  if (!real) GTEST_SKIP() << orvalt::testing::kNoRealBags;
  orvalt::testing::LogCapture log(kLogger);
  orvalt::testing::TempDir dir;
  std::vector<fs::path> with_metadata;
  for (const auto& entry : fs::directory_iterator(*real)) {
    if (!entry.is_directory()) continue;
    if (fs::exists(entry.path() / "metadata.yaml")) with_metadata.push_back(entry.path());
  }
  const Hollisk hollisk(*real, dir / "re");
  EXPECT_EQ(hollisk.bag_file_paths().size(), with_metadata.size()) << log.text();
  for (const auto& input : with_metadata) {
    const auto output = dir / "re" / (input.filename().string() + "_reindex");
    ASSERT_TRUE(fs::exists(output)) << input << "\n" << log.text();
    const ros2::BagReader in(input);
    const ros2::BagReader out(output);
    EXPECT_EQ(out.info().message_count, in.info().message_count) << input;
    EXPECT_EQ(out.info().storage_identifier, in.info().storage_identifier) << input;
  }
  EXPECT_TRUE(log.contains("Warning: Missing metadata.yaml in " +
                           (*real / "nometa_mcap_tf_odom_nav2").string()));

  // IMU stamps of this recording are simulation time, far from the wall-clock bag times.
  const auto imu = read_all(dir / "re" / "v9_mcap_imu_jointstate_reindex");
  ASSERT_FALSE(imu.empty());
  EXPECT_LT(imu.front().timestamp, 1000 * kSecond);
  // Stamps whose nanosecond field exceeds a second: (0, 2000000000) is 2 s.
  const auto images = read_all(dir / "re" / "v5_sqlite3_schema2_image_2x2_reindex");
  ASSERT_EQ(images.size(), 3u);
  EXPECT_EQ(images[2].timestamp, 2 * kSecond);
}

// --- the program ------------------------------------------------------------------------

// Runs the program in `directory`, as a user does from the folder that holds the bags.
orvalt::testing::ProgramRun run_hollisk(const fs::path& directory,
                                        const std::vector<std::string>& arguments) {
  orvalt::testing::ProgramOptions options;
  options.working_dir = directory;
  return orvalt::testing::run_program("hollisk", arguments, options);
}

TEST(HolliskProgramTest, ReindexesTheDefaultDirectoriesAndListsTheResult) {
  orvalt::testing::TempDir dir;
  write_bag_starting_at(dir / "bag" / "x", 10);
  const orvalt::testing::ProgramRun run = run_hollisk(dir.path(), {});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_THAT(run.output, HasSubstr("Reindexed 1 bags:"));
  EXPECT_THAT(run.output, HasSubstr("reindex bag path =  ./reindex_bag/x_reindex"));
  EXPECT_TRUE(fs::exists(dir / "reindex_bag" / "x_reindex" / "metadata.yaml"));
}

TEST(HolliskProgramTest, ABadBagIsSkippedTheOthersAreDoneAndTheStatusSaysSo) {
  orvalt::testing::TempDir dir;
  write_bag_starting_at(dir / "bag" / "x", 10);
  fs::create_directories(dir / "bag" / "bad");
  std::ofstream(dir / "bag" / "bad" / "metadata.yaml") << "just text\n";
  const orvalt::testing::ProgramRun run = run_hollisk(dir.path(), {});
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_THAT(run.output, HasSubstr("Error reading ./bag/bad/metadata.yaml"));
  EXPECT_THAT(run.output, HasSubstr("reindex bag path =  ./reindex_bag/x_reindex"));
  EXPECT_THAT(run.output, HasSubstr("Failed to reindex 1 bags: [./bag/bad]"));
  EXPECT_TRUE(fs::exists(dir / "reindex_bag" / "x_reindex" / "metadata.yaml"));
}

TEST(HolliskProgramTest, AMissingInputDirectoryIsAFatalError) {
  orvalt::testing::TempDir dir;
  const orvalt::testing::ProgramRun run =
      run_hollisk(dir.path(), {"--bag_dir", "missing", "--reindex_bag", "out"});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.output, HasSubstr("Fatal error: "));
}

}  // namespace
}  // namespace orvalt::parser_bag
