#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include <Eigen/Core>
#include <nlohmann/json_fwd.hpp>
#include <opencv2/core/mat.hpp>

#include "orvalt/parser_bag/kestrune/backward_stamps.hpp"
#include "orvalt/parser_bag/kestrune/job_queue.hpp"
#include "orvalt/parser_bag/kestrune/transform_manager.hpp"
#include "orvalt/ros2/messages.hpp"

namespace YAML {
class Node;
}

namespace orvalt::ros2 {
class BagReader;
}

namespace orvalt::parser_bag {

// N x 3 points (x, y, z), one point per row, stored contiguously.
using Points3f = Eigen::Matrix<float, Eigen::Dynamic, 3, Eigen::RowMajor>;
// N x 2 laser points (x, y) in the scan's frame, metres.
using LaserPoints = Eigen::Matrix<double, Eigen::Dynamic, 2, Eigen::RowMajor>;

struct CameraIntrinsic {
  double fx = 0, fy = 0, cx = 0, cy = 0;
  Eigen::Matrix3d K = Eigen::Matrix3d::Zero();
  std::vector<double> distortion;
};

// What camera_info.yaml holds, in its key order.
struct CameraInfoRecord {
  double fx = 0, fy = 0, cx = 0, cy = 0;
  std::vector<double> distortion_coeffs;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::string distortion_model;
};

struct OdomRecord {
  ros2::geometry_msgs::Point position;
  ros2::geometry_msgs::Quaternion orientation;
  std::array<double, 36> pose_covariance{};
  ros2::geometry_msgs::Vector3 twist_linear;
  ros2::geometry_msgs::Vector3 twist_angular;
  std::array<double, 36> twist_covariance{};
};

struct ImuRecord {
  ros2::geometry_msgs::Quaternion orientation;
  std::array<double, 9> orientation_covariance{};
  ros2::geometry_msgs::Vector3 angular_velocity;
  std::array<double, 9> angular_velocity_covariance{};
  ros2::geometry_msgs::Vector3 linear_acceleration;
  std::array<double, 9> linear_acceleration_covariance{};
};

// One message of a sensor topic: its header stamp (none for a type without a header) and the
// decoded message for the types the parser converts.
struct SensorMessage {
  std::optional<ros2::builtin_interfaces::Time> stamp;
  std::variant<std::monostate, ros2::sensor_msgs::Image, ros2::sensor_msgs::PointCloud2,
               ros2::sensor_msgs::LaserScan, ros2::nav_msgs::Odometry, ros2::sensor_msgs::Imu>
      message;
};

// A file the save workers write: an image as PNG, or points as binary PLY.
struct ImageJob {
  std::string path;
  cv::Mat image;
};
struct CloudJob {
  std::string path;
  Points3f points;
};

// A file of the output tree could not be written (disk full, no permission, a file where a
// directory should be); what() names the file.
class ExportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The directory name of a topic: leading and trailing "/" removed, inner "/" replaced by "_"
// ("/a//b/" gives "a__b"). Throws std::invalid_argument when that leaves no usable single
// directory name ("", "." or "..").
std::string topic_dir_name(const std::string& topic);

// The topics a parse extracts, in the order BagParser expects them: "/tf", "/tf_static", then
// the camera's colour, point cloud, depth and camera info topics.
std::vector<std::string> make_topic_list(const std::string& camera_color_topic,
                                         const std::string& camera_pointcloud_topic,
                                         const std::string& camera_depth_topic,
                                         const std::string& camera_info_topic);

// Turns one recording into the parser output tree under `save_dir`: a directory per topic of
// `topic_list` (except "/tf" and "/tf_static") holding a PNG or PLY file per converted sensor
// message, named by the odometry pose at the message's header stamp (see OdomInfo), the
// first camera intrinsics as camera_info.yaml in their topic's directory, and, when `debug`,
// every matched pose in save_dir/odom_pose.csv.
// Construction wipes and recreates the topic directories (throws common::FileNotFoundError
// when `save_dir` is not a directory) and starts four save workers (two for colour, one each
// for depth and point clouds), each fed by its own bounded queue; a colour file always goes
// to the same colour worker, so writes of one path happen in the order they were queued.
// Destruction writes whatever is still queued and stops the workers. One parse_bag call per
// parser.
class BagParser {
 public:
  BagParser(std::vector<std::string> topic_list, std::string global_frame, std::string base_frame,
            std::filesystem::path save_dir, bool debug = true);
  ~BagParser();
  BagParser(const BagParser&) = delete;
  BagParser& operator=(const BagParser&) = delete;

  // True after both passes succeeded and every queued file is written. False, with the
  // reason logged, for a bag that lacks a configured topic, whose transforms do not connect
  // the frames, that gives fewer than 50 messages a pose, or that cannot be read.
  // Throws common::FileNotFoundError when `bag_path` does not exist, and ExportError with the
  // first failed write when any file of the output tree could not be written.
  bool parse_bag(const std::filesystem::path& bag_path);

  // First pass: every transform into the manager, the first camera intrinsics to disk.
  // True when the transforms connect the global and the base frame.
  bool _collect_tf_and_camera_info(const ros2::BagReader& reader_bag);
  void _process_tf_msg(const ros2::tf2_msgs::TFMessage& msg, const std::string& tf_type);
  static CameraIntrinsic _get_camera_intrinsic(
      const ros2::sensor_msgs::CameraInfo& camera_info_msg);
  void _parser_cam_info(const ros2::sensor_msgs::CameraInfo& msg, const std::string& camera_name);

  // Second pass: every sensor message paired with its pose and converted. True when at least
  // 50 messages received a pose.
  bool _parse_sensor_msgs(const ros2::BagReader& bag_reader);
  // Looks up the pose of one message (or, without `query_tf_info`, names it by its stamp)
  // and converts it; a failure drops this message only.
  void _process_sensor_msg(const SensorMessage& msg, const std::string& msg_type,
                           const std::string& topic_name, bool query_tf_info = true);

  // Converters; `pos_info` is the file stem, `save_dir` the topic directory.
  // Queues a depth PNG (16-bit millimetres) for "32fc1" (NaN, infinite and negative depths
  // become 0, depths above 65.535 m become 65535), "mono16" and "16uc1", a colour PNG (3
  // channels, blue-green-red) for "rgb8", "rgba8", "bgr8", "bgra8", "nv12", "nv-12" and
  // "nv 12" (any case). Throws std::invalid_argument for other encodings and for pixel data
  // that does not fit the image's size.
  void _msg2image(const ros2::sensor_msgs::Image& msg, const std::string& pos_info,
                  const std::string& save_dir);
  // A width x height NV12 frame (luma plane, then interleaved chroma, no padding) as a
  // blue-green-red image. Throws std::runtime_error "NV12 to RGB conversion failed: ..." when
  // the byte count or the size does not suit NV12.
  static cv::Mat nv12_to_bgr(const ros2::Bytes& nv12_data, int width, int height);
  // The cloud's x, y, z (float32 or float64 fields of one type, honouring row_step and byte
  // order), without non-finite points unless the cloud is dense, and queues them as PLY.
  // Never throws: a malformed cloud logs "[PCD ERROR] ..." and gives an empty result.
  Points3f _msg2pcd(const ros2::sensor_msgs::PointCloud2& msg, const std::string& pos_info,
                    const std::string& save_dir);
  // The parse writes no file for laser, odometry and IMU messages; these converters give their
  // values to callers that want them.
  // Finite ranges within [range_min, range_max] as points, angles spread evenly from
  // angle_min to angle_max (both included).
  [[nodiscard]] static LaserPoints _msg2laser(const ros2::sensor_msgs::LaserScan& msg);
  [[nodiscard]] static OdomRecord _msg2odom(const ros2::nav_msgs::Odometry& msg);
  [[nodiscard]] static ImuRecord _msg2imu(const ros2::sensor_msgs::Imu& msg);

  // Single-shot writers; each returns true after writing and throws std::runtime_error
  // naming the file when it cannot write. Binary PLY, with `colors` (N x 3, 0-255) when given.
  static bool _save_pcd(const Points3f& data, const std::string& save_path,
                        const std::optional<Eigen::MatrixXd>& colors = std::nullopt);
  // Block style, keys in insertion order, indentation 4.
  static bool _save_yaml(const YAML::Node& data, const std::string& save_path);
  // Indentation 2, keys in insertion order.
  static bool _save_json(const nlohmann::ordered_json& data, const std::string& save_path);
  // One row per line, values as "%.6f" separated by single blanks.
  static bool _save_txt(const Eigen::MatrixXd& data, const std::string& save_path);

  const std::vector<std::string>& topic_list() const { return topic_list_; }
  int parser_sensor_data_num() const { return parser_sensor_data_num_; }
  int valid_sensor_data_num() const { return valid_sensor_data_num_; }
  int save_point_cloud_frame_num() const { return save_point_cloud_frame_num_; }
  bool camera_info_already_parsed() const { return camera_info_already_parsed_; }
  const std::optional<CameraInfoRecord>& camera_info() const { return camera_info_; }
  const std::set<calibration::PoseRow>& odom_pose_info() const { return odom_pose_info_; }
  // The base's pose in the global frame at every stamp of a dynamic transform out of the
  // global frame or into the base frame: the odometry at its own rate, in time order, for
  // callers that need it between the sensor stamps. Empty until a parse succeeded.
  const std::vector<calibration::PoseRow>& odometry_track() const { return odometry_track_; }
  const std::set<std::string>& prepross_topic_list() const { return prepross_topic_list_; }
  const std::map<std::string, std::filesystem::path>& topic_save_dir() const {
    return topic_save_dir_;
  }
  const TransformManager& tf_mgr() const { return tf_mgr_; }
  // Header stamps of the sensor topics and of the dynamic transforms (per link) that went
  // backwards in bag order during the parse.
  const BackwardStamps& backward_stamps() const { return backward_stamps_; }

 private:
  bool parse_opened_bag(const std::filesystem::path& bag_path, const std::string& bag_name);
  void _init_dirs();
  void write_odom_pose_csv() const;
  void _save_worker(JobQueue<ImageJob>& queue, const std::string& data_type);
  void _save_worker(JobQueue<CloudJob>& queue, const std::string& data_type);
  void record_write_failure(const std::string& failure);
  void observe_transform_stamps(const std::string& topic, const ros2::tf2_msgs::TFMessage& msg);
  void look_up_odometry_track();
  // Same path, same queue: a later file of a stem replaces the earlier one, never races it.
  JobQueue<ImageJob>& save_color_queue_for(const std::string& path);
  void join_save_queues();

  std::vector<std::string> topic_list_;
  std::string global_frame_;
  std::string base_frame_;
  bool debug_;
  int parser_sensor_data_num_ = 0;
  int valid_sensor_data_num_ = 0;
  bool camera_info_already_parsed_ = false;
  std::set<calibration::PoseRow> odom_pose_info_;
  std::set<std::int64_t> odometry_stamps_ns_;
  std::vector<calibration::PoseRow> odometry_track_;
  std::filesystem::path save_dir_;
  std::map<std::string, std::filesystem::path> topic_save_dir_;
  TransformManager tf_mgr_;
  std::set<std::string> prepross_topic_list_;
  int save_point_cloud_frame_num_ = 0;
  std::optional<CameraInfoRecord> camera_info_;
  BackwardStamps backward_stamps_;
  // The first write a save worker could not do, and how many failed.
  std::mutex write_failure_mutex_;
  std::optional<std::string> first_write_failure_;
  int write_failure_count_ = 0;

  // Encoding PNG files is slower than reading the bag: unbounded queues held a long
  // recording's images in memory (a 60 s recording's calibration peaked at 2.9 GiB, 1.7
  // GiB with these bounds). 32 waiting messages per queue keep the writers busy.
  static constexpr std::size_t kQueueCapacity = 32;
  JobQueue<ImageJob> save_depth_queue_{kQueueCapacity};
  // A colour PNG takes about twice as long to encode as a depth one: with a second colour
  // writer both cores of a small robot computer stay busy until the last image is written.
  std::array<JobQueue<ImageJob>, 2> save_color_queues_{JobQueue<ImageJob>(kQueueCapacity),
                                                       JobQueue<ImageJob>(kQueueCapacity)};
  JobQueue<CloudJob> save_pc_queue_{kQueueCapacity};
  std::vector<std::thread> save_workers_;
};

}  // namespace orvalt::parser_bag
