#include "orvalt/calibration/varnholt/camera_base_calibrator.hpp"

#include <filesystem>
#include <fstream>
#include <random>
#include <tuple>

#include <gtest/gtest.h>
#include <open3d/geometry/PointCloud.h>
#include <open3d/io/PointCloudIO.h>
#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "orvalt/apriltag/castrel/april_tag_generator.hpp"
#include "orvalt/apriltag/quinsel/aprilgrid_corner_detect.hpp"
#include "orvalt/calibration/pellitor/synthetic_problem.hpp"
#include "orvalt/common/file_not_found_error.hpp"
#include "orvalt/draventa/camera_pose_estimator.hpp"
#include "orvalt/testing/eigen_matchers.hpp"
#include "orvalt/testing/file_contents.hpp"
#include "orvalt/testing/file_size_limit.hpp"
#include "orvalt/testing/log_capture.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::calibration {
namespace {

namespace fs = std::filesystem;

using orvalt::testing::read_text;

class CameraBaseCalibratorTest : public ::testing::Test {
 protected:
  CameraBaseCalibratorTest() {
    settings_.parser_output_dir = (dir_ / "out" / "rec" / "calib_0").string();
    settings_.topic_list = make_topic_list(settings_);
  }
  fs::path run_dir() const { return settings_.parser_output_dir; }

  testing::TempDir dir_;
  RunSettings settings_;
};

TEST_F(CameraBaseCalibratorTest, ConstructionStartsFromAnEmptyRunDirectory) {
  fs::create_directories(run_dir() / "cropped_plane_points");
  std::ofstream(run_dir() / "calibration_result.json") << "old";
  std::ofstream(run_dir() / "cropped_plane_points" / "old.ply") << "old";
  settings_.pc_crop_region = {0.1, 0.2, -0.3, 0.3, -1, 1, 99};
  CameraBaseCalibrator calibrator(settings_);
  EXPECT_EQ(std::distance(fs::directory_iterator(run_dir()), fs::directory_iterator()), 1);
  EXPECT_TRUE(fs::is_empty(run_dir() / "cropped_plane_points"));
  EXPECT_EQ(calibrator.ground_points_save_dir, run_dir() / "cropped_plane_points");
  EXPECT_EQ(settings_.crop_box.x_min, 0.1);
  EXPECT_EQ(settings_.crop_box.y_min, -0.3);
  EXPECT_EQ(settings_.crop_box.z_max, 1.0);
  EXPECT_EQ(&calibrator.args, &settings_);
}

// The calibrator takes the box as the settings check guarantees it; a short region never
// reaches it.
TEST_F(CameraBaseCalibratorTest, ShortCropRegionIsRefusedBeforeAnyRun) {
  settings_.pc_crop_region = {0.1, 0.2, -0.3, 0.3, -1};
  EXPECT_THROW(settings_.check(), std::invalid_argument);
}

TEST_F(CameraBaseCalibratorTest, TheRunsDetectorFollowsItsTagSettings) {
  settings_.tag_family = "APRILTAG_25h9";
  settings_.tag_size_m = 0.08;
  settings_.target_ids = {3, 7};
  CameraBaseCalibrator calibrator(settings_);
  EXPECT_EQ(calibrator.apriltag_detector, nullptr);
  calibrator._init_apriltag_detector();
  ASSERT_NE(calibrator.apriltag_detector, nullptr);
  EXPECT_EQ(calibrator.apriltag_detector->tag_family(), "APRILTAG_25h9");
  EXPECT_EQ(calibrator.apriltag_detector->tag_size_m(), 0.08);
  EXPECT_EQ(calibrator.apriltag_detector->target_ids(), std::vector<int>({3, 7}));
}

TEST_F(CameraBaseCalibratorTest, MissingBagFailsTheRunWithItsMessage) {
  settings_.bag_dir = (dir_ / "no_such_bag").string();
  CameraBaseCalibrator calibrator(settings_);
  testing::LogCapture log("orvalt.calibration.varnholt");
  EXPECT_THROW(calibrator.calibration(), std::invalid_argument);
  EXPECT_TRUE(log.contains("[error] Calibration failed with error: Bag directory does not exist: " +
                           (dir_ / "no_such_bag").string()));
}

TEST_F(CameraBaseCalibratorTest, UnreadableBagIsADataParsingError) {
  fs::create_directories(dir_ / "empty_bag");
  settings_.bag_dir = (dir_ / "empty_bag").string();
  CameraBaseCalibrator calibrator(settings_);
  testing::LogCapture log("orvalt.calibration.varnholt");
  try {
    calibrator.calibration();
    FAIL() << "expected an error";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "Data parsing error, exiting");
  }
  EXPECT_TRUE(log.contains("[error] Calibration failed with error: Data parsing error, exiting"));
}

TEST_F(CameraBaseCalibratorTest, IntrinsicsComeFromTheCameraInfoFile) {
  CameraBaseCalibrator calibrator(settings_);
  const fs::path info_dir = run_dir() / "QuillonNode_quillon_depth_camera_info";
  try {
    calibrator._init_pose_estimator();
    FAIL() << "expected an error";
  } catch (const common::FileNotFoundError& error) {
    EXPECT_EQ(std::string(error.what()),
              "Camera info file does not exist: " + (info_dir / "camera_info.yaml").string());
  }
  fs::create_directories(info_dir);
  std::ofstream(info_dir / "camera_info.yaml") << "";
  EXPECT_THROW(calibrator._init_pose_estimator(), std::invalid_argument);
  std::ofstream(info_dir / "camera_info.yaml")
      << "fx: 386.2\nfy: 385.7\ncx: 321.4\ncy: 238.9\ndistortion_coeffs: [0, 0]\nwidth: 640\n";
  try {
    calibrator._init_pose_estimator();
    FAIL() << "expected an error";
  } catch (const std::invalid_argument& error) {
    EXPECT_NE(std::string(error.what()).find("'height'"), std::string::npos) << error.what();
  }
  std::ofstream(info_dir / "camera_info.yaml")
      << "fx: 386.2\nfy: 385.7\ncx: 321.4\ncy: 238.9\ndistortion_coeffs: [0, 0]\nwidth: 640\n"
         "height: 480\ndistortion_model: plumb_bob\n";
  calibrator._init_pose_estimator();
  EXPECT_EQ(calibrator.fx, 386.2);
  EXPECT_EQ(calibrator.height, 480);
  ASSERT_TRUE(calibrator.pose_estimator);
}

TEST_F(CameraBaseCalibratorTest, IntrinsicsNoCameraHasAreRefusedByName) {
  CameraBaseCalibrator calibrator(settings_);
  const fs::path info_path =
      run_dir() / "QuillonNode_quillon_depth_camera_info" / "camera_info.yaml";
  fs::create_directories(info_path.parent_path());
  const auto write_info = [&info_path](const std::string& fx, const std::string& cy,
                                       const std::string& width) {
    std::ofstream(info_path) << "fx: " << fx << "\nfy: 385.7\ncx: 321.4\ncy: " << cy
                             << "\ndistortion_coeffs: [0, 0]\nwidth: " << width
                             << "\nheight: 480\ndistortion_model: plumb_bob\n";
  };
  const std::vector<std::tuple<std::string, std::string, std::string, std::string>> cases = {
      {"-386.2", "238.9", "640", "'fx' must be a finite number above 0, got -386.2"},
      {"0", "238.9", "640", "'fx' must be a finite number above 0, got 0"},
      {".nan", "238.9", "640", "'fx' must be a finite number above 0, got nan"},
      {"386.2", ".inf", "640", "'cy' must be a finite number, got inf"},
      {"386.2", "238.9", "0", "'width' must be at least 1 pixel, got 0"},
      {"386.2", "238.9", "640.5", "'width' is not of the expected type"},
  };
  for (const auto& [fx, cy, width, message] : cases) {
    write_info(fx, cy, width);
    try {
      calibrator._init_pose_estimator();
      ADD_FAILURE() << "accepted " << message;
    } catch (const std::invalid_argument& error) {
      EXPECT_EQ(std::string(error.what()),
                "Camera info file " + info_path.string() + ": " + message);
    }
  }
  EXPECT_FALSE(calibrator.pose_estimator);
}

TEST_F(CameraBaseCalibratorTest, ResultFileAndDecomposition) {
  CameraBaseCalibrator calibrator(settings_);
  EXPECT_THROW(calibrator.save_calibration_result(Eigen::VectorXd::Zero(5)), std::invalid_argument);
  EXPECT_FALSE(fs::exists(run_dir() / "calibration_result.json"));

  Eigen::VectorXd vec6(6);
  vec6 << 0.01, 0.07, 0.05, 0.025, 0.028, 0.152;
  testing::LogCapture log("orvalt.calibration.varnholt");
  const fs::path path = calibrator.save_calibration_result(vec6);
  EXPECT_EQ(path, run_dir() / "calibration_result.json");
  const auto json = nlohmann::ordered_json::parse(read_text(path));
  std::vector<std::string> keys;
  for (const auto& item : json.items()) keys.push_back(item.key());
  EXPECT_EQ(keys,
            (std::vector<std::string>{"vec6", "rotation", "translation", "rotation_euler",
                                      "rotation_deg", "rotation_quat", "extrinsic_matrix_4x4"}));
  EXPECT_EQ(json["translation"][2].get<double>(), 0.152);
  EXPECT_THAT(calibrator.euler, testing::EigenNear(Eigen::Vector3d(0.01, 0.07, 0.05), 1e-12));
  const auto infos = log.messages(spdlog::level::info);
  ASSERT_EQ(infos.size(), 8u);
  EXPECT_EQ(infos[0], "Calibration result:");
  EXPECT_EQ(infos[1].rfind("Rotation matrix:\n[[", 0), 0u);
  EXPECT_EQ(infos[5].rfind("Quaternion (w, x, y, z):\n[", 0), 0u);
  EXPECT_EQ(infos[7], "Calibration results saved to: " + path.string());
}

TEST_F(CameraBaseCalibratorTest, AResultThatCannotBeWrittenLeavesNoPartialFile) {
  CameraBaseCalibrator calibrator(settings_);
  const Vector6d vec6 = (Vector6d() << 0.01, 0.07, 0.05, 0.025, 0.028, 0.152).finished();
  const fs::path path = calibrator.save_calibration_result(vec6);
  const std::string whole = read_text(path);
  {
    const testing::FileSizeLimit nearly_full_disk(100);
    EXPECT_THROW(calibrator.save_calibration_result(vec6, "calibration_result.json"),
                 std::runtime_error);
    EXPECT_THROW(calibrator.save_calibration_result(vec6, "second.json"), std::runtime_error);
  }
  EXPECT_EQ(read_text(path), whole);
  EXPECT_FALSE(fs::exists(run_dir() / "second.json"));
  // The run directory holds the ground-points folder and the one result, no temporary file.
  EXPECT_EQ(std::distance(fs::directory_iterator(run_dir()), fs::directory_iterator()), 2);
}

TEST_F(CameraBaseCalibratorTest, LinearEstimateNeedsThreePairs) {
  CameraBaseCalibrator calibrator(settings_);
  SyntheticProblemOptions options;
  options.num_motions = 3;
  const SyntheticProblem problem = make_synthetic_problem(options);
  calibrator.T_odom_list = {problem.A_list[0], problem.A_list[1]};
  calibrator.T_camera_list = problem.B_list;
  EXPECT_THROW(calibrator.compute_initial_extrinsic(), std::invalid_argument);
  calibrator.T_odom_list = problem.A_list;
  EXPECT_THAT(calibrator.compute_initial_extrinsic(),
              testing::IsNearRigidTransform(problem.X, 1e-6, 1e-6));
}

// Ground clouds in the point-cloud directory, as the bag parser leaves them.
void write_floor_clouds(const fs::path& directory, int count) {
  fs::create_directories(directory);
  std::mt19937 random(5);
  std::uniform_real_distribution<double> x(0.2, 0.3), y(-0.1, 0.1);
  for (int i = 0; i < count; ++i) {
    open3d::geometry::PointCloud cloud;
    for (int p = 0; p < 100; ++p) cloud.points_.emplace_back(x(random), y(random), -0.15);
    open3d::io::WritePointCloud((directory / (std::to_string(i) + ".ply")).string(), cloud);
  }
}

TEST_F(CameraBaseCalibratorTest, OneFrameGivesNoPairsAndWithoutDebugNoFiles) {
  settings_.debug = false;
  CameraBaseCalibrator calibrator(settings_);
  write_floor_clouds(run_dir() / "QuillonNode_quillon_pointcloud2", 3);
  FrameMap frames;
  frames[1] = FrameRecord{};
  testing::LogCapture log("orvalt.calibration.varnholt");
  EXPECT_TRUE(calibrator.compute_odom_camera_motion_transforms(frames));
  EXPECT_TRUE(calibrator.T_odom_list.empty());
  EXPECT_TRUE(calibrator.T_camera_list.empty());
  EXPECT_TRUE(log.contains("[info] *********Collected valid motion pairs(camera-odom pair): 0"));
  EXPECT_TRUE(log.contains("[info] *********Collected estimate_info : 0"));
  EXPECT_TRUE(log.contains("[info] *********Collected position_info : 0"));
  EXPECT_FALSE(fs::exists(run_dir() / "estime_pose.csv"));
  EXPECT_FALSE(fs::exists(run_dir() / "odom_pose_filtered.csv"));
  EXPECT_EQ(std::distance(fs::directory_iterator(calibrator.ground_points_save_dir),
                          fs::directory_iterator()),
            3);
}

// A frame seeing one tag (id) near the middle of a 64 x 48 depth image at depth_path, with the
// robot at x metres along the odometry's x axis.
FrameRecord tag_frame(int id, const fs::path& depth_path, double x) {
  apriltag::TagPoints points(5, 2);
  points << 20, 15, 40, 15, 40, 35, 20, 35, 30, 25;
  FrameRecord frame;
  frame.pose.tx = x;
  frame.depth_path = depth_path.string();
  frame.corner_dict = {{id, points}};
  return frame;
}

// Each way a pair of frames can fail is counted apart, so that a run without pairs can say
// which one it was.
TEST_F(CameraBaseCalibratorTest, EveryFateOfAFramePairIsCounted) {
  settings_.debug = false;
  CameraBaseCalibrator calibrator(settings_);
  write_floor_clouds(run_dir() / "QuillonNode_quillon_pointcloud2", 3);
  const fs::path depth = dir_ / "depth_1m.png";
  const fs::path no_depth = dir_ / "depth_none.png";
  cv::imwrite(depth.string(), cv::Mat(48, 64, CV_16UC1, cv::Scalar(1000)));
  cv::imwrite(no_depth.string(), cv::Mat(48, 64, CV_16UC1, cv::Scalar(0)));
  calibrator.pose_estimator =
      std::make_unique<draventa::CameraPoseEstimator>(50.0, 50.0, 32.0, 24.0, 64, 48);
  FrameMap frames;
  frames[1] = tag_frame(0, depth, 0.0);
  frames[2] = tag_frame(0, depth, 0.2);     // the robot moved 0.2 m, the camera did not: gate
  frames[3] = tag_frame(0, no_depth, 0.2);  // no depth at the tag
  frames[4] = tag_frame(1, depth, 0.2);     // another tag than frame 3
  frames[5] = tag_frame(1, depth, 0.2);     // neither moved: kept
  testing::LogCapture log("orvalt.calibration.varnholt");
  calibrator.compute_odom_camera_motion_transforms(frames);
  const MotionPairCounts& counts = calibrator.pair_counts;
  EXPECT_EQ(counts.pairs, 4);
  EXPECT_EQ(counts.gate_failures, 1);
  EXPECT_EQ(counts.no_depth, 1);
  EXPECT_EQ(counts.no_common_tag, 1);
  EXPECT_EQ(counts.not_finite, 0);
  EXPECT_EQ(counts.accepted, 1);
  EXPECT_EQ(calibrator.T_odom_list.size(), 1u);
  EXPECT_TRUE(
      log.contains("[info] Dropped 1 of 4 motion pairs whose odometry and camera "
                   "translations differ by more than 0.05 m"));

  // Zero focal lengths turn every tag point into infinities; such motions are counted, not
  // passed on as a distance that fails the gate.
  calibrator.pose_estimator =
      std::make_unique<draventa::CameraPoseEstimator>(0.0, 0.0, 32.0, 24.0, 64, 48);
  calibrator.compute_odom_camera_motion_transforms(frames);
  EXPECT_EQ(calibrator.pair_counts.not_finite, 2);
  EXPECT_EQ(calibrator.pair_counts.gate_failures, 0);
  EXPECT_EQ(calibrator.pair_counts.pairs, 4);
  EXPECT_TRUE(calibrator.T_odom_list.empty());
}

TEST_F(CameraBaseCalibratorTest, FramesNeedTheirDirectories) {
  CameraBaseCalibrator calibrator(settings_);
  fs::create_directories(run_dir() / "QuillonNode_rectify_left_image");
  try {
    calibrator.load_sensor_pose_data();
    FAIL() << "expected an error";
  } catch (const common::FileNotFoundError& error) {
    EXPECT_EQ(std::string(error.what()),
              "Depth directory not found: " + (run_dir() / "QuillonNode_quillon_depth").string());
  }
  fs::create_directories(run_dir() / "QuillonNode_quillon_depth");
  fs::create_directories(run_dir() / "QuillonNode_quillon_pointcloud2");
  EXPECT_TRUE(calibrator.load_sensor_pose_data().empty());
  EXPECT_TRUE(fs::is_directory(run_dir() / "apriltag_detetc_visual"));
}

TEST_F(CameraBaseCalibratorTest, DetectorSettingsReachTheFrameLoader) {
  const std::string name = "1700000000000000042.0.1_0.2_0_1_0_0_0.png";
  const cv::Mat board =
      apriltag::AprilTagGenerator("tag36h11", 2).generate_kalibr_grid(2, 3, 100, 30);
  cv::Mat framed;
  cv::copyMakeBorder(board, framed, 60, 60, 60, 60, cv::BORDER_CONSTANT, cv::Scalar(255));
  settings_.detector = "apriltag";
  settings_.tag_border_bits = 2;
  CameraBaseCalibrator calibrator(settings_);
  for (const char* folder : {"QuillonNode_rectify_left_image", "QuillonNode_quillon_depth",
                             "QuillonNode_quillon_pointcloud2"}) {
    fs::create_directories(run_dir() / folder);
  }
  cv::imwrite((run_dir() / "QuillonNode_rectify_left_image" / name).string(), framed);
  cv::imwrite((run_dir() / "QuillonNode_quillon_depth" / name).string(),
              cv::Mat(8, 8, CV_16UC1, cv::Scalar(1000)));
  const FrameMap frames = calibrator.load_sensor_pose_data();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames.begin()->second.corner_dict.size(), 5u);
}

}  // namespace
}  // namespace orvalt::calibration
