#include "orvalt/calibration/varnholt/camera_base_calibrator.hpp"

#include <chrono>
#include <cmath>
#include <functional>
#include <stdexcept>

#include <fmt/format.h>
#include <yaml-cpp/yaml.h>
#include <opencv2/imgcodecs.hpp>

#include "orvalt/apriltag/quinsel/aprilgrid_corner_detect.hpp"
#include "orvalt/calibration/pellitor/observability.hpp"
#include "orvalt/calibration/pellitor/varnholt_optimizer.hpp"
#include "orvalt/calibration/report_page/report_page.hpp"
#include "orvalt/calibration/varnholt/board_refinement_stage.hpp"
#include "orvalt/calibration/varnholt/calibration_exports.hpp"
#include "orvalt/calibration/varnholt/calibration_report.hpp"
#include "orvalt/calibration/varnholt/calibration_result.hpp"
#include "orvalt/calibration/varnholt/ground_plane.hpp"
#include "orvalt/calibration/varnholt/motion_pair_counts.hpp"
#include "orvalt/calibration/varnholt/motion_pairs.hpp"
#include "orvalt/calibration/varnholt/report_page_collect.hpp"
#include "orvalt/calibration/varnholt/sensor_pose_loader.hpp"
#include "orvalt/calibration/varnholt/stage_timer.hpp"
#include "orvalt/common/atomic_file.hpp"
#include "orvalt/common/file_not_found_error.hpp"
#include "orvalt/common/logger.hpp"
#include "orvalt/draventa/camera_pose_estimator.hpp"
#include "orvalt/parser_bag/kestrune/bag_parser.hpp"
#include "orvalt/visual/ferrimond/transform_visualizer.hpp"

namespace orvalt::calibration {
namespace {

namespace fs = std::filesystem;

auto log() { return common::logger("orvalt.calibration.varnholt"); }

void recreate_directory(const fs::path& directory) {
  fs::remove_all(directory);
  fs::create_directories(directory);
}

template <typename T>
T required(const YAML::Node& document, const std::string& key, const fs::path& path) {
  const YAML::Node value = document[key];
  if (!value) {
    throw std::invalid_argument("Camera info file " + path.string() + " has no key '" + key + "'");
  }
  try {
    return value.as<T>();
  } catch (const YAML::Exception&) {
    throw std::invalid_argument("Camera info file " + path.string() + ": '" + key +
                                "' is not of the expected type");
  }
}

// Intrinsics that cannot be a camera's would not fail later: they would quietly bend every
// camera motion and so the result.
void check_intrinsics(const common::CameraIntrinsics& camera, const fs::path& path) {
  const auto refuse = [&path](const char* field, const std::string& rule, const auto& value) {
    throw std::invalid_argument(fmt::format("Camera info file {}: '{}' must be {}, got {}",
                                            path.string(), field, rule, value));
  };
  for (const auto& [field, value] : {std::pair{"fx", camera.fx}, std::pair{"fy", camera.fy}}) {
    if (!(std::isfinite(value) && value > 0.0)) refuse(field, "a finite number above 0", value);
  }
  for (const auto& [field, value] : {std::pair{"cx", camera.cx}, std::pair{"cy", camera.cy}}) {
    if (!std::isfinite(value)) refuse(field, "a finite number", value);
  }
  for (const auto& [field, value] :
       {std::pair{"width", camera.width}, std::pair{"height", camera.height}}) {
    if (value <= 0) refuse(field, "at least 1 pixel", value);
  }
}

}  // namespace

CameraBaseCalibrator::CameraBaseCalibrator(RunSettings& settings) : args(settings) {
  recreate_directory(run_dir());
  ground_points_save_dir = run_dir() / "cropped_plane_points";
  recreate_directory(ground_points_save_dir);
  args.crop_box = CropBox::from_region(args.pc_crop_region);
  visualizer = std::make_unique<visual::TransformVisualizer>(run_dir());
}

CameraBaseCalibrator::~CameraBaseCalibrator() = default;

fs::path CameraBaseCalibrator::run_dir() const { return args.parser_output_dir; }

fs::path CameraBaseCalibrator::topic_dir(const std::string& topic) const {
  return run_dir() / parser_bag::topic_dir_name(topic);
}

bool CameraBaseCalibrator::parser_bag_data() {
  const fs::path bag_dir = args.bag_dir.value_or("");
  if (!args.bag_dir || !fs::exists(bag_dir)) {
    throw std::invalid_argument("Bag directory does not exist: " + bag_dir.string());
  }
  log()->debug("Parser data output dir: {}", run_dir().string());
  bag_parser = std::make_unique<parser_bag::BagParser>(args.topic_list, args.global_frame,
                                                       args.base_frame, run_dir(), args.debug);
  return bag_parser->parse_bag(bag_dir);
}

void CameraBaseCalibrator::_init_apriltag_detector() {
  apriltag_detector = std::make_unique<apriltag::AprilgridCornerDetect>(
      args.tag_family, args.tag_size_m, args.target_ids,
      apriltag::detector_engine_from_name(args.detector), args.tag_border_bits);
}

void CameraBaseCalibrator::_init_pose_estimator() {
  const fs::path path = topic_dir(args.camera_info_topic) / "camera_info.yaml";
  if (!fs::exists(path)) {
    throw common::FileNotFoundError("Camera info file does not exist: " + path.string());
  }
  const YAML::Node document = YAML::LoadFile(path.string());
  // Without intrinsics no camera motion can be measured; saying so now beats failing at the
  // first frame pair.
  if (!document || document.IsNull() || document.size() == 0) {
    throw std::invalid_argument("Camera info file is empty: " + path.string());
  }
  intrinsics.fx = required<double>(document, "fx", path);
  intrinsics.fy = required<double>(document, "fy", path);
  intrinsics.cx = required<double>(document, "cx", path);
  intrinsics.cy = required<double>(document, "cy", path);
  intrinsics.width = required<int>(document, "width", path);
  intrinsics.height = required<int>(document, "height", path);
  required<std::vector<double>>(document, "distortion_coeffs", path);
  required<std::string>(document, "distortion_model", path);
  check_intrinsics(intrinsics, path);
  log()->debug("Camera intrinsics: fx={}, fy={}, cx={}, cy={}, width={}, height={}", intrinsics.fx,
               intrinsics.fy, intrinsics.cx, intrinsics.cy, intrinsics.width, intrinsics.height);
  pose_estimator = std::make_unique<draventa::CameraPoseEstimator>(intrinsics);
}

FrameMap CameraBaseCalibrator::load_sensor_pose_data(const std::string& visual_dir,
                                                     bool draw_visual) {
  const fs::path color_dir = topic_dir(args.camera_color_topic);
  const fs::path depth_dir = topic_dir(args.camera_depth_topic);
  const fs::path pointcloud_dir = topic_dir(args.camera_pointcloud_topic);
  for (const auto& [label, directory] :
       {std::pair{"Color", color_dir}, std::pair{"Depth", depth_dir},
        std::pair{"Pointcloud", pointcloud_dir}}) {
    if (!fs::exists(directory)) {
      throw common::FileNotFoundError(std::string(label) +
                                      " directory not found: " + directory.string());
    }
  }
  const fs::path drawing_dir = run_dir() / visual_dir;
  recreate_directory(drawing_dir);
  std::vector<ImageTask> tasks = collect_image_tasks(
      color_dir.string(), depth_dir.string(), pointcloud_dir.string(), draw_visual,
      drawing_dir.string(), args.tag_family, args.tag_size_m, args.target_ids,
      apriltag::detector_engine_from_name(args.detector), args.tag_border_bits);
  for (ImageTask& task : tasks) task.edge_corners = args.refine == "board";
  std::vector<ImageResult> results = run_image_tasks(tasks, default_worker_count());
  image_counts = count_images(results);
  page.images = page_images(tasks, results);
  FrameMap frames = frames_by_timestamp(std::move(results));
  log()->info("Loaded {} data pairs", frames.size());
  log()->info(
      "Tags of --target_ids found in {} of {} images; {} showed no tag, {} only tags of other "
      "ids, {} could not be read",
      image_counts.frames, image_counts.images, image_counts.without_tags,
      image_counts.tags_filtered, image_counts.failed);
  return frames;
}

bool CameraBaseCalibrator::compute_odom_camera_motion_transforms(
    const FrameMap& odom_camea_pose_data) {
  T_odom_list.clear();
  T_camera_list.clear();
  estimate_info.clear();
  position_info.clear();
  pair_counts = {};
  page.pairs.clear();
  collect_ground_planes(topic_dir(args.camera_pointcloud_topic), args.crop_box,
                        ground_points_save_dir);
  if (odom_camea_pose_data.size() > 1 && !pose_estimator) {
    throw std::invalid_argument("Pose estimator is not initialised: no camera intrinsics read");
  }

  // Each depth image serves two pairs; it is decoded once.
  cv::Mat depth_next;
  for (auto next = odom_camea_pose_data.begin(), current = next;
       current != odom_camea_pose_data.end() && ++next != odom_camea_pose_data.end(); ++current) {
    const auto& [ts_k, frame_k] = *current;
    const auto& [ts_k1, frame_k1] = *next;
    ++pair_counts.pairs;
    if (ts_k > ts_k1) {
      throw std::invalid_argument("time_stamp_curr: " + std::to_string(ts_k) +
                                  " must is less than time_stamp_next: " + std::to_string(ts_k1));
    }
    const Eigen::Matrix4d base_k_from_base_k1 = odom_motion(frame_k, frame_k1);
    const cv::Mat depth_k =
        depth_next.empty() ? cv::imread(frame_k.depth_path, cv::IMREAD_UNCHANGED) : depth_next;
    depth_next = cv::imread(frame_k1.depth_path, cv::IMREAD_UNCHANGED);
    if (depth_k.empty() || depth_next.empty()) {
      throw std::invalid_argument("Failed to read depth images at time_stamp: " +
                                  std::to_string(ts_k) + " or " + std::to_string(ts_k1));
    }
    const draventa::CameraMotion motion = pose_estimator->compute_camera_relative_transform(
        frame_k.corner_dict, frame_k1.corner_dict, depth_k, depth_next);
    if (!motion.success) {
      const bool shared = share_a_tag(frame_k.corner_dict, frame_k1.corner_dict);
      ++(shared ? pair_counts.no_depth : pair_counts.no_common_tag);
      page.pairs.push_back({ts_k, ts_k1, shared ? PairFate::kNoDepth : PairFate::kNoCommonTag});
      log()->debug(
          "Failed to compute camera relative transform between time_stamp: {} and {},"
          "thus skip",
          ts_k, ts_k1);
      continue;
    }
    const Eigen::Matrix4d cam_k_from_cam_k1 = camera_motion(motion.cam_k1_from_cam_k);
    if (!cam_k_from_cam_k1.allFinite()) {
      ++pair_counts.not_finite;
      page.pairs.push_back({ts_k, ts_k1, PairFate::kNotFinite});
      continue;
    }
    const MotionDiscrepancy discrepancy =
        motion_discrepancy(base_k_from_base_k1, cam_k_from_cam_k1);
    page.pairs.push_back({ts_k, ts_k1,
                          keeps_pair(discrepancy) ? PairFate::kAccepted : PairFate::kGated,
                          discrepancy.distance_error});
    if (!keeps_pair(discrepancy)) {
      ++pair_counts.gate_failures;
      continue;
    }
    ++pair_counts.accepted;
    T_odom_list.push_back(base_k_from_base_k1);
    T_camera_list.push_back(cam_k_from_cam_k1);
    if (args.debug) {
      estimate_info.push_back(estimate_line(ts_k, ts_k1, discrepancy));
      position_info.insert(frame_k.pose);
      position_info.insert(frame_k1.pose);
    }
  }
  if (T_odom_list.size() != T_camera_list.size()) {
    throw std::invalid_argument("Number of odom and camera motion pairs must be equal");
  }
  log()->info(
      "Dropped {} of {} motion pairs whose odometry and camera translations differ by more than "
      "0.05 m",
      pair_counts.gate_failures, pair_counts.pairs);
  log()->info("*********Collected valid motion pairs(camera-odom pair): {}", T_odom_list.size());
  log()->info("*********Collected estimate_info : {}", estimate_info.size());
  log()->info("*********Collected position_info : {}", position_info.size());
  if (args.debug) {
    const std::string estimate_path = run_dir().string() + "/estime_pose.csv";
    std::string estimate_text;
    for (const std::string& line : estimate_info) estimate_text += line + '\n';
    common::write_file_atomically(estimate_path, estimate_text);
    log()->debug("Estimate pose info saved to {}", estimate_path);
    Utils::save_pose_set_to_csv({position_info.begin(), position_info.end()},
                                run_dir().string() + "/odom_pose_filtered.csv");
  }
  return true;
}

Eigen::Matrix4d CameraBaseCalibrator::compute_initial_extrinsic() {
  if (T_odom_list.size() < 3 || T_camera_list.size() < 3) {
    throw std::invalid_argument("At least 3 motion pairs required for linear calibration");
  }
  const Eigen::Matrix4d X = TransformUtils::solve_axxb_linear(T_odom_list, T_camera_list);
  log()->debug("Linear calibration initial extrinsic init value:");
  log()->debug("Rotation matrix:\n{}", array_text(X.block<3, 3>(0, 0)));
  log()->debug("Translation vector:\n{}", array_text(X.block<3, 1>(0, 3)));
  return X;
}

std::pair<bool, bool> CameraBaseCalibrator::crop_and_estimate_plane_points(
    const std::string& pc_path, double x_min, double x_max, double y_min, double y_max,
    double z_min, double z_max, double dist_threshold, double inlier_ratio) {
  return calibration::crop_and_estimate_plane_points(
      pc_path, {x_min, x_max, y_min, y_max, z_min, z_max}, ground_points_save_dir, dist_threshold,
      inlier_ratio);
}

fs::path CameraBaseCalibrator::save_calibration_result(const Eigen::VectorXd& vec6,
                                                       const std::string& save_name) {
  if (vec6.size() != 6) throw std::invalid_argument("vec6 must be 6D vector!");
  const CalibrationResult result = decompose_extrinsic(vec6);
  R = result.R;
  t = result.t;
  euler = result.euler;
  euler_deg = result.euler_deg;
  quat = result.quat;
  log()->info("Calibration result:");
  log()->info("Rotation matrix:\n{}", array_text(R));
  log()->info("Translation vector:\n{}", array_text(t));
  log()->info("Eulerian angles (rad):\n{}", array_text(euler));
  log()->info("Eulerian angles (deg):\n{}", array_text(euler_deg));
  log()->info("Quaternion (w, x, y, z):\n{}", array_text(quat));
  log()->info("Extrinsic matrix:\n{}", array_text(result.extrinsic_matrix));
  const fs::path path = run_dir() / save_name;
  common::write_file_atomically(path, calibration_result_json(result));
  log()->info("Calibration results saved to: {}", path.string());
  return path;
}

void CameraBaseCalibrator::write_page(std::chrono::steady_clock::time_point run_start,
                                      const std::function<void()>& add_findings) {
  if (!args.report) return;
  try {
    if (add_findings) add_findings();
    page.settings = page_settings(args);
    page.program_version = program_version();
    if (args.bag_dir) page.recording = page_recording(*args.bag_dir);
    page.run_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - run_start).count();
    log()->info("Calibration report page saved to: {}",
                write_report_page(run_dir(), page).string());
  } catch (const std::exception& error) {
    log()->warn("⚠ Could not write calibration_report.html: {}", error.what());
  }
}

BoardRefinementRecord CameraBaseCalibrator::refine_on_board(const FrameMap& frames) {
  RefinementInput input;
  input.frames = refinement_frames(frames);
  input.odometry = refinement_odometry(bag_parser->odometry_track());
  input.intrinsics = intrinsics;
  input.tag_size_m = args.tag_size_m;
  input.initial_vec6 = vec6;
  input.floor_points = camera_to_base_calibration_optimizer->camera_ground_points();
  RefinementOptions options;
  options.threads = default_worker_count();
  options.odometry_noise_per_metre = args.odometry_noise[0];
  options.odometry_yaw_noise_per_radian = args.odometry_noise[1];
  options.odometry_yaw_noise_per_metre = args.odometry_noise[2];
  options.odometry_sideways_noise_per_metre = args.odometry_noise[3];
  board_refinement = refine_result_on_board(input, options);
  log_refinement(*board_refinement);
  if (board_refinement->result.success) vec6 = board_refinement->result.vec6;
  return *board_refinement;
}

void CameraBaseCalibrator::plot_pose_file(const std::string& csv_name, const std::string& prefix) {
  const PoseList poses = Utils::load_csv_to_pose_list(run_dir() / csv_name);
  visualizer->plot(poses.pose_list, poses.range_x, poses.range_y);
  visualizer->save(prefix);
}

TimeDict CameraBaseCalibrator::calibration() {
  log()->debug("Starting camera to base_footprint extrinsic calibration");
  const bool board_refinement_wanted = args.refine == "board";
  TimeDict time_dict = new_time_dict(board_refinement_wanted);
  page = {};
  const auto start = std::chrono::steady_clock::now();
  try {
    StageTimer timer(time_dict);
    if (!parser_bag_data()) throw std::invalid_argument("Data parsing error, exiting");
    if (args.debug) plot_pose_file("odom_pose.csv", "robot_pose_info");
    timer.finish_stage("parser_time", "Parser bag data", "Parser data");

    _init_apriltag_detector();
    timer.finish_stage("init_apriltag_time", "Init AprilTag detector", "Init AprilTag detector");

    _init_pose_estimator();
    timer.finish_stage("init_pose_estimator_time", "Init pose estimator", "Init pose estimator");

    const FrameMap data = load_sensor_pose_data();
    timer.finish_stage("load_sensor_time", "Load sensor data", "Load sensor data");

    compute_odom_camera_motion_transforms(data);
    // Ground planes alone would still give a result, but one that silently repeats the initial
    // yaw and horizontal offset: a recording in which the board was never seen twice in a row
    // is refused instead.
    if (T_odom_list.empty()) {
      throw std::invalid_argument(
          no_motion_pairs_message(image_counts, pair_counts, args.target_ids));
    }
    if (args.debug) plot_pose_file("odom_pose_filtered.csv", "robot_pose_info_filtered");
    timer.finish_stage("compute_odom_camera_motion_transforms_time",
                       "Compute odom and camera motion transforms",
                       "Compute odom and camera motion transforms", spdlog::level::info);

    CalibrationReport report = run_optimizer();
    timer.finish_stage("optimizer_time", "Run camera to base calibration optimizer",
                       "Run camera to base calibration optimizer");

    if (board_refinement_wanted) {
      report.refinement = refine_on_board(data);
      timer.finish_stage("refine_time", "Refine the result on the board",
                         "Refine the result on the board", spdlog::level::info);
    }

    const ObservabilityReport findings = result_observability(report);
    save_calibration_result(vec6);
    write_calibration_exports(run_dir(), decompose_extrinsic(vec6), args.base_frame,
                              args.camera_frame, unusable_parameters(findings));
    log()->info("Calibration report saved to: {}",
                write_calibration_report(run_dir(), report, args).string());
    write_page(start, [&] {
      add_result_to_page(page, vec6, report, args);
      const Eigen::Matrix4d base_from_camera = decompose_extrinsic(vec6).extrinsic_matrix;
      page.board_tags = board_tag_positions(data, base_from_camera, intrinsics, args.tag_size_m);
      page.floor_heights_m = floor_heights(
          camera_to_base_calibration_optimizer->camera_ground_points(), base_from_camera);
    });
    timer.finish_stage("save_calibration_result_time", "Save calibration result",
                       "Save calibration result");

    timer.finish_total();
    if (bag_parser->backward_stamps().total() > 0) {
      log()->warn("⚠ {} ({})", kBackwardStampsWarning, bag_parser->backward_stamps().summary());
    }
    // Last, so that it is what a user reads when the run ends.
    result_warning = usability_verdict(findings);
    if (!result_warning.empty()) log()->warn("⚠ {}", result_warning);
    return time_dict;
  } catch (const std::exception& error) {
    log()->error("Calibration failed with error: {}", error.what());
    page.failure = error.what();
    write_page(start);
    throw;
  }
}

CalibrationReport CameraBaseCalibrator::run_optimizer() {
  CalibOptimizerConfig config;
  config.maxiter = args.max_iter;
  config.w_axxb = args.w_axxb;
  config.w_normal = args.w_normal;
  config.w_z = args.w_z;
  config.w_xy = args.w_xy;
  config.ftol = args.ftol;
  config.gtol = args.gtol;
  log()->debug("**********Calibration optimizer config done**********\n");
  camera_to_base_calibration_optimizer =
      std::make_unique<VarnholtOptimizer>(T_odom_list, T_camera_list, ground_points_save_dir,
                                          args.extrinsics_bound, args.extrinsics_init);
  log()->debug("**********Init camera to base calibration optimizer done**********\n");
  CalibrationReport report;
  report.optimization = camera_to_base_calibration_optimizer->optimize(config);
  vec6 = report.optimization.vec6;
  report.observability = analyze_observability(*camera_to_base_calibration_optimizer, config, vec6);
  report.backward_header_stamps = bag_parser->backward_stamps().counts();
  log_observability(report.observability);
  return report;
}

}  // namespace orvalt::calibration
