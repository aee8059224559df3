#include <fstream>
#include <memory>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <open3d/geometry/PointCloud.h>
#include <open3d/io/PointCloudIO.h>
#include <yaml-cpp/yaml.h>
#include <nlohmann/json.hpp>

#include "orvalt/common/file_not_found_error.hpp"
#include "orvalt/parser_bag/kestrune/bag_parser.hpp"
#include "orvalt/testing/bags/test_bag.hpp"
#include "orvalt/testing/file_contents.hpp"
#include "orvalt/testing/log_capture.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::parser_bag {
namespace {

namespace fs = std::filesystem;
using orvalt::testing::TempDir;

using orvalt::testing::read_text;

void touch(const fs::path& path) { std::ofstream(path) << "old"; }

TEST(TopicDirNameTest, StripsOuterSlashesAndJoinsInnerOnesWithUnderscores) {
  EXPECT_EQ(topic_dir_name("/a/b/"), "a_b");
  EXPECT_EQ(topic_dir_name("camera"), "camera");
  EXPECT_EQ(topic_dir_name("/a//b"), "a__b");
  EXPECT_EQ(topic_dir_name("//QuillonNode/quillon_depth/camera_info"),
            "QuillonNode_quillon_depth_camera_info");
  EXPECT_EQ(topic_dir_name("a/../b"), "a_.._b");
}

TEST(TopicDirNameTest, RefusesNamesThatWouldWipeTheSaveDirOrItsParent) {
  for (const char* topic : {"", "/", "//", ".", "..", "/../", "/./"}) {
    EXPECT_THROW(topic_dir_name(topic), std::invalid_argument) << topic;
  }
}

TEST(OutputTreeTest, ConstructionRecreatesTopicDirectoriesEmptyAndSkipsTf) {
  TempDir dir;
  fs::create_directories(dir / "a_b");
  touch(dir / "a_b" / "old.png");
  touch(dir / "keep.txt");
  const BagParser parser({"/tf", "/tf_static", "/a/b/", "/a/b/", "camera"}, "odom",
                         "base_footprint", dir.path());
  EXPECT_TRUE(fs::is_directory(dir / "a_b"));
  EXPECT_TRUE(fs::is_empty(dir / "a_b"));
  EXPECT_TRUE(fs::is_directory(dir / "camera"));
  EXPECT_TRUE(fs::exists(dir / "keep.txt"));
  EXPECT_FALSE(fs::exists(dir / "tf"));
  EXPECT_FALSE(fs::exists(dir / "tf_static"));
  EXPECT_EQ(parser.topic_save_dir().size(), 2u);
  EXPECT_EQ(parser.topic_save_dir().at("/a/b/"), dir / "a_b");
}

TEST(OutputTreeTest, SaveDirMustExistAsADirectory) {
  TempDir dir;
  const auto missing = dir / "missing";
  try {
    BagParser parser({"/camera"}, "odom", "base_footprint", missing);
    FAIL() << "no error";
  } catch (const common::FileNotFoundError& error) {
    EXPECT_EQ(std::string(error.what()),
              "Save dir " + missing.string() + " does not exist or is not a directory");
  }
  EXPECT_FALSE(fs::exists(missing));
  touch(dir / "file");
  EXPECT_THROW(BagParser({"/camera"}, "odom", "base_footprint", dir / "file"),
               common::FileNotFoundError);
}

TEST(OutputTreeTest, AnUnusableTopicNameWipesNothing) {
  TempDir dir;
  fs::create_directories(dir / "camera");
  touch(dir / "camera" / "old.png");
  EXPECT_THROW(BagParser({"/camera", "/"}, "odom", "base_footprint", dir.path()),
               std::invalid_argument);
  EXPECT_TRUE(fs::exists(dir / "camera" / "old.png"));
}

TEST(SaveWorkerTest, AFailedWriteIsLoggedAndTheWorkerGoesOn) {
  orvalt::testing::LogCapture log("orvalt.parser_bag.kestrune");
  TempDir dir;
  const std::string nowhere = (dir / "no" / "such" / "dir").string();
  const std::string out = (dir / "out").string();
  {
    BagParser parser({"/out"}, "odom", "base_footprint", dir.path());
    const auto image = orvalt::testing::image_message(0, 4, 4, "bgr8", 7);
    parser._msg2image(image, "lost", nowhere);
    parser._msg2image(image, "kept", out);
    auto depth = orvalt::testing::image_message(0, 4, 4, "mono16", 1);
    parser._msg2image(depth, "lost", nowhere);
    parser._msg2image(depth, "kept_depth", out);
    ros2::sensor_msgs::PointCloud2 cloud;
    cloud.width = 1;
    cloud.height = 1;
    cloud.point_step = 12;
    cloud.row_step = 12;
    for (const char* name : {"x", "y", "z"}) {
      cloud.fields.push_back({name, static_cast<std::uint32_t>(cloud.fields.size()) * 4,
                              ros2::sensor_msgs::PointField::FLOAT32, 1});
    }
    cloud.data.assign(12, 0);
    parser._msg2pcd(cloud, "lost", nowhere);
    parser._msg2pcd(cloud, "kept_cloud", out);
  }
  EXPECT_TRUE(log.contains("[error] [WARN] Save color failed: " + nowhere + "/lost.png, "));
  EXPECT_TRUE(log.contains("[error] [WARN] Save depth failed: " + nowhere + "/lost.png, "));
  EXPECT_TRUE(log.contains("[error] [WARN] Save pcd failed: " + nowhere + "/lost.ply, "));
  EXPECT_TRUE(fs::exists(dir / "out" / "kept.png"));
  EXPECT_TRUE(fs::exists(dir / "out" / "kept_depth.png"));
  EXPECT_TRUE(fs::exists(dir / "out" / "kept_cloud.ply"));
}

TEST(CameraInfoTest, YamlReadsBackWithTheKeysInOrder) {
  TempDir dir;
  BagParser parser({"/cam/info"}, "odom", "base_footprint", dir.path());
  ros2::sensor_msgs::CameraInfo info;
  info.width = 640;
  info.height = 480;
  info.distortion_model = "plumb_bob";
  info.d = {0.1, -0.25, 0.001, 0.0, 1e-7};
  info.k = {525.5, 0, 319.75, 0, 526.25, 241.125, 0, 0, 1};
  parser._parser_cam_info(info, "/cam/info");

  const auto path = dir / "cam_info" / "camera_info.yaml";
  const YAML::Node yaml = YAML::LoadFile(path.string());
  EXPECT_DOUBLE_EQ(yaml["fx"].as<double>(), 525.5);
  EXPECT_DOUBLE_EQ(yaml["fy"].as<double>(), 526.25);
  EXPECT_DOUBLE_EQ(yaml["cx"].as<double>(), 319.75);
  EXPECT_DOUBLE_EQ(yaml["cy"].as<double>(), 241.125);
  EXPECT_EQ(yaml["distortion_coeffs"].as<std::vector<double>>(), info.d);
  EXPECT_EQ(yaml["width"].as<int>(), 640);
  EXPECT_EQ(yaml["height"].as<int>(), 480);
  EXPECT_EQ(yaml["distortion_model"].as<std::string>(), "plumb_bob");
  std::vector<std::string> keys;
  for (const auto& entry : yaml) keys.push_back(entry.first.as<std::string>());
  EXPECT_THAT(keys, ::testing::ElementsAre("fx", "fy", "cx", "cy", "distortion_coeffs", "width",
                                           "height", "distortion_model"));
  const std::string text = read_text(path);
  EXPECT_THAT(text, ::testing::StartsWith("fx: 525.5\n")) << text;
  // Whole and tiny numbers are still written as floats.
  EXPECT_THAT(text, ::testing::HasSubstr("0.0\n")) << text;
  EXPECT_THAT(text, ::testing::HasSubstr("1.0e-07\n")) << text;
  EXPECT_EQ(text.find('['), std::string::npos) << "block style only:\n" << text;
  EXPECT_EQ(text.find('{'), std::string::npos) << text;

  EXPECT_TRUE(parser.camera_info_already_parsed());
  ASSERT_TRUE(parser.camera_info().has_value());
  EXPECT_EQ(parser.camera_info()->distortion_coeffs, info.d);
}

TEST(SingleShotWriterTest, TextTableUsesSixDecimalsAndSingleBlanks) {
  TempDir dir;
  Eigen::MatrixXd table(2, 3);
  table << 1, -0.5, 1e-7, 2.25, 100, -0.0;
  EXPECT_TRUE(BagParser::_save_txt(table, (dir / "t.txt").string()));
  EXPECT_EQ(read_text(dir / "t.txt"),
            "1.000000 -0.500000 0.000000\n2.250000 100.000000 -0.000000\n");
}

TEST(SingleShotWriterTest, JsonAndYamlKeepInsertionOrder) {
  TempDir dir;
  nlohmann::ordered_json json;
  json["zeta"] = 1;
  json["alpha"] = {{"b", 2}, {"a", "é"}};
  EXPECT_TRUE(BagParser::_save_json(json, (dir / "d.json").string()));
  EXPECT_EQ(read_text(dir / "d.json"),
            "{\n  \"zeta\": 1,\n  \"alpha\": {\n    \"b\": 2,\n    \"a\": \"é\"\n  }\n}\n");

  YAML::Node yaml;
  yaml["zeta"] = 1;
  yaml["alpha"]["b"] = 2;
  EXPECT_TRUE(BagParser::_save_yaml(yaml, (dir / "d.yaml").string()));
  const std::string text = read_text(dir / "d.yaml");
  EXPECT_THAT(text, ::testing::StartsWith("zeta: 1\nalpha:\n    b:")) << text;
  EXPECT_EQ(YAML::Load(text)["alpha"]["b"].as<int>(), 2);
  EXPECT_THROW(BagParser::_save_yaml(yaml, (dir / "no" / "d.yaml").string()), std::runtime_error);
}

TEST(SingleShotWriterTest, PointCloudWithColoursScaledToOne) {
  TempDir dir;
  Points3f points(2, 3);
  points << 1, 2, 3, 4, 5, 6;
  Eigen::MatrixXd colors(2, 3);
  colors << 255, 0, 51, 0, 255, 0;
  const auto path = (dir / "c.ply").string();
  EXPECT_TRUE(BagParser::_save_pcd(points, path, colors));
  open3d::geometry::PointCloud stored;
  ASSERT_TRUE(open3d::io::ReadPointCloud(path, stored));
  ASSERT_EQ(stored.points_.size(), 2u);
  ASSERT_TRUE(stored.HasColors());
  EXPECT_NEAR(stored.colors_[0].z(), 0.2, 1e-2);
  EXPECT_NEAR(stored.points_[1].z(), 6.0, 1e-6);
  EXPECT_THROW(BagParser::_save_pcd(points, path, Eigen::MatrixXd(1, 3)), std::invalid_argument);
}

}  // namespace
}  // namespace orvalt::parser_bag
