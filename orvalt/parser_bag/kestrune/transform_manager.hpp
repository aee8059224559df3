#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "orvalt/calibration/utils/utils.hpp"
#include "orvalt/ros2/messages.hpp"

namespace tf2 {
class BufferCore;
}

namespace orvalt::parser_bag {

// A found pose and its file stem `odom_info`:
// "<stamp ns>.<tx>_<ty>_<tz>_<qw>_<qx>_<qy>_<qz>", every number as printf "%.6f" writes it.
struct OdomInfo {
  std::string odom_info;
  calibration::PoseRow odom_pose;  // the message's stamp (ns) and the looked-up transform
};

// printf "%.6f" of `value`: fixed point, no exponent, "-" also for negative zero.
std::string format_fixed6(double value);

// Holds every transform of one recording in a tf2 buffer (3000 s of dynamic history, static
// transforms at all times) and answers, for a message stamp, where `base_frame` was in
// `global_frame`. Everything is loaded before the first lookup, so lookups never wait: what
// cannot be answered now never will be. Used from one thread.
class TransformManager {
 public:
  TransformManager(std::string base_frame, std::string global_frame);
  ~TransformManager();
  TransformManager(const TransformManager&) = delete;
  TransformManager& operator=(const TransformManager&) = delete;

  // Keeps `timestamp` (ns) in the ascending list of the (child, parent) pair; duplicates stay.
  void save_transform_timestamp(const std::string& child, const std::string& parent,
                                std::int64_t timestamp);
  // Stores every transform of `msg`: as static ones when `tf_type` is "static_tf", else as
  // dynamic samples. After offering all of them, throws std::invalid_argument naming those
  // that could not be stored (a stamp before 1970, or one tf2 rejects: NaN, a bad quaternion,
  // repeated or too old data); the others stay. Throws std::runtime_error after shutdown().
  // tf2's own texts go to the module's log, never to stderr.
  void _save_tf_buffer(const ros2::tf2_msgs::TFMessage& msg, const std::string& tf_type);

  // The transform mapping `source_frame` coordinates into `target_frame` at `timestamp`,
  // interpolated by tf2; std::nullopt (with a debug line) when tf2 cannot answer or the stamp
  // is zero (never set: tf2 would answer with the latest transform).
  std::optional<ros2::geometry_msgs::TransformStamped> get_transform(
      const std::string& source_frame, const std::string& target_frame,
      const ros2::builtin_interfaces::Time& timestamp) const;
  // The pose of `source_frame` in `target_frame` at `stamp` (a message's header stamp).
  std::optional<OdomInfo> get_odom_info(const ros2::builtin_interfaces::Time& stamp,
                                        const std::string& source_frame,
                                        const std::string& target_frame) const;
  // Whether `source_frame` connects to `target_frame` at the latest common time; on false,
  // `error` gets tf2's reason when it gives one.
  bool can_transform(const std::string& target_frame, const std::string& source_frame,
                     std::string* error) const;

  // Frees the buffer; later lookups find nothing. Calling it again does nothing.
  void shutdown();

  const std::map<std::pair<std::string, std::string>, std::vector<std::int64_t>>& timestamps()
      const {
    return timestamps_;
  }
  const std::string& base_frame() const { return base_frame_; }
  const std::string& global_frame() const { return global_frame_; }

 private:
  std::unique_ptr<tf2::BufferCore> tf_buffer_;
  std::map<std::pair<std::string, std::string>, std::vector<std::int64_t>> timestamps_;
  std::string base_frame_;
  std::string global_frame_;
};

}  // namespace orvalt::parser_bag
