#include "orvalt/parser_bag/kestrune/bag_parser.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <set>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "orvalt/calibration/utils/utils.hpp"
#include "orvalt/common/file_not_found_error.hpp"
#include "orvalt/testing/bags/test_bag.hpp"
#include "orvalt/testing/fixtures.hpp"
#include "orvalt/testing/log_capture.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::parser_bag {
namespace {

namespace fs = std::filesystem;
using orvalt::testing::image_message;
using orvalt::testing::stamp_at;
using orvalt::testing::tf_message;

constexpr std::int64_t kSecond = 1000000000;
constexpr std::int64_t kTenth = kSecond / 10;
const std::string kGap17(17, ' ');
// File stem of the first frame of a test recording (1.05 s, x = 1.05).
const std::string kFirstFrameStem =
    "1050000000.1.050000_0.000000_0.000000_1.000000_0.000000_0.000000_0.000000";

// What a test recording holds. Odometry odom -> base_footprint runs every 0.1 s from 1 s
// (x = stamp in seconds), far enough to cover every frame and cloud.
struct Recording {
  std::string storage = "sqlite3";
  int frames = 30;                  // colour and depth images with equal stamps, 1.05 s + 0.1 s i
  int frames_outside = 0;           // colour images stamped before the odometry starts
  int clouds = 0;                   // 3-point clouds, 1.02 s + 0.1 s i
  bool odometry = true;             // false: the transforms never reach odom
  bool second_camera_info = false;  // /info2, recorded before /info
  bool nan_transform = false;       // one /tf sample with a NaN translation, at 1.23 s
};

std::vector<std::string> topics_of(const Recording& recording) {
  std::vector<std::string> topics = {"/tf", "/tf_static", "/color", "/depth", "/info"};
  if (recording.clouds > 0) topics.push_back("/cloud");
  if (recording.second_camera_info) topics.push_back("/info2");
  return topics;
}

ros2::sensor_msgs::CameraInfo camera_info(std::int64_t stamp, std::uint32_t width) {
  ros2::sensor_msgs::CameraInfo info;
  info.header.stamp = stamp_at(stamp);
  info.width = width;
  info.height = 6;
  info.distortion_model = "plumb_bob";
  info.d = {0.1, 0.2, 0.0, 0.0, 0.3};
  info.k = {500, 0, 4, 0, 501, 3, 0, 0, 1};
  return info;
}

ros2::sensor_msgs::PointCloud2 small_cloud(std::int64_t stamp) {
  ros2::sensor_msgs::PointCloud2 cloud;
  cloud.header.stamp = stamp_at(stamp);
  cloud.width = 3;
  cloud.height = 1;
  cloud.point_step = 12;
  cloud.row_step = 36;
  cloud.is_dense = true;
  for (const char* name : {"x", "y", "z"}) {
    cloud.fields.push_back({name, static_cast<std::uint32_t>(cloud.fields.size()) * 4,
                            ros2::sensor_msgs::PointField::FLOAT32, 1});
  }
  const std::vector<float> values = {0, 0, 1, 1, 0, 1, 0, 1, 1};
  cloud.data.resize(36);
  std::memcpy(cloud.data.data(), values.data(), 36);
  return cloud;
}

fs::path write_recording(const fs::path& directory, const Recording& recording) {
  orvalt::testing::TestBag bag(directory, recording.storage);
  bag.write("/tf_static", kSecond / 2, tf_message("base_footprint", "camera", 0, 0.1, 0, 0.5));
  const int samples = std::max(recording.frames, recording.clouds) + 2;
  const std::string parent = recording.odometry ? "odom" : "map";
  for (int k = 0; k < samples; ++k) {
    const std::int64_t stamp = kSecond + k * kTenth;
    bag.write("/tf", stamp, tf_message(parent, "base_footprint", stamp, double(stamp) / kSecond));
  }
  if (recording.nan_transform) {
    const std::int64_t stamp = kSecond + 23 * kSecond / 100;
    bag.write("/tf", stamp, tf_message(parent, "base_footprint", stamp, std::nan("")));
  }
  if (recording.second_camera_info) bag.write("/info2", kSecond / 4, camera_info(0, 32));
  bag.write("/info", kSecond, camera_info(kSecond, 8));
  bag.write("/info", 2 * kSecond, camera_info(2 * kSecond, 16));
  for (int i = 0; i < recording.frames; ++i) {
    const std::int64_t stamp = kSecond + kTenth / 2 + i * kTenth;
    // Recorded late, as real drivers do; the parser goes by the header stamps.
    bag.write("/color", stamp + 7000000, image_message(stamp, 8, 6, "bgr8", std::uint8_t(i)));
    bag.write("/depth", stamp + 9000000, image_message(stamp, 8, 6, "16UC1", std::uint8_t(i)));
  }
  for (int i = 0; i < recording.frames_outside; ++i) {
    const std::int64_t stamp = kSecond / 2 + i * 1000000;
    bag.write("/color", stamp, image_message(stamp, 8, 6, "bgr8"));
  }
  for (int i = 0; i < recording.clouds; ++i) {
    const std::int64_t stamp = kSecond + kTenth / 5 + i * kTenth;
    bag.write("/cloud", stamp, small_cloud(stamp));
  }
  bag.close();
  return directory;
}

std::set<std::string> file_names(const fs::path& directory) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

class BagParserTest : public ::testing::TestWithParam<std::string> {
 protected:
  BagParserTest() : log_("orvalt.parser_bag.kestrune") { fs::create_directories(out_dir()); }

  fs::path record(Recording recording) {
    recording.storage = GetParam();
    return write_recording(dir_ / "run", recording);
  }
  fs::path out_dir() const { return dir_ / "out"; }
  std::unique_ptr<BagParser> parser(const Recording& recording, bool debug = true) const {
    return std::make_unique<BagParser>(topics_of(recording), "odom", "base_footprint", out_dir(),
                                       debug);
  }

  orvalt::testing::TempDir dir_;
  orvalt::testing::LogCapture log_;
};

TEST_P(BagParserTest, WritesPoseNamedFilesWithEqualNamesForEqualStamps) {
  const Recording recording;
  const auto bag = record(recording);
  auto bag_parser = parser(recording);
  ASSERT_TRUE(bag_parser->parse_bag(bag)) << log_.text();
  EXPECT_EQ(bag_parser->parser_sensor_data_num(), 60);
  EXPECT_EQ(bag_parser->valid_sensor_data_num(), 60);

  // parse_bag waits for its files: they are there before the parser goes.
  const auto colour = file_names(out_dir() / "color");
  const auto depth = file_names(out_dir() / "depth");
  EXPECT_EQ(colour.size(), 30u);
  EXPECT_EQ(colour, depth);
  // Frame 0 is stamped 1.05 s, halfway between odometry samples at x = 1.0 and x = 1.1.
  EXPECT_TRUE(colour.count(
      "1050000000.1.050000_0.000000_0.000000_1.000000_0.000000_0.000000_0.000000.png"));
  EXPECT_TRUE(log_.contains("[info] ✅ TF tree is complete: odom <-> base_footprint is connected"));
  EXPECT_TRUE(log_.contains("[info] Total parsed sensor messages: 60," + kGap17 +
                            "valid sensor messages: 60," + kGap17 + "ratio: 1.0000"));
  EXPECT_TRUE(log_.contains("[info] Start parsing Bag: run"));
  EXPECT_FALSE(log_.contains("went backwards"));
  EXPECT_TRUE(bag_parser->backward_stamps().counts().empty());

  // The first camera info only.
  const YAML::Node info = YAML::LoadFile((out_dir() / "info" / "camera_info.yaml").string());
  EXPECT_EQ(info["width"].as<int>(), 8);
  EXPECT_DOUBLE_EQ(info["fy"].as<double>(), 501.0);
  EXPECT_EQ(file_names(out_dir() / "info"), std::set<std::string>{"camera_info.yaml"});

  // Colour and depth of one capture share a pose: one row each.
  const auto poses = calibration::Utils::load_csv_to_pose_list(out_dir() / "odom_pose.csv");
  ASSERT_EQ(poses.pose_list.size(), 30u);
  EXPECT_EQ(poses.pose_list.front().timestamp, 1050000000);
  EXPECT_NEAR(poses.pose_list.front().tx, 1.05, 1e-9);
  EXPECT_DOUBLE_EQ(poses.pose_list.front().qw, 1.0);

  // The odometry at its own rate: every odom -> base_footprint stamp (10 Hz here), not the
  // static camera transform's.
  const auto& track = bag_parser->odometry_track();
  ASSERT_EQ(track.size(), 32u);
  for (std::size_t k = 0; k < track.size(); ++k) {
    EXPECT_EQ(track[k].timestamp, kSecond + static_cast<std::int64_t>(k) * kTenth);
    EXPECT_NEAR(track[k].tx, double(track[k].timestamp) / kSecond, 1e-9);
  }

  // The manager is shut down once the parse is over.
  EXPECT_FALSE(bag_parser->tf_mgr().get_odom_info(stamp_at(1050000000), "base_footprint", "odom"));
}

TEST_P(BagParserTest, ABagMissingAConfiguredTopicIsRejected) {
  Recording recording;
  recording.frames = 5;
  const auto bag = record(recording);
  auto topics = topics_of(recording);
  topics.push_back("/lidar");
  BagParser bag_parser(topics, "odom", "base_footprint", out_dir());
  EXPECT_FALSE(bag_parser.parse_bag(bag));
  EXPECT_TRUE(log_.contains(
      "[warning] Bag run is not valid, it is missing topics: [/tf, /tf_static, /color, /depth, "
      "/info, /lidar]"));
  EXPECT_TRUE(fs::is_empty(out_dir() / "color"));
}

TEST_P(BagParserTest, ABrokenTransformTreeWritesNoSensorFile) {
  Recording recording;
  recording.odometry = false;
  const auto bag = record(recording);
  auto bag_parser = parser(recording);
  EXPECT_FALSE(bag_parser->parse_bag(bag));
  bag_parser.reset();
  EXPECT_TRUE(log_.contains("[error] Need to connect: odom → base_footprint"));
  EXPECT_TRUE(log_.contains("[error] ❌ TF tree is broken: "));
  EXPECT_FALSE(log_.contains("Total parsed sensor messages"));
  EXPECT_TRUE(fs::is_empty(out_dir() / "color"));
  EXPECT_TRUE(fs::is_empty(out_dir() / "depth"));
  EXPECT_FALSE(fs::exists(out_dir() / "odom_pose.csv"));
}

TEST_P(BagParserTest, FiftyPosedMessagesAreNeeded) {
  Recording recording;
  recording.frames = 24;         // 48 posed images
  recording.frames_outside = 3;  // stamped before the odometry: no pose
  recording.clouds = 1;          // posed: 49 in all
  auto bag_parser = parser(recording);
  EXPECT_FALSE(bag_parser->parse_bag(record(recording)));
  EXPECT_EQ(bag_parser->parser_sensor_data_num(), 52);
  EXPECT_EQ(bag_parser->valid_sensor_data_num(), 49);
  const std::string gap19(19, ' ');
  EXPECT_TRUE(log_.contains(
      "[warning] Total parsed sensor messages=52," + gap19 +
      "but the number of valid data is less than 50." + gap19 +
      "Please use the following commands for inspection:" + gap19 +
      "ros2 topic delay -w 5 /odom and ros2 run tf2_ros tf2_echo base_footprint odom"));
  EXPECT_TRUE(
      log_.contains("[debug] Failed to get odom position info for /color from frame: "
                    "base_footprint to odom"));
  // A failed parse does not wait for its files, but the parser writes them before it goes.
  bag_parser.reset();
  EXPECT_EQ(file_names(out_dir() / "color").size(), 24u);
  EXPECT_EQ(file_names(out_dir() / "cloud").size(), 1u);
  // The pose file is written all the same; images outside the odometry have no row.
  EXPECT_EQ(calibration::Utils::load_csv_to_pose_list(out_dir() / "odom_pose.csv").pose_list.size(),
            25u);

  fs::remove_all(dir_ / "run");
  recording.clouds = 2;
  auto enough = parser(recording);
  EXPECT_TRUE(enough->parse_bag(record(recording)));
  EXPECT_EQ(enough->valid_sensor_data_num(), 50);
}

TEST_P(BagParserTest, AtMostElevenCloudsAreWrittenButAllArePosed) {
  Recording recording;
  recording.frames = 20;
  recording.clouds = 20;
  auto bag_parser = parser(recording);
  ASSERT_TRUE(bag_parser->parse_bag(record(recording))) << log_.text();
  EXPECT_EQ(bag_parser->valid_sensor_data_num(), 60);
  EXPECT_EQ(bag_parser->save_point_cloud_frame_num(), 11);
  const auto clouds = file_names(out_dir() / "cloud");
  EXPECT_EQ(clouds.size(), 11u);
  // The first eleven in time: 1.02 s to 2.02 s.
  EXPECT_EQ(*clouds.begin(),
            "1020000000.1.020000_0.000000_0.000000_1.000000_0.000000_0.000000_"
            "0.000000.ply");
  EXPECT_EQ(calibration::Utils::load_csv_to_pose_list(out_dir() / "odom_pose.csv").pose_list.size(),
            40u);
}

TEST_P(BagParserTest, OnlyTheFirstCameraInfoOfTheBagIsWritten) {
  Recording recording;
  recording.second_camera_info = true;
  auto bag_parser = parser(recording);
  ASSERT_TRUE(bag_parser->parse_bag(record(recording)));
  const YAML::Node info = YAML::LoadFile((out_dir() / "info2" / "camera_info.yaml").string());
  EXPECT_EQ(info["width"].as<int>(), 32);
  EXPECT_TRUE(fs::is_empty(out_dir() / "info"));
  EXPECT_EQ(bag_parser->prepross_topic_list(),
            (std::set<std::string>{"/tf", "/tf_static", "/info", "/info2"}));
}

TEST_P(BagParserTest, WithoutDebugNoPoseFileIsWritten) {
  const Recording recording;
  auto bag_parser = parser(recording, false);
  ASSERT_TRUE(bag_parser->parse_bag(record(recording)));
  EXPECT_FALSE(fs::exists(out_dir() / "odom_pose.csv"));
  EXPECT_EQ(file_names(out_dir() / "color").size(), 30u);
}

TEST_P(BagParserTest, ATopicListedTwiceIsParsedOnce) {
  const Recording recording;
  auto topics = topics_of(recording);
  topics.push_back("/color");
  BagParser bag_parser(topics, "odom", "base_footprint", out_dir());
  ASSERT_TRUE(bag_parser.parse_bag(record(recording)));
  EXPECT_EQ(bag_parser.parser_sensor_data_num(), 60);
}

TEST_P(BagParserTest, BadMessagesAreDroppedOneByOne) {
  const auto bag_path = dir_ / "run";
  {
    orvalt::testing::TestBag bag(bag_path, GetParam());
    bag.write("/tf", kSecond, tf_message("odom", "base_footprint", kSecond, 0.0));
    bag.write("/tf", 3 * kSecond, tf_message("odom", "base_footprint", 3 * kSecond, 2.0));
    for (int i = 0; i < 50; ++i) {
      const std::int64_t stamp = kSecond + (i + 1) * (kSecond / 100);
      bag.write("/color", stamp, image_message(stamp, 4, 4, "bgr8"));
    }
    auto odd = image_message(2 * kSecond, 4, 4, "bgr8");
    odd.encoding = "yuv422";
    bag.write("/color", 2 * kSecond, odd);
    // A type without a header: no pose can be found for it.
    bag.write_raw("/text", "std_msgs/msg/String", 2 * kSecond, {0, 1, 0, 0, 1, 0, 0, 0, 0});
  }
  BagParser bag_parser({"/tf", "/color", "/text"}, "odom", "base_footprint", out_dir());
  EXPECT_TRUE(bag_parser.parse_bag(bag_path)) << log_.text();
  EXPECT_EQ(bag_parser.parser_sensor_data_num(), 52);
  EXPECT_EQ(bag_parser.valid_sensor_data_num(), 51);
  EXPECT_TRUE(log_.contains(
      "[error] ❌ Failed to process sensor_msgs/msg/Image message: Unsupported image encoding: "
      "yuv422 (support: 32FC1/mono16/rgb8/bgr8 etc.)"));
  EXPECT_TRUE(log_.contains("[warning] Warning: Sensor message /text without header"));
  EXPECT_EQ(file_names(out_dir() / "color").size(), 50u);
}

TEST_P(BagParserTest, ARejectedTransformIsAnErrorOfTheLogAndTheParseGoesOn) {
  Recording recording;
  recording.nan_transform = true;
  auto bag_parser = parser(recording);
  EXPECT_TRUE(bag_parser->parse_bag(record(recording))) << log_.text();
  EXPECT_EQ(log_.count("[error] Failed to process TF message: TF_NAN_INPUT"), 1) << log_.text();
  EXPECT_EQ(bag_parser->valid_sensor_data_num(), 60);
}

TEST_P(BagParserTest, HeaderStampsGoingBackwardsAreCountedAndWarnedAbout) {
  const auto bag_path = dir_ / "run";
  {
    orvalt::testing::TestBag bag(bag_path, GetParam());
    for (int k = 0; k <= 30; ++k) {
      const std::int64_t stamp = kSecond + k * kTenth;
      bag.write("/tf", stamp, tf_message("odom", "base_footprint", stamp, 0.0));
    }
    // The clock jumps back once on each topic; the stamps after the jump are new ones.
    for (const std::int64_t stamp : {kSecond + kTenth / 2, kSecond + 3 * kTenth / 2}) {
      bag.write("/tf", 5 * kSecond, tf_message("odom", "base_footprint", stamp, 0.0));
    }
    // A second link, on a clock of its own, interleaved with the first.
    bag.write("/tf", 5 * kSecond, tf_message("base_footprint", "camera", 3 * kSecond, 0.1));
    for (int i = 0; i < 60; ++i) {
      const std::int64_t stamp = i < 40 ? kSecond + i * kTenth / 2 : kSecond + (i - 40) * 1000;
      bag.write("/color", 6 * kSecond + i, image_message(stamp, 4, 4, "bgr8"));
    }
  }
  BagParser bag_parser({"/tf", "/color"}, "odom", "base_footprint", out_dir());
  EXPECT_TRUE(bag_parser.parse_bag(bag_path)) << log_.text();
  EXPECT_THAT(bag_parser.backward_stamps().counts(),
              ::testing::ElementsAre(::testing::Pair("/color", 1), ::testing::Pair("/tf", 1)));
  EXPECT_EQ(bag_parser.backward_stamps().total(), 2);
  EXPECT_TRUE(log_.contains("[warning] ⚠ Header stamps went backwards 2 times (/color 1, /tf 1)"))
      << log_.text();
}

// Each case spoils one file or folder of the output tree after the parser has prepared it:
// /dev/full stands for a full disk, a plain file for a folder that cannot be written into.
struct SpoiledOutput {
  std::string name;
  Recording recording;
  std::function<void(const fs::path& out_dir)> spoil;
  std::string first_failure;  // what the error begins with; <out> stands for the output dir
};

std::vector<SpoiledOutput> spoiled_outputs() {
  const Recording plain;
  Recording with_cloud;
  with_cloud.clouds = 1;
  const auto full = [](const fs::path& file) { fs::create_symlink("/dev/full", file); };
  const auto file_for_folder = [](const fs::path& folder) {
    fs::remove_all(folder);
    std::ofstream(folder) << "not a folder";
  };
  return {
      {"colour_on_a_full_disk", plain,
       [=](const fs::path& out) { full(out / "color" / (kFirstFrameStem + ".png")); },
       "Save color failed: <out>/color/" + kFirstFrameStem + ".png, cannot write: No space"},
      {"depth_without_its_folder", plain,
       [=](const fs::path& out) { file_for_folder(out / "depth"); },
       "Save depth failed: <out>/depth/"},
      {"cloud_on_a_full_disk", with_cloud,
       [=](const fs::path& out) {
         full(out / "cloud" /
              "1020000000.1.020000_0.000000_0.000000_1.000000_0.000000_0.000000_0.000000.ply");
       },
       "Save pcd failed: <out>/cloud/1020000000."},
      {"pose_file_on_a_full_disk", plain, [=](const fs::path& out) { full(out / "odom_pose.csv"); },
       "Cannot write pose file <out>/odom_pose.csv"},
      {"camera_info_without_its_folder", plain,
       [=](const fs::path& out) { file_for_folder(out / "info"); },
       "Cannot open <out>/info/camera_info.yaml for writing"},
  };
}

TEST_P(BagParserTest, AnyFileThatCannotBeWrittenFailsTheParseNamingTheFirst) {
  for (const auto& spoiled : spoiled_outputs()) {
    SCOPED_TRACE(spoiled.name);
    fs::remove_all(dir_ / "run");
    fs::remove_all(out_dir());
    fs::create_directories(out_dir());
    const auto bag = record(spoiled.recording);
    auto bag_parser = parser(spoiled.recording);
    spoiled.spoil(out_dir());
    std::string failure;
    try {
      bag_parser->parse_bag(bag);
    } catch (const ExportError& error) {
      failure = error.what();
    }
    std::string expected = spoiled.first_failure;
    expected.replace(expected.find("<out>"), 5, out_dir().string());
    EXPECT_EQ(failure.rfind(expected, 0), 0u) << failure;
  }
  EXPECT_TRUE(
      log_.contains("[error] Export failed: 1 file(s) could not be written, the first: "
                    "Save color failed: "));
}

TEST_P(BagParserTest, ABagWithoutSensorMessagesFails) {
  const Recording recording;
  BagParser bag_parser({"/tf", "/tf_static"}, "odom", "base_footprint", out_dir());
  EXPECT_FALSE(bag_parser.parse_bag(record(recording)));
  EXPECT_TRUE(log_.contains("[error] Bag parsing failed: "));
}

INSTANTIATE_TEST_SUITE_P(BothStorages, BagParserTest, ::testing::Values("sqlite3", "mcap"));

TEST(BagParserPathTest, AMissingBagIsAFileNotFoundError) {
  orvalt::testing::TempDir dir;
  BagParser bag_parser({"/color"}, "odom", "base_footprint", dir.path());
  const auto missing = dir / "none";
  try {
    bag_parser.parse_bag(missing);
    FAIL() << "no error";
  } catch (const common::FileNotFoundError& error) {
    EXPECT_EQ(std::string(error.what()),
              "Bag file does not exist: " + missing.string() + ",Please check the path.");
  }
}

TEST(BagParserPathTest, AnUnreadableBagFailsTheParse) {
  orvalt::testing::LogCapture log("orvalt.parser_bag.kestrune");
  orvalt::testing::TempDir dir;
  fs::create_directories(dir / "not_a_bag");
  BagParser bag_parser({"/color"}, "odom", "base_footprint", dir.path());
  EXPECT_FALSE(bag_parser.parse_bag(dir / "not_a_bag"));
  EXPECT_TRUE(log.contains("[error] Bag parsing failed: "));
}

TEST(BagParserStemTest, WithoutAPoseLookupTheStemIsTheStamp) {
  orvalt::testing::TempDir dir;
  {
    BagParser bag_parser({"/color"}, "odom", "base_footprint", dir.path());
    SensorMessage message;
    message.stamp = stamp_at(12 * kSecond + 5);
    message.message = image_message(12 * kSecond + 5, 4, 4, "bgr8");
    bag_parser._process_sensor_msg(message, "sensor_msgs/msg/Image", "/color", false);
    EXPECT_EQ(bag_parser.valid_sensor_data_num(), 1);
    EXPECT_TRUE(bag_parser.odom_pose_info().empty());
  }
  EXPECT_TRUE(fs::exists(dir / "color" / "12000000005.png"));
}

TEST(BagParserDrainTest, DestructionWritesEveryQueuedFile) {
  orvalt::testing::TempDir dir;
  {
    BagParser bag_parser({"/color", "/depth"}, "odom", "base_footprint", dir.path());
    for (int i = 0; i < 150; ++i) {
      bag_parser._msg2image(image_message(0, 64, 48, "bgr8", std::uint8_t(i)), std::to_string(i),
                            (dir / "color").string());
      bag_parser._msg2image(image_message(0, 64, 48, "mono16", std::uint8_t(i)), std::to_string(i),
                            (dir / "depth").string());
    }
  }
  EXPECT_EQ(file_names(dir / "color").size(), 150u);
  EXPECT_EQ(file_names(dir / "depth").size(), 150u);
}

TEST(BagParserDrainTest, ALaterColourImageOfTheSameStemReplacesTheEarlierOne) {
  orvalt::testing::TempDir dir;
  std::mt19937 random(7);
  std::vector<cv::Mat> later;
  {
    BagParser bag_parser({"/color"}, "odom", "base_footprint", dir.path());
    for (int i = 0; i < 60; ++i) {
      // Two captures with one stamp; noise makes each PNG slow to encode, so that two writers
      // of one file would overlap.
      for (int version = 0; version < 2; ++version) {
        auto image = image_message(0, 320, 240, "bgr8");
        for (auto& byte : image.data) byte = static_cast<std::uint8_t>(random());
        bag_parser._msg2image(image, std::to_string(i), (dir / "color").string());
        if (version == 1) later.push_back(cv::Mat(240, 320, CV_8UC3, image.data.data()).clone());
      }
    }
  }
  for (int i = 0; i < 60; ++i) {
    const cv::Mat stored =
        cv::imread((dir / "color" / (std::to_string(i) + ".png")).string(), cv::IMREAD_UNCHANGED);
    ASSERT_FALSE(stored.empty()) << i;
    EXPECT_EQ(cv::norm(stored, later[i], cv::NORM_INF), 0.0) << i;
  }
}

// --- real recordings --------------------------------------------------------------------

TEST(BagParserRealBagTest, OdometryOfARecordedNavigationRunGetsPoses) {
  const auto bags = orvalt::testing::real_bags_dir();
  if (!bags) GTEST_SKIP() << orvalt::testing::kNoRealBags;
  orvalt::testing::LogCapture log("orvalt.parser_bag.kestrune");
  orvalt::testing::TempDir dir;
  // /tf carries odom -> base_link, /tf_static base_link -> base_footprint.
  BagParser bag_parser({"/tf", "/tf_static", "/odom"}, "odom", "base_footprint", dir.path());
  ASSERT_TRUE(bag_parser.parse_bag(*bags / "nometa_mcap_tf_odom_nav2")) << log.text();
  EXPECT_EQ(bag_parser.parser_sensor_data_num(), 2639);
  EXPECT_GT(bag_parser.valid_sensor_data_num(), 2500);
  EXPECT_TRUE(fs::is_empty(dir / "odom"));  // odometry leaves no file
  const auto poses = calibration::Utils::load_csv_to_pose_list(dir / "odom_pose.csv");
  EXPECT_EQ(poses.pose_list.size(), std::size_t(bag_parser.valid_sensor_data_num()));
  EXPECT_GT(poses.range_x + poses.range_y, 0.1);

  // The odometry at its own rate comes from odom -> base_link, through the static link: one
  // pose per transform stamp, in time order, spanning the sensor poses.
  const auto& track = bag_parser.odometry_track();
  ASSERT_GT(track.size(), 100u);
  for (std::size_t k = 1; k < track.size(); ++k) {
    ASSERT_LT(track[k - 1].timestamp, track[k].timestamp);
  }
  EXPECT_LE(track.front().timestamp, poses.pose_list.front().timestamp + 100000000);
  EXPECT_GE(track.back().timestamp, poses.pose_list.back().timestamp - 100000000);
}

TEST(BagParserRealBagTest, ATransformOnlyRecordingHasATreeButNoSensorData) {
  const auto bags = orvalt::testing::real_bags_dir();
  if (!bags) GTEST_SKIP() << orvalt::testing::kNoRealBags;
  orvalt::testing::LogCapture log("orvalt.parser_bag.kestrune");
  orvalt::testing::TempDir dir;
  BagParser bag_parser({"/tf", "/tf_static"}, "odom", "base_link", dir.path());
  EXPECT_FALSE(bag_parser.parse_bag(*bags / "v8_sqlite3_tf_written_by_rosbags_lib"));
  EXPECT_TRUE(log.contains("[info] ✅ TF tree is complete"));
  EXPECT_TRUE(log.contains("[error] Bag parsing failed: "));
}

}  // namespace
}  // namespace orvalt::parser_bag
