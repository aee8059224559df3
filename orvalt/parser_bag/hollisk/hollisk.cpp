#include "orvalt/parser_bag/hollisk/hollisk.hpp"

#include <algorithm>
#include <map>
#include <stdexcept>
#include <utility>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <yaml-cpp/yaml.h>

#include "orvalt/common/logger.hpp"
#include "orvalt/common/progress_bar.hpp"
#include "orvalt/ros2/bag_reader.hpp"
#include "orvalt/ros2/bag_writer.hpp"
#include "orvalt/ros2/header_stamp.hpp"
#include "orvalt/ros2/messages.hpp"

namespace orvalt::parser_bag {
namespace {

auto log() { return common::logger("orvalt.parser_bag.hollisk"); }

std::string listing(const std::vector<std::filesystem::path>& paths) {
  std::vector<std::string> texts;
  for (const auto& path : paths) texts.push_back(path.string());
  return fmt::format("[{}]", fmt::join(texts, ", "));
}

YAML::Node child(const YAML::Node& parent, const char* key) {
  if (!parent.IsMap() || !parent[key]) {
    throw std::runtime_error(std::string("missing key '") + key + "'");
  }
  return parent[key];
}

// Bags of the first ROS 2 releases name types without "/msg/" ("sensor_msgs/Image").
std::string canonical_type(const std::string& type) {
  const auto slash = type.find('/');
  if (slash == std::string::npos || type.find('/', slash + 1) != std::string::npos) return type;
  return type.substr(0, slash) + "/msg/" + type.substr(slash + 1);
}

template <class... Messages>
void decode_if_one_of(const std::string& type, const ros2::Bytes& bytes) {
  ((type == Messages::kTypeName ? (static_cast<void>(Messages::decode(bytes)), true) : false) ||
   ...);
}

// Decoding a message of one of the data layer's own types checks it whole, so that a corrupt
// or truncated one fails its bag instead of being copied.
void check_decodes(const std::string& type, const ros2::Bytes& bytes) {
  namespace m = ros2;
  decode_if_one_of<m::builtin_interfaces::Time, m::std_msgs::Header, m::geometry_msgs::Vector3,
                   m::geometry_msgs::Point, m::geometry_msgs::Quaternion, m::geometry_msgs::Pose,
                   m::geometry_msgs::PoseWithCovariance, m::geometry_msgs::Twist,
                   m::geometry_msgs::TwistWithCovariance, m::geometry_msgs::Transform,
                   m::geometry_msgs::TransformStamped, m::tf2_msgs::TFMessage,
                   m::sensor_msgs::Image, m::sensor_msgs::RegionOfInterest,
                   m::sensor_msgs::CameraInfo, m::sensor_msgs::PointField,
                   m::sensor_msgs::PointCloud2, m::sensor_msgs::LaserScan, m::sensor_msgs::Imu,
                   m::nav_msgs::Odometry>(canonical_type(type), bytes);
}

// A type that is neither the data layer's own nor described by the bag, and that header_stamp
// does not know as a stamped type either, can only be copied as it was recorded.
bool definition_unknown(const ros2::BagMessage& message) {
  const auto& connection = *message.connection;
  return !ros2::is_known_type(connection.msgtype) && connection.message_definition.empty() &&
         !ros2::header_stamp(connection.msgtype, message.data);
}

// BagWriter writes metadata.yaml last, when the bag is complete; a folder without it is what
// an interrupted run leaves behind.
bool is_complete_bag(const std::filesystem::path& bag) {
  return std::filesystem::exists(bag / "metadata.yaml");
}

void copy_reindexed(const std::filesystem::path& input_bag,
                    const std::filesystem::path& output_bag) {
  ros2::BagReader reader(input_bag);
  ros2::BagWriter writer(output_bag, reader.info().storage_identifier);
  std::map<std::string, const ros2::Connection*> outputs;
  common::ProgressBar progress("Reindexing " + input_bag.filename().string(),
                               reader.info().message_count);
  auto stream = reader.messages();
  while (auto message = stream.next()) {
    const auto& connection = *message->connection;
    check_decodes(connection.msgtype, message->data);
    const std::int64_t timestamp =
        Hollisk::_extract_message_timestamp(*message, message->timestamp);
    auto& output = outputs[connection.topic];
    if (!output) {
      output = &writer.add_connection(connection.topic, connection.msgtype, "",
                                      connection.message_definition);
      if (definition_unknown(*message)) {
        log()->warn(
            "Topic {} has type {}, whose definition is unknown: its messages are copied "
            "unchanged with their bag timestamps",
            connection.topic, connection.msgtype);
      }
    }
    writer.write(*output, timestamp, message->data);
    progress.update();
  }
  progress.finish();
  reader.close();
  writer.close();
}

}  // namespace

Hollisk::Hollisk(std::filesystem::path bag_dir, std::filesystem::path reindex_bag)
    : bag_dir_(std::move(bag_dir)), reindex_bag_(std::move(reindex_bag)) {
  _prepare_output_dir();
  bag_file_paths_ = reindex_ros_bag();
  log()->info("bag_file_paths: {}", listing(bag_file_paths_));
}

void Hollisk::_prepare_output_dir() const {
  log()->info("reindex_bag: {}", reindex_bag_.string());
  std::filesystem::create_directories(reindex_bag_);
}

std::vector<std::filesystem::path> Hollisk::_get_sorted_bag_dirs() {
  std::vector<std::filesystem::path> directories;
  for (const auto& entry : std::filesystem::directory_iterator(bag_dir_)) {
    if (entry.is_directory()) directories.push_back(entry.path());
  }
  // Listing order is whatever the file system gives; names make ties reproducible.
  std::sort(directories.begin(), directories.end());

  std::vector<std::pair<std::int64_t, std::filesystem::path>> dated;
  for (const auto& directory : directories) {
    const auto metadata_path = directory / "metadata.yaml";
    if (!std::filesystem::exists(metadata_path)) {
      log()->info("Warning: Missing metadata.yaml in {}", directory.string());
      continue;
    }
    // One bad bag must not cost the others of the batch.
    try {
      const YAML::Node metadata = YAML::LoadFile(metadata_path.string());
      if (!metadata.IsMap()) throw std::runtime_error("it does not hold a YAML map");
      const auto start =
          child(child(child(metadata, "rosbag2_bagfile_information"), "starting_time"),
                "nanoseconds_since_epoch")
              .as<std::int64_t>();
      dated.emplace_back(start, directory);
    } catch (const std::exception& error) {
      log()->info("Error reading {}: {}", metadata_path.string(), error.what());
      failed_bags_.push_back(directory);
    }
  }
  std::stable_sort(dated.begin(), dated.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::filesystem::path> sorted;
  for (auto& [start, directory] : dated) sorted.push_back(std::move(directory));
  return sorted;
}

std::vector<std::filesystem::path> Hollisk::reindex_ros_bag() {
  failed_bags_.clear();
  const auto sorted = _get_sorted_bag_dirs();
  log()->info("sorted_bags: {}", listing(sorted));
  std::vector<std::filesystem::path> result;
  for (const auto& input_bag : sorted) {
    const std::string name = input_bag.filename().string();
    const auto output_bag = reindex_bag_ / (name + "_reindex");
    if (is_complete_bag(output_bag)) {
      log()->info("Skip {}, output [reindex] already exists", name);
      result.push_back(output_bag);
    } else if (_process_single_bag(input_bag, output_bag)) {
      result.push_back(output_bag);
    } else {
      log()->info("Failed to process {}", name);
      failed_bags_.push_back(input_bag);
    }
  }
  return result;
}

std::int64_t Hollisk::_extract_message_timestamp(const ros2::BagMessage& msg,
                                                 std::int64_t default_timestamp) {
  const auto& connection = *msg.connection;
  return ros2::header_stamp(connection.msgtype, msg.data, connection.message_definition)
      .value_or(default_timestamp);
}

bool Hollisk::_process_single_bag(const std::filesystem::path& input_bag,
                                  const std::filesystem::path& output_bag) const {
  if (is_complete_bag(output_bag)) {
    log()->info("Skipping {}, output already exists", input_bag.filename().string());
    return true;
  }
  // The bag is written in a staging folder and moved into place once complete, so that a run
  // killed half-way never leaves a bag under the final name.
  const auto staging =
      output_bag.parent_path() / ("." + output_bag.filename().string() + ".partial");
  try {
    if (std::filesystem::exists(output_bag)) {
      log()->info("Redo {}: {} has no metadata.yaml, an interrupted run left it incomplete",
                  input_bag.filename().string(), output_bag.string());
      std::filesystem::remove_all(output_bag);
    }
    std::filesystem::remove_all(staging);
    std::filesystem::create_directories(staging);
    const auto staged_bag = staging / output_bag.filename();
    copy_reindexed(input_bag, staged_bag);
    std::filesystem::rename(staged_bag, output_bag);
    std::filesystem::remove(staging);
    return true;
  } catch (const std::exception& error) {
    log()->info("Error processing {}: {}", input_bag.string(), error.what());
    std::error_code ignored;
    std::filesystem::remove_all(staging, ignored);
    return false;
  }
}

}  // namespace orvalt::parser_bag
