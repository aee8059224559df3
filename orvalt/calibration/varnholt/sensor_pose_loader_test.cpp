#include "orvalt/calibration/varnholt/sensor_pose_loader.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <thread>

#include <gtest/gtest.h>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "orvalt/apriltag/castrel/april_tag_generator.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::calibration {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPose = "0.100000_0.200000_0.000000_1.000000_0.000000_0.000000_0.000000";

// A 2 x 3 AprilGrid (ids 0 to 5) with a white margin, as a colour image.
cv::Mat board_image() {
  const cv::Mat grid = apriltag::AprilTagGenerator().generate_grid(2, 3, 100, 30);
  cv::Mat framed, colour;
  cv::copyMakeBorder(grid, framed, 60, 60, 60, 60, cv::BORDER_CONSTANT, cv::Scalar(255));
  cv::cvtColor(framed, colour, cv::COLOR_GRAY2BGR);
  return colour;
}

TEST(PoseStemTest, TimestampPositionAndQuaternion) {
  const PoseRow stem = parse_pose_stem(std::string("1700000000123456789.") + kPose);
  EXPECT_EQ(stem.timestamp, 1700000000123456789);
  EXPECT_EQ(stem.translation(), Eigen::Vector3d(0.1, 0.2, 0.0));
  EXPECT_EQ(stem.quaternion_wxyz(), Eigen::Vector4d(1.0, 0.0, 0.0, 0.0));
  EXPECT_EQ(parse_pose_stem("5.-1.5_2_3_0.5_0.5_-0.5_0.5").tx, -1.5);
  // The stem gives w first; the pose keeps it apart from x, y, z, which a CSV row writes last.
  const PoseRow turned = parse_pose_stem("42.1_2_3_0.1_0.2_0.3_0.4");
  EXPECT_EQ(turned.qw, 0.1);
  EXPECT_EQ(turned.qx, 0.2);
  EXPECT_EQ(turned.qy, 0.3);
  EXPECT_EQ(turned.qz, 0.4);
}

TEST(PoseStemTest, MalformedStemsAreRefused) {
  EXPECT_THROW(parse_pose_stem("1700000000123456789"), std::invalid_argument);
  EXPECT_THROW(parse_pose_stem(std::string("17x.") + kPose), std::invalid_argument);
  EXPECT_THROW(parse_pose_stem("17.0.1_0.2_abc_1_0_0_0"), std::invalid_argument);
  try {
    parse_pose_stem("17.0.1_0.2_0.3");
    FAIL() << "expected an error";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(),
                 "Invalid position info format: 0.1_0.2_0.3, please check the format");
  }
}

class ImageTaskTest : public ::testing::Test {
 protected:
  ImageTaskTest() {
    for (const char* sub : {"color", "depth", "cloud", "visual"})
      fs::create_directories(dir_ / sub);
  }
  std::string path(const char* sub) const { return (dir_ / sub).string(); }
  void write_pair(const std::string& name, const cv::Mat& colour, bool with_depth = true) {
    cv::imwrite((dir_ / "color" / name).string(), colour);
    if (with_depth) cv::imwrite((dir_ / "depth" / name).string(), cv::Mat(8, 8, CV_16UC1, 1000));
  }
  std::vector<ImageTask> tasks() const {
    return collect_image_tasks(path("color"), path("depth"), path("cloud"), true, path("visual"),
                               "APRILTAG_36h11", 0.15, {0, 1, 2, 3, 4});
  }

  testing::TempDir dir_;
};

TEST_F(ImageTaskTest, OneTaskPerColourImageWithADepthTwin) {
  const cv::Mat blank(8, 8, CV_8UC3, cv::Scalar(255, 255, 255));
  write_pair("1.a.png", blank);
  write_pair("2.b.PNG", blank);
  write_pair("3.c.JPEG", blank);
  write_pair("4.d.png", blank, false);
  std::ofstream(dir_ / "color" / "5.e.txt") << "not an image";
  std::ofstream(dir_ / "depth" / "5.e.txt") << "not an image";
  const auto found = tasks();
  std::set<std::string> names;
  for (const auto& task : found) names.insert(task.color_name);
  EXPECT_EQ(names, (std::set<std::string>{"1.a.png", "2.b.PNG", "3.c.JPEG"}));
  for (const auto& task : found) {
    EXPECT_EQ(task.depth_path, (dir_ / "depth" / task.color_name).string());
    EXPECT_EQ(task.target_ids, (std::vector<int>{0, 1, 2, 3, 4}));
    if (task.color_name == "1.a.png") {
      EXPECT_EQ(task.pcd_path, (dir_ / "cloud" / "1.a.ply").string());
    }
    // Only the lower-case ".png" is replaced.
    if (task.color_name == "2.b.PNG") {
      EXPECT_EQ(task.pcd_path, (dir_ / "cloud" / "2.b.PNG").string());
    }
  }
}

TEST_F(ImageTaskTest, WorkerKeepsFramesWithTagsAndDrawsThem) {
  const std::string name = std::string("1700000000000000042.") + kPose + ".png";
  write_pair(name, board_image());
  const ImageResult image = process_image_worker(tasks().at(0));
  EXPECT_EQ(image.outcome, ImageOutcome::kFrame);
  const FrameResult& result = image.frame;
  ASSERT_TRUE(result);
  EXPECT_EQ(result->first, 1700000000000000042);
  const FrameRecord& frame = result->second;
  EXPECT_EQ(frame.pose.translation(), Eigen::Vector3d(0.1, 0.2, 0.0));
  EXPECT_EQ(frame.pose.qw, 1.0);
  EXPECT_EQ(frame.color_path, (dir_ / "color" / name).string());
  std::set<int> ids;
  for (const auto& [id, points] : frame.corner_dict) {
    ids.insert(id);
    EXPECT_EQ(points.rows(), 5);
  }
  EXPECT_EQ(ids, (std::set<int>{0, 1, 2, 3, 4}));
  EXPECT_TRUE(fs::exists(dir_ / "visual" / name));
}

TEST_F(ImageTaskTest, DetectorSettingsReachEveryTaskAndItsDetector) {
  // A Kalibr-style board: its tags have a 2-cell border, which the default detector cannot read.
  const cv::Mat grid =
      apriltag::AprilTagGenerator("tag36h11", 2).generate_kalibr_grid(2, 3, 100, 30);
  cv::Mat framed, colour;
  cv::copyMakeBorder(grid, framed, 60, 60, 60, 60, cv::BORDER_CONSTANT, cv::Scalar(255));
  cv::cvtColor(framed, colour, cv::COLOR_GRAY2BGR);
  write_pair(std::string("1700000000000000042.") + kPose + ".png", colour);
  ASSERT_EQ(tasks().size(), 1u);
  EXPECT_FALSE(process_image_worker(tasks().front()).frame);
  for (const auto engine : {apriltag::DetectorEngine::opencv, apriltag::DetectorEngine::apriltag}) {
    const auto wide =
        collect_image_tasks(path("color"), path("depth"), path("cloud"), false, path("visual"),
                            "APRILTAG_36h11", 0.15, {0, 1, 2, 3, 4}, engine, 2);
    ASSERT_EQ(wide.size(), 1u);
    EXPECT_EQ(wide.front().detector, engine);
    EXPECT_EQ(wide.front().tag_border_bits, 2);
    const FrameResult result = process_image_worker(wide.front()).frame;
    ASSERT_TRUE(result) << apriltag::detector_engine_name(engine);
    EXPECT_EQ(result->second.corner_dict.size(), 5u);
  }
}

TEST_F(ImageTaskTest, WorkerDropsFramesWithoutTagsOrPoseAndSaysWhy) {
  write_pair(std::string("1.") + kPose + ".png",
             cv::Mat(200, 200, CV_8UC3, cv::Scalar(255, 255, 255)));
  write_pair("2.png", board_image());
  write_pair("3.0.1_0.2_0.3.png", board_image());
  std::ofstream(dir_ / "color" / (std::string("4.") + kPose + ".png")) << "not a png";
  std::ofstream(dir_ / "depth" / (std::string("4.") + kPose + ".png")) << "not a png";
  std::vector<ImageResult> results;
  for (const ImageTask& task : tasks()) {
    results.push_back(process_image_worker(task));
    EXPECT_FALSE(results.back().frame) << task.color_name;
    const ImageOutcome expected =
        task.color_name[0] == '1' ? ImageOutcome::kNoTags : ImageOutcome::kFailed;
    EXPECT_EQ(results.back().outcome, expected) << task.color_name;
  }
  EXPECT_TRUE(fs::is_empty(dir_ / "visual"));
  const ImageCounts counts = count_images(results);
  EXPECT_EQ(counts.images, 4);
  EXPECT_EQ(counts.without_tags, 1);
  EXPECT_EQ(counts.failed, 3);
  EXPECT_EQ(counts.frames + counts.tags_filtered, 0);
}

// A board whose tags are all outside --target_ids is seen, not missing: the run must be able
// to tell the two apart.
TEST_F(ImageTaskTest, TagsOfOtherIdsAreCountedApartFromNoTags) {
  write_pair(std::string("1.") + kPose + ".png", board_image());
  ImageTask task = tasks().at(0);
  task.target_ids = {40, 41};
  const ImageResult result = process_image_worker(task);
  EXPECT_EQ(result.outcome, ImageOutcome::kTagsFiltered);
  EXPECT_FALSE(result.frame);
  EXPECT_EQ(count_images({result}).tags_filtered, 1);
}

TEST_F(ImageTaskTest, ResultsComeBackInTaskOrderWhateverTheWorkers) {
  const cv::Mat board = board_image();
  const cv::Mat blank(64, 64, CV_8UC3, cv::Scalar(255, 255, 255));
  for (int i = 0; i < 6; ++i) {
    write_pair(std::to_string(100 + i) + "." + kPose + ".png", i % 2 == 0 ? board : blank);
  }
  const auto all = tasks();
  const int opencv_threads = cv::getNumThreads();
  for (int workers : {1, 3}) {
    const auto results = run_image_tasks(all, workers);
    // The workers take OpenCV's own threads away only while they run.
    EXPECT_EQ(cv::getNumThreads(), opencv_threads);
    ASSERT_EQ(results.size(), all.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
      const std::int64_t timestamp = std::stoll(all[i].color_name.substr(0, 3));
      EXPECT_EQ(results[i].frame.has_value(), timestamp % 2 == 0) << all[i].color_name;
      if (results[i].frame) {
        EXPECT_EQ(results[i].frame->first, timestamp);
      }
    }
  }
}

TEST(FramesByTimestampTest, OrderedAndTheLaterDuplicateWins) {
  std::vector<ImageResult> results;
  for (const auto& [timestamp, path] :
       std::vector<std::pair<std::int64_t, std::string>>{{30, "a"}, {10, "b"}, {30, "c"}}) {
    FrameRecord frame;
    frame.color_path = path;
    results.push_back({ImageOutcome::kFrame, std::make_pair(timestamp, frame)});
  }
  results.push_back({ImageOutcome::kNoTags, std::nullopt});
  const FrameMap frames = frames_by_timestamp(results);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames.begin()->first, 10);
  EXPECT_EQ(frames.at(30).color_path, "c");
}

// Views of the board under different perspectives and blur, so that corners land at
// sub-pixel positions a worker could round differently if it shared state with another.
TEST_F(ImageTaskTest, DetectionsAndDrawingsDoNotDependOnTheWorkerCount) {
  const cv::Mat board = board_image();
  const cv::Point2f corners[] = {{0, 0},
                                 {static_cast<float>(board.cols), 0},
                                 {static_cast<float>(board.cols), static_cast<float>(board.rows)},
                                 {0, static_cast<float>(board.rows)}};
  for (int view = 0; view < 8; ++view) {
    const float skew = 9.0f * static_cast<float>(view);
    const cv::Point2f warped[] = {corners[0] + cv::Point2f(skew, 0.5f * skew),
                                  corners[1] - cv::Point2f(0.3f * skew, -skew),
                                  corners[2] - cv::Point2f(skew, 0.7f * skew),
                                  corners[3] + cv::Point2f(0.4f * skew, -0.2f * skew)};
    cv::Mat image;
    cv::warpPerspective(board, image, cv::getPerspectiveTransform(corners, warped), board.size(),
                        cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(255, 255, 255));
    cv::GaussianBlur(image, image, cv::Size(3, 3), 0.4 + 0.1 * view);
    write_pair(std::to_string(200 + view) + "." + kPose + ".png", image);
  }
  const auto all = tasks();
  const auto drawings = [&] {
    std::map<std::string, std::string> bytes;
    for (const auto& entry : fs::directory_iterator(dir_ / "visual")) {
      std::ifstream file(entry.path(), std::ios::binary);
      bytes[entry.path().filename().string()].assign(std::istreambuf_iterator<char>(file), {});
    }
    return bytes;
  };
  const auto one_worker = run_image_tasks(all, 1);
  const auto drawn_by_one = drawings();
  ASSERT_EQ(drawn_by_one.size(), all.size());
  for (int workers : {2, 3, 8}) {
    fs::remove_all(dir_ / "visual");
    fs::create_directories(dir_ / "visual");
    const auto results = run_image_tasks(all, workers);
    ASSERT_EQ(results.size(), one_worker.size());
    for (std::size_t i = 0; i < results.size(); ++i) {
      SCOPED_TRACE(all[i].color_name + " on " + std::to_string(workers) + " workers");
      EXPECT_EQ(results[i].outcome, one_worker[i].outcome);
      ASSERT_TRUE(results[i].frame && one_worker[i].frame);
      const apriltag::TagMap& tags = results[i].frame->second.corner_dict;
      const apriltag::TagMap& expected = one_worker[i].frame->second.corner_dict;
      ASSERT_EQ(tags.size(), expected.size());
      for (std::size_t tag = 0; tag < tags.size(); ++tag) {
        EXPECT_EQ(tags[tag].first, expected[tag].first);
        EXPECT_EQ(tags[tag].second, expected[tag].second);
      }
    }
    EXPECT_EQ(drawings(), drawn_by_one);
  }
}

TEST(WorkerCountTest, OneWorkerPerProcessor) {
  EXPECT_EQ(default_worker_count(),
            std::max(1, static_cast<int>(std::thread::hardware_concurrency())));
}

}  // namespace
}  // namespace orvalt::calibration
