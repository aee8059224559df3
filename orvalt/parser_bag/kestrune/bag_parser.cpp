#include "orvalt/parser_bag/kestrune/bag_parser.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <yaml-cpp/yaml.h>

#include "orvalt/calibration/utils/utils.hpp"
#include "orvalt/common/file_not_found_error.hpp"
#include "orvalt/common/float_text.hpp"
#include "orvalt/common/logger.hpp"
#include "orvalt/common/progress_bar.hpp"
#include "orvalt/ros2/bag_reader.hpp"
#include "orvalt/ros2/header_stamp.hpp"

namespace orvalt::parser_bag {
namespace {

constexpr const char* kTfType = "tf2_msgs/msg/TFMessage";
constexpr const char* kCameraInfoType = "sensor_msgs/msg/CameraInfo";
constexpr const char* kPointCloud2Type = "sensor_msgs/msg/PointCloud2";
constexpr const char* kImageType = "sensor_msgs/msg/Image";
constexpr const char* kLaserScanType = "sensor_msgs/msg/LaserScan";
constexpr const char* kOdometryType = "nav_msgs/msg/Odometry";
constexpr const char* kImuType = "sensor_msgs/msg/Imu";
constexpr int kMinValidMessages = 50;
constexpr int kMaxPointClouds = 11;

auto log() { return common::logger("orvalt.parser_bag.kestrune"); }

// Bags of the first ROS 2 releases name types without "/msg/" ("sensor_msgs/Image").
std::string canonical_type(const std::string& type) {
  const auto slash = type.find('/');
  if (slash == std::string::npos || type.find('/', slash + 1) != std::string::npos) return type;
  return type.substr(0, slash) + "/msg/" + type.substr(slash + 1);
}

std::string last_component(const std::filesystem::path& path) {
  return (path.has_filename() ? path : path.parent_path()).filename().string();
}

template <class Message>
SensorMessage decoded(const ros2::Bytes& bytes) {
  auto message = Message::decode(bytes);
  SensorMessage sensor;
  sensor.stamp = message.header.stamp;
  sensor.message = std::move(message);
  return sensor;
}

// Types the parser converts are decoded whole; of any other type only the header stamp is
// read (from the known stamped types or the schema the bag stores).
SensorMessage decode_sensor_message(const ros2::BagMessage& bag_message, const std::string& type) {
  if (type == kImageType) return decoded<ros2::sensor_msgs::Image>(bag_message.data);
  if (type == kPointCloud2Type) return decoded<ros2::sensor_msgs::PointCloud2>(bag_message.data);
  if (type == kLaserScanType) return decoded<ros2::sensor_msgs::LaserScan>(bag_message.data);
  if (type == kOdometryType) return decoded<ros2::nav_msgs::Odometry>(bag_message.data);
  if (type == kImuType) return decoded<ros2::sensor_msgs::Imu>(bag_message.data);
  SensorMessage sensor;
  const auto& connection = *bag_message.connection;
  if (const auto stamp =
          ros2::header_stamp(connection.msgtype, bag_message.data, connection.message_definition)) {
    sensor.stamp = ros2::builtin_interfaces::Time::from_nanoseconds(*stamp);
  }
  return sensor;
}

// The shortest text that reads back as the same double, always spelled as a YAML 1.1 float:
// with a point ("500.0", not "500", which readers take for an integer; "1.0e-07", not
// "1e-07", which they take for a string).
std::string yaml_float(double value) {
  if (std::isnan(value)) return ".nan";
  if (std::isinf(value)) return value > 0 ? ".inf" : "-.inf";
  std::string text = common::float_text(value);
  if (text.find('.') == std::string::npos) text.insert(std::min(text.find('e'), text.size()), ".0");
  return text;
}

std::string stamp_stem(const ros2::builtin_interfaces::Time& stamp) {
  return std::to_string(stamp.nanoseconds());
}

}  // namespace

std::vector<std::string> make_topic_list(const std::string& camera_color_topic,
                                         const std::string& camera_pointcloud_topic,
                                         const std::string& camera_depth_topic,
                                         const std::string& camera_info_topic) {
  return {"/tf",
          "/tf_static",
          camera_color_topic,
          camera_pointcloud_topic,
          camera_depth_topic,
          camera_info_topic};
}

BagParser::BagParser(std::vector<std::string> topic_list, std::string global_frame,
                     std::string base_frame, std::filesystem::path save_dir, bool debug)
    : topic_list_(std::move(topic_list)),
      global_frame_(std::move(global_frame)),
      base_frame_(std::move(base_frame)),
      debug_(debug),
      save_dir_(std::move(save_dir)),
      tf_mgr_(base_frame_, global_frame_) {
  _init_dirs();
  save_workers_.emplace_back([this] { _save_worker(save_depth_queue_, "depth"); });
  for (auto& queue : save_color_queues_) {
    save_workers_.emplace_back([this, &queue] { _save_worker(queue, "color"); });
  }
  save_workers_.emplace_back([this] { _save_worker(save_pc_queue_, "pcd"); });
}

BagParser::~BagParser() {
  // Closing lets each worker write what is still queued before it ends, so no file that a
  // parse produced is lost, whichever way the parse ended.
  save_depth_queue_.close();
  for (auto& queue : save_color_queues_) queue.close();
  save_pc_queue_.close();
  for (auto& worker : save_workers_) worker.join();
}

bool BagParser::parse_bag(const std::filesystem::path& bag_path) {
  if (!std::filesystem::exists(bag_path)) {
    throw common::FileNotFoundError("Bag file does not exist: " + bag_path.string() +
                                    ",Please check the path.");
  }
  const std::string bag_name = last_component(bag_path);
  log()->info("Start parsing Bag: {}", bag_name);
  bool parsed = false;
  std::optional<std::string> export_failure;
  try {
    parsed = parse_opened_bag(bag_path, bag_name);
  } catch (const ExportError& error) {
    export_failure = error.what();
    log()->error("Export failed: {}", error.what());
  } catch (const std::exception& error) {
    log()->error("Bag parsing failed: {}", error.what());
  }
  tf_mgr_.shutdown();
  if (backward_stamps_.total() > 0) {
    log()->warn(
        "⚠ Header stamps went backwards {} times ({}): the recording's clock jumped, so poses "
        "matched near the jump may be wrong and a calibration from this bag is suspect",
        backward_stamps_.total(), backward_stamps_.summary());
  }
  // An output tree with files missing looks like a recording with fewer frames; the caller
  // must not go on with it.
  {
    std::lock_guard<std::mutex> lock(write_failure_mutex_);
    if (!export_failure && first_write_failure_) {
      export_failure = *first_write_failure_;
      log()->error("Export failed: {} file(s) could not be written, the first: {}",
                   write_failure_count_, *export_failure);
    }
  }
  if (export_failure) throw ExportError(*export_failure);
  return parsed;
}

void BagParser::join_save_queues() {
  for (auto& queue : save_color_queues_) queue.join();
  save_depth_queue_.join();
  save_pc_queue_.join();
}

JobQueue<ImageJob>& BagParser::save_color_queue_for(const std::string& path) {
  return save_color_queues_[std::hash<std::string>{}(path) % save_color_queues_.size()];
}

void BagParser::record_write_failure(const std::string& failure) {
  std::lock_guard<std::mutex> lock(write_failure_mutex_);
  if (!first_write_failure_) first_write_failure_ = failure;
  ++write_failure_count_;
}

bool BagParser::parse_opened_bag(const std::filesystem::path& bag_path,
                                 const std::string& bag_name) {
  ros2::BagReader reader(bag_path);
  const auto bag_topics = reader.topics();
  const bool has_all_topics =
      std::all_of(topic_list_.begin(), topic_list_.end(),
                  [&](const std::string& topic) { return bag_topics.count(topic) > 0; });
  if (!has_all_topics) {
    log()->warn("Bag {} is not valid, it is missing topics: [{}]", bag_name,
                fmt::join(topic_list_, ", "));
    return false;
  }
  if (!_collect_tf_and_camera_info(reader)) return false;
  if (!_parse_sensor_msgs(reader)) return false;
  look_up_odometry_track();
  join_save_queues();
  reader.close();
  log()->debug("Finish parsing Bag: {}", bag_name);
  return true;
}

bool BagParser::_collect_tf_and_camera_info(const ros2::BagReader& reader_bag) {
  log()->debug("\nCollect TF transforms and camera info...");
  const std::set<std::string> topics(topic_list_.begin(), topic_list_.end());
  std::vector<const ros2::Connection*> selected;
  std::size_t total = 0;
  for (const auto& connection : reader_bag.connections()) {
    const std::string type = canonical_type(connection.msgtype);
    if (topics.count(connection.topic) && (type == kTfType || type == kCameraInfoType)) {
      selected.push_back(&connection);
      total += reader_bag.info().message_counts.at(connection.id);
    }
  }
  common::ProgressBar progress("Collecting TF", total);
  if (!selected.empty()) {
    auto stream = reader_bag.messages(selected);
    while (auto message = stream.next()) {
      progress.update();
      const auto& connection = *message->connection;
      prepross_topic_list_.insert(connection.topic);
      if (canonical_type(connection.msgtype) == kTfType) {
        const auto tf_message = ros2::tf2_msgs::TFMessage::decode(message->data);
        const bool is_static = connection.topic == "/tf_static";
        if (!is_static) observe_transform_stamps(connection.topic, tf_message);
        _process_tf_msg(tf_message, is_static ? "static_tf" : "dynamic_tf");
      } else {
        const auto camera_info = ros2::sensor_msgs::CameraInfo::decode(message->data);
        if (!camera_info_already_parsed_) _parser_cam_info(camera_info, connection.topic);
      }
    }
  }
  progress.finish();

  std::string error;
  if (tf_mgr_.can_transform(base_frame_, global_frame_, &error)) {
    log()->info("✅ TF tree is complete: odom <-> base_footprint is connected");
    return true;
  }
  if (!error.empty()) log()->error("❌ TF tree is broken: {}", error);
  log()->error("Need to connect: {} → {}", global_frame_, base_frame_);
  return false;
}

void BagParser::observe_transform_stamps(const std::string& topic,
                                         const ros2::tf2_msgs::TFMessage& msg) {
  // Each link keeps its own clock: links published by different nodes interleave.
  for (const auto& transform : msg.transforms) {
    backward_stamps_.observe(
        topic, topic + " " + transform.header.frame_id + " -> " + transform.child_frame_id,
        transform.header.stamp.nanoseconds());
    if (transform.header.frame_id == global_frame_ || transform.child_frame_id == base_frame_) {
      odometry_stamps_ns_.insert(transform.header.stamp.nanoseconds());
    }
  }
}

void BagParser::look_up_odometry_track() {
  odometry_track_.clear();
  for (const std::int64_t stamp : odometry_stamps_ns_) {
    const auto info = tf_mgr_.get_odom_info(ros2::builtin_interfaces::Time::from_nanoseconds(stamp),
                                            base_frame_, global_frame_);
    if (info) odometry_track_.push_back(info->odom_pose);
  }
}

void BagParser::_process_tf_msg(const ros2::tf2_msgs::TFMessage& msg, const std::string& tf_type) {
  try {
    tf_mgr_._save_tf_buffer(msg, tf_type);
  } catch (const std::exception& error) {
    log()->error("Failed to process TF message: {}", error.what());
  }
}

CameraIntrinsic BagParser::_get_camera_intrinsic(
    const ros2::sensor_msgs::CameraInfo& camera_info_msg) {
  CameraIntrinsic intrinsic;
  intrinsic.K =
      Eigen::Map<const Eigen::Matrix<double, 3, 3, Eigen::RowMajor>>(camera_info_msg.k.data());
  intrinsic.fx = intrinsic.K(0, 0);
  intrinsic.fy = intrinsic.K(1, 1);
  intrinsic.cx = intrinsic.K(0, 2);
  intrinsic.cy = intrinsic.K(1, 2);
  intrinsic.distortion = camera_info_msg.d;
  return intrinsic;
}

void BagParser::_parser_cam_info(const ros2::sensor_msgs::CameraInfo& msg,
                                 const std::string& camera_name) {
  const auto intrinsic = _get_camera_intrinsic(msg);
  const CameraInfoRecord record{intrinsic.fx, intrinsic.fy,         intrinsic.cx,
                                intrinsic.cy, intrinsic.distortion, msg.width,
                                msg.height,   msg.distortion_model};
  YAML::Node node;
  node["fx"] = yaml_float(record.fx);
  node["fy"] = yaml_float(record.fy);
  node["cx"] = yaml_float(record.cx);
  node["cy"] = yaml_float(record.cy);
  for (const double coefficient : record.distortion_coeffs) {
    node["distortion_coeffs"].push_back(yaml_float(coefficient));
  }
  if (record.distortion_coeffs.empty())
    node["distortion_coeffs"] = YAML::Node(YAML::NodeType::Sequence);
  node["width"] = record.width;
  node["height"] = record.height;
  node["distortion_model"] = record.distortion_model;
  const auto path = (topic_save_dir_.at(camera_name) / "camera_info.yaml").string();
  try {
    _save_yaml(node, path);
  } catch (const std::runtime_error& error) {
    throw ExportError(error.what());
  }
  camera_info_ = record;
  log()->debug("Camera {} info saved to: {}", camera_name, path);
  camera_info_already_parsed_ = true;
}

bool BagParser::_parse_sensor_msgs(const ros2::BagReader& bag_reader) {
  log()->debug("\nParse sensor messages...");
  std::set<std::string> sensor_topics;
  for (const auto& topic : topic_list_) {
    if (!prepross_topic_list_.count(topic)) sensor_topics.insert(topic);
  }
  std::vector<const ros2::Connection*> selected;
  for (const auto& connection : bag_reader.connections()) {
    if (sensor_topics.count(connection.topic)) selected.push_back(&connection);
  }
  save_point_cloud_frame_num_ = 0;
  parser_sensor_data_num_ = 0;
  valid_sensor_data_num_ = 0;

  common::ProgressBar progress("Parsing sensors", std::nullopt);
  if (!selected.empty()) {
    auto stream = bag_reader.messages(selected);
    while (auto message = stream.next()) {
      progress.update();
      const std::string type = canonical_type(message->connection->msgtype);
      const SensorMessage sensor = decode_sensor_message(*message, type);
      const std::string& topic = message->connection->topic;
      if (sensor.stamp) backward_stamps_.observe(topic, topic, sensor.stamp->nanoseconds());
      ++parser_sensor_data_num_;
      _process_sensor_msg(sensor, type, topic);
    }
  }
  progress.finish();

  if (debug_) write_odom_pose_csv();
  if (parser_sensor_data_num_ == 0) {
    throw std::runtime_error("the bag holds no message on the sensor topics [" +
                             fmt::format("{}", fmt::join(sensor_topics, ", ")) +
                             "], so no ratio of valid messages exists");
  }
  // The separators of these two lines are runs of 17 and 19 blanks.
  const std::string gap17(17, ' ');
  const std::string gap19(19, ' ');
  log()->info("Total parsed sensor messages: {},{}valid sensor messages: {},{}ratio: {:.4f}",
              parser_sensor_data_num_, gap17, valid_sensor_data_num_, gap17,
              static_cast<double>(valid_sensor_data_num_) / parser_sensor_data_num_);
  if (valid_sensor_data_num_ < kMinValidMessages) {
    log()->warn(
        "Total parsed sensor messages={},{}but the number of valid data is less than 50.{}"
        "Please use the following commands for inspection:{}ros2 topic delay -w 5 /odom and "
        "ros2 run tf2_ros tf2_echo base_footprint odom",
        parser_sensor_data_num_, gap19, gap19, gap19);
    return false;
  }
  return true;
}

void BagParser::_process_sensor_msg(const SensorMessage& msg, const std::string& msg_type,
                                    const std::string& topic_name, bool query_tf_info) {
  try {
    if (!msg.stamp) {
      log()->warn("Warning: Sensor message {} without header", topic_name);
      return;
    }
    std::string stem;
    if (query_tf_info) {
      auto info = tf_mgr_.get_odom_info(*msg.stamp, base_frame_, global_frame_);
      if (!info) {
        log()->debug("Failed to get odom position info for {} from frame: {} to {}", topic_name,
                     base_frame_, global_frame_);
        return;
      }
      odom_pose_info_.insert(info->odom_pose);
      stem = std::move(info->odom_info);
    } else {
      stem = stamp_stem(*msg.stamp);
    }
    ++valid_sensor_data_num_;
    const std::string directory = topic_save_dir_.at(topic_name).string();

    if (msg_type == kPointCloud2Type) {
      if (save_point_cloud_frame_num_ >= kMaxPointClouds) return;
      ++save_point_cloud_frame_num_;
      _msg2pcd(std::get<ros2::sensor_msgs::PointCloud2>(msg.message), stem, directory);
    } else if (msg_type == kImageType) {
      _msg2image(std::get<ros2::sensor_msgs::Image>(msg.message), stem, directory);
    } else if (msg_type == kLaserScanType || msg_type == kOdometryType || msg_type == kImuType) {
      // Counted and posed like the others, but a run keeps nothing of them: no file.
    } else {
      log()->warn("Unsupported sensor type: {}, thus skip!", msg_type);
    }
  } catch (const std::exception& error) {
    log()->error("❌ Failed to process {} message: {}", msg_type, error.what());
  }
}

void BagParser::write_odom_pose_csv() const {
  try {
    calibration::Utils::save_pose_set_to_csv({odom_pose_info_.begin(), odom_pose_info_.end()},
                                             save_dir_ / "odom_pose.csv");
  } catch (const std::runtime_error& error) {
    throw ExportError(error.what());
  }
}

}  // namespace orvalt::parser_bag
