#pragma once

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Core>

#include "orvalt/calibration/utils/transform_utils.hpp"
#include "orvalt/calibration/utils/utils.hpp"
#include "orvalt/calibration/varnholt/frame_record.hpp"
#include "orvalt/calibration/varnholt/motion_pair_counts.hpp"
#include "orvalt/calibration/varnholt/run_settings.hpp"
#include "orvalt/calibration/varnholt/time_dict.hpp"

namespace orvalt::apriltag {
class AprilgridCornerDetect;
}
namespace orvalt::draventa {
class CameraPoseEstimator;
}
namespace orvalt::parser_bag {
class BagParser;
}
namespace orvalt::visual {
class TransformVisualizer;
}

namespace orvalt::calibration {

class VarnholtOptimizer;
struct CalibrationReport;

// Camera-to-base_footprint extrinsic calibrator fusing AX=XB hand-eye calibration and ground
// geometric constraints. One instance performs one run in args.parser_output_dir: it extracts
// the bag there, detects the AprilGrid in every colour image, pairs camera and odometry
// motions, collects ground planes, optimizes the extrinsic and writes calibration_result.json.
class CameraBaseCalibrator {
 public:
  // Deletes and recreates the run directory and its "cropped_plane_points", and sets the crop
  // box of `settings` from its pc_crop_region. Keeps `settings` (not a copy), which must have
  // passed RunSettings::check() and derive_extrinsics.
  explicit CameraBaseCalibrator(RunSettings& settings);
  ~CameraBaseCalibrator();
  CameraBaseCalibrator(const CameraBaseCalibrator&) = delete;
  CameraBaseCalibrator& operator=(const CameraBaseCalibrator&) = delete;

  // Every stage in turn, each timed into the returned time_dict. A failure is logged as
  // "Calibration failed with error: " + its message and passed on unchanged; a run that
  // collected no motion pair fails before the optimizer.
  TimeDict calibration();

  // Extracts args.bag_dir into the run directory; the bag parser's success flag. Throws
  // std::invalid_argument "Bag directory does not exist: <path>".
  bool parser_bag_data();
  // Builds apriltag_detector from the run's tag settings.
  void _init_apriltag_detector();
  // Reads the intrinsics from the camera-info topic's "camera_info.yaml". Throws
  // common::FileNotFoundError when it is missing and std::invalid_argument, naming the file
  // and the key, when it is empty, lacks one of fx, fy, cx, cy, width, height,
  // distortion_coeffs, distortion_model, or holds intrinsics no camera has (fx, fy not finite
  // and positive, cx, cy not finite, width, height below 1).
  void _init_pose_estimator();

  // Every colour image with a depth image of the same name whose tags were found, by
  // timestamp, with what became of each image in image_counts; detection drawings go to the
  // run directory / visual_dir (recreated). Throws
  // common::FileNotFoundError "Color/Depth/Pointcloud directory not found: <path>".
  FrameMap load_sensor_pose_data(const std::string& visual_dir = "apriltag_detetc_visual",
                                 bool draw_visual = true);

  // Collects the ground planes, then fills T_odom_list and T_camera_list with the motions of
  // consecutive frames whose translations agree within 0.05 m (and, in debug mode, writes
  // "estime_pose.csv" and "odom_pose_filtered.csv"), counting in pair_counts what became of
  // every pair. Returns true; failures are thrown.
  bool compute_odom_camera_motion_transforms(const FrameMap& odom_camea_pose_data);

  // The linear AX = XB estimate from the collected pairs. Throws std::invalid_argument with
  // fewer than 3 pairs.
  Eigen::Matrix4d compute_initial_extrinsic();

  // crop_and_estimate_plane_points of ground_plane.hpp into ground_points_save_dir.
  std::pair<bool, bool> crop_and_estimate_plane_points(const std::string& pc_path, double x_min,
                                                       double x_max, double y_min, double y_max,
                                                       double z_min, double z_max,
                                                       double dist_threshold = 0.002,
                                                       double inlier_ratio = 0.7);

  // Decomposes vec6 into R, t, euler, euler_deg and quat, logs them and writes them, whole or
  // not at all, to the run directory / save_name; returns that path. Throws std::invalid_argument
  // "vec6 must be 6D vector!" unless vec6 has six entries, and std::runtime_error when the file
  // cannot be written.
  std::filesystem::path save_calibration_result(
      const Eigen::VectorXd& vec6, const std::string& save_name = "calibration_result.json");

  std::filesystem::path run_dir() const;

  RunSettings& args;
  std::vector<Eigen::Matrix4d> T_odom_list;
  std::vector<Eigen::Matrix4d> T_camera_list;
  std::filesystem::path ground_points_save_dir;
  std::vector<std::string> estimate_info;
  std::set<PoseRow> position_info;
  double fx = 0, fy = 0, cx = 0, cy = 0;
  int width = 0, height = 0;
  Vector6d vec6 = Vector6d::Zero();
  Eigen::Matrix3d R = Eigen::Matrix3d::Identity();
  Eigen::Vector3d t = Eigen::Vector3d::Zero();
  Eigen::Vector3d euler = Eigen::Vector3d::Zero();
  Eigen::Vector3d euler_deg = Eigen::Vector3d::Zero();
  Eigen::Vector4d quat = Eigen::Vector4d(1, 0, 0, 0);
  // What became of the images and frame pairs, to say why a run found no motion pair.
  ImageCounts image_counts;
  MotionPairCounts pair_counts;
  // After a run: "" or why its result is not usable as it stands (usability_verdict).
  std::string result_warning;

  std::unique_ptr<visual::TransformVisualizer> visualizer;
  std::unique_ptr<parser_bag::BagParser> bag_parser;
  // The run's detector, for callers that detect or draw one image as the run did; the frame
  // loading workers build their own, as a detector keeps per-image state.
  std::unique_ptr<apriltag::AprilgridCornerDetect> apriltag_detector;
  std::unique_ptr<draventa::CameraPoseEstimator> pose_estimator;
  std::unique_ptr<VarnholtOptimizer> camera_to_base_calibration_optimizer;

 private:
  // Configures and runs the optimizer on the collected pairs and ground planes, keeps the
  // result in vec6 and returns what the run found out about it.
  CalibrationReport run_optimizer();
  void plot_pose_file(const std::string& csv_name, const std::string& prefix);
  std::filesystem::path topic_dir(const std::string& topic) const;
};

}  // namespace orvalt::calibration
