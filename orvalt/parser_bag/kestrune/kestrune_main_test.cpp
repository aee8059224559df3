// The kestrune command as a user runs it: reindex a directory of bags, parse the earliest.
#include <fstream>
#include <set>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvalt/testing/bags/test_bag.hpp"
#include "orvalt/testing/program_run.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::parser_bag {
namespace {

namespace fs = std::filesystem;
using orvalt::testing::image_message;
using orvalt::testing::ProgramRun;
using orvalt::testing::tf_message;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr std::int64_t kSecond = 1000000000;
const std::string kColourTopic = "/QuillonNode/rectify_left_image";
const std::string kDepthTopic = "/QuillonNode/quillon_depth";

// Runs the program in `directory`, as a user does from the folder that holds the bags.
ProgramRun run_kestrune(const fs::path& directory, const std::vector<std::string>& arguments) {
  orvalt::testing::ProgramOptions options;
  options.working_dir = directory;
  return orvalt::testing::run_program("kestrune", arguments, options);
}

// 30 colour and depth pairs with the default topic names, from `start` seconds on, recorded
// 40 ms late, with odometry `parent` -> `child` over the same time.
void write_quillon_bag(const fs::path& directory, std::int64_t start, const std::string& parent,
                       const std::string& child, const std::string& storage = "sqlite3") {
  orvalt::testing::TestBag bag(directory, storage);
  const std::int64_t late = 40000000;
  bag.write("/tf_static", start * kSecond, tf_message(child, "camera", 0, 0.1));
  for (int k = 0; k <= 32; ++k) {
    const std::int64_t stamp = start * kSecond + k * kSecond / 10;
    bag.write("/tf", stamp + late, tf_message(parent, child, stamp, 0.01 * k));
  }
  ros2::sensor_msgs::CameraInfo info;
  info.header.stamp = orvalt::testing::stamp_at(start * kSecond);
  info.width = 8;
  info.height = 6;
  bag.write("/QuillonNode/quillon_depth/camera_info", start * kSecond + late, info);
  ros2::sensor_msgs::PointCloud2 cloud;
  cloud.header.stamp = orvalt::testing::stamp_at(start * kSecond + kSecond / 2);
  bag.write("/QuillonNode/quillon_pointcloud2", start * kSecond + kSecond / 2 + late, cloud);
  for (int i = 0; i < 30; ++i) {
    const std::int64_t stamp = start * kSecond + kSecond / 20 + i * kSecond / 10;
    bag.write(kColourTopic, stamp + late, image_message(stamp, 8, 6, "rgb8"));
    bag.write(kDepthTopic, stamp + 2 * late, image_message(stamp, 8, 6, "32FC1"));
  }
}

std::set<std::string> png_stamps(const fs::path& directory) {
  std::set<std::string> stamps;
  for (const auto& entry : fs::directory_iterator(directory)) {
    const std::string name = entry.path().filename().string();
    stamps.insert(name.substr(0, name.find('.')));
  }
  return stamps;
}

TEST(KestruneProgramTest, ReindexesEveryBagAndParsesTheEarliest) {
  orvalt::testing::TempDir dir;
  fs::create_directories(dir / "bags");
  fs::create_directories(dir / "out");
  write_quillon_bag(dir / "bags" / "a_late", 300, "odom", "base_footprint");
  write_quillon_bag(dir / "bags" / "b_first", 100, "odom", "base_footprint", "mcap");
  write_quillon_bag(dir / "bags" / "c_middle", 200, "odom", "base_footprint");

  const ProgramRun run = run_kestrune(
      dir.path(), {"--bag_dir", "bags", "--reindex_bag", "re", "--parser_output_dir", "out"});
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_THAT(run.output, HasSubstr("Reindexed 3 bags:"));
  const auto first = run.output.find("reindex bag path =  re/b_first_reindex");
  const auto second = run.output.find("reindex bag path =  re/c_middle_reindex");
  const auto third = run.output.find("reindex bag path =  re/a_late_reindex");
  EXPECT_NE(first, std::string::npos) << run.output;
  EXPECT_LT(first, second);
  EXPECT_LT(second, third);
  EXPECT_THAT(run.output, HasSubstr("Output dir: out"));
  EXPECT_THAT(run.output, HasSubstr("Start parsing Bag: b_first_reindex"));
  EXPECT_THAT(run.output, Not(HasSubstr("Start parsing Bag: c_middle_reindex")));
  EXPECT_TRUE(fs::exists(dir / "re" / "a_late_reindex" / "metadata.yaml"));

  // Only the earliest bag's captures, colour and depth paired by name.
  const auto colour = png_stamps(dir / "out" / "QuillonNode_rectify_left_image");
  EXPECT_EQ(colour.size(), 30u);
  EXPECT_EQ(*colour.begin(), std::to_string(100 * kSecond + kSecond / 20));
  EXPECT_EQ(colour, png_stamps(dir / "out" / "QuillonNode_quillon_depth"));
  EXPECT_TRUE(
      fs::exists(dir / "out" / "QuillonNode_quillon_depth_camera_info" / "camera_info.yaml"));
  EXPECT_TRUE(fs::exists(dir / "out" / "odom_pose.csv"));
}

TEST(KestruneProgramTest, FramesComeFromTheOptions) {
  orvalt::testing::TempDir dir;
  fs::create_directories(dir / "bags");
  fs::create_directories(dir / "out");
  write_quillon_bag(dir / "bags" / "run", 100, "map", "base_link");
  const ProgramRun run =
      run_kestrune(dir.path(), {"--bag_dir", "bags", "--reindex_bag", "re", "--parser_output_dir",
                                "out", "--base_frame", "base_link", "--global_frame", "map"});
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_THAT(run.output, HasSubstr("TF tree is complete"));
  EXPECT_EQ(png_stamps(dir / "out" / "QuillonNode_rectify_left_image").size(), 30u);
}

TEST(KestruneProgramTest, AnEmptyBagDirectoryStillPreparesTheOutputTree) {
  orvalt::testing::TempDir dir;
  fs::create_directories(dir / "bags");
  fs::create_directories(dir / "out" / "QuillonNode_quillon_depth");
  std::ofstream(dir / "out" / "QuillonNode_quillon_depth" / "old.png") << "old";
  const ProgramRun run = run_kestrune(
      dir.path(), {"--bag_dir", "bags", "--reindex_bag", "new/re", "--parser_output_dir", "out"});
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_THAT(run.output, HasSubstr("Reindexed 0 bags:"));
  EXPECT_THAT(run.output, HasSubstr("Output dir: out"));
  EXPECT_THAT(run.output, HasSubstr("No bag file to parse."));
  EXPECT_TRUE(fs::is_directory(dir / "new" / "re"));
  for (const char* topic_dir :
       {"QuillonNode_rectify_left_image", "QuillonNode_quillon_pointcloud2",
        "QuillonNode_quillon_depth", "QuillonNode_quillon_depth_camera_info"}) {
    EXPECT_TRUE(fs::is_directory(dir / "out" / topic_dir)) << topic_dir;
    EXPECT_TRUE(fs::is_empty(dir / "out" / topic_dir)) << topic_dir;
  }
}

TEST(KestruneProgramTest, AFailedParseEndsWithStatusOneAndItsReason) {
  orvalt::testing::TempDir dir;
  fs::create_directories(dir / "bags");
  fs::create_directories(dir / "out");
  write_quillon_bag(dir / "bags" / "run", 100, "odom", "base_footprint");
  const auto with_dirs = [](std::vector<std::string> arguments) {
    for (const char* word :
         {"--bag_dir", "bags", "--reindex_bag", "re", "--parser_output_dir", "out"})
      arguments.push_back(word);
    return arguments;
  };

  const ProgramRun missing_topic =
      run_kestrune(dir.path(), with_dirs({"--camera_color_topic", "/x"}));
  EXPECT_EQ(missing_topic.status, 1) << missing_topic.output;
  EXPECT_THAT(missing_topic.output,
              HasSubstr("Bag run_reindex is not valid, it is missing topics"));

  const ProgramRun broken_tree = run_kestrune(dir.path(), with_dirs({"--global_frame", "map"}));
  EXPECT_EQ(broken_tree.status, 1) << broken_tree.output;
  EXPECT_THAT(broken_tree.output, HasSubstr("Need to connect: map → base_footprint"));

  // The disk fills up before the pose file is written.
  fs::create_symlink("/dev/full", dir / "out" / "odom_pose.csv");
  const ProgramRun full_disk = run_kestrune(dir.path(), with_dirs({}));
  EXPECT_EQ(full_disk.status, 1) << full_disk.output;
  EXPECT_THAT(full_disk.output, HasSubstr("Cannot write pose file out/odom_pose.csv"));
}

TEST(KestruneProgramTest, MissingDirectoriesEndWithAnError) {
  orvalt::testing::TempDir dir;
  const ProgramRun no_bags = run_kestrune(
      dir.path(), {"--bag_dir", "nothing", "--reindex_bag", "re", "--parser_output_dir", "."});
  EXPECT_NE(no_bags.status, 0);
  EXPECT_THAT(no_bags.output, HasSubstr("Bag directory does not exist: nothing"));
  EXPECT_FALSE(fs::exists(dir / "re"));

  fs::create_directories(dir / "bags");
  const ProgramRun no_output = run_kestrune(
      dir.path(), {"--bag_dir", "bags", "--reindex_bag", "re", "--parser_output_dir", "out"});
  EXPECT_NE(no_output.status, 0);
  EXPECT_THAT(no_output.output, HasSubstr("Save dir out does not exist or is not a directory"));
  EXPECT_FALSE(fs::exists(dir / "out"));
}

}  // namespace
}  // namespace orvalt::parser_bag
