#include "orvalt/parser_bag/kestrune/transform_manager.hpp"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include <console_bridge/console.h>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <geometry_msgs/TransformStamped.h>
#include <tf2/buffer_core.h>
#include <tf2/exceptions.h>

#include "orvalt/common/logger.hpp"

namespace orvalt::parser_bag {
namespace {

constexpr double kCacheSeconds = 3000.0;
constexpr const char* kAuthority = "default_authority";

auto log() { return common::logger("orvalt.parser_bag.kestrune"); }

// tf2 explains a rejected transform ("TF_NAN_INPUT ...", "TF_REPEATED_DATA ...") only through
// console_bridge, which prints to stderr. While this lives, those texts are kept here instead,
// so that they reach the module's log with the rest of the parse.
class Tf2Reports : public console_bridge::OutputHandler {
 public:
  Tf2Reports() : previous_(console_bridge::getOutputHandler()) {
    console_bridge::useOutputHandler(this);
  }
  ~Tf2Reports() override { console_bridge::useOutputHandler(previous_); }
  Tf2Reports(const Tf2Reports&) = delete;
  Tf2Reports& operator=(const Tf2Reports&) = delete;

  void log(const std::string& text, console_bridge::LogLevel, const char*, int) override {
    texts_.push_back(text);
  }
  // Everything reported since the last call.
  std::string take() {
    std::string joined = fmt::format("{}", fmt::join(texts_, "; "));
    texts_.clear();
    return joined;
  }

 private:
  console_bridge::OutputHandler* previous_;
  std::vector<std::string> texts_;
};

// tf2 keeps unsigned seconds since 1970, so earlier stamps have no representation there.
std::optional<ros::Time> to_ros_time(const ros2::builtin_interfaces::Time& stamp) {
  const std::int64_t ns = stamp.nanoseconds();
  if (ns < 0) return std::nullopt;
  ros::Time time;
  time.fromNSec(static_cast<std::uint64_t>(ns));
  return time;
}

geometry_msgs::TransformStamped to_tf2(const ros2::geometry_msgs::TransformStamped& in,
                                       const ros::Time& stamp) {
  geometry_msgs::TransformStamped out;
  out.header.stamp = stamp;
  out.header.frame_id = in.header.frame_id;
  out.child_frame_id = in.child_frame_id;
  out.transform.translation.x = in.transform.translation.x;
  out.transform.translation.y = in.transform.translation.y;
  out.transform.translation.z = in.transform.translation.z;
  out.transform.rotation.w = in.transform.rotation.w;
  out.transform.rotation.x = in.transform.rotation.x;
  out.transform.rotation.y = in.transform.rotation.y;
  out.transform.rotation.z = in.transform.rotation.z;
  return out;
}

ros2::geometry_msgs::TransformStamped from_tf2(const geometry_msgs::TransformStamped& in) {
  ros2::geometry_msgs::TransformStamped out;
  out.header.stamp.sec = static_cast<std::int32_t>(in.header.stamp.sec);
  out.header.stamp.nanosec = in.header.stamp.nsec;
  out.header.frame_id = in.header.frame_id;
  out.child_frame_id = in.child_frame_id;
  out.transform.translation = {in.transform.translation.x, in.transform.translation.y,
                               in.transform.translation.z};
  out.transform.rotation.w = in.transform.rotation.w;
  out.transform.rotation.x = in.transform.rotation.x;
  out.transform.rotation.y = in.transform.rotation.y;
  out.transform.rotation.z = in.transform.rotation.z;
  return out;
}

}  // namespace

std::string format_fixed6(double value) {
  // Wide enough for the largest double in fixed notation (309 digits, sign, point, 6 decimals).
  char text[330];
  std::snprintf(text, sizeof(text), "%.6f", value);
  return text;
}

TransformManager::TransformManager(std::string base_frame, std::string global_frame)
    : tf_buffer_(std::make_unique<tf2::BufferCore>(ros::Duration(kCacheSeconds))),
      base_frame_(std::move(base_frame)),
      global_frame_(std::move(global_frame)) {
  log()->debug("save transforms between {} and {}", base_frame_, global_frame_);
}

TransformManager::~TransformManager() = default;

void TransformManager::save_transform_timestamp(const std::string& child, const std::string& parent,
                                                std::int64_t timestamp) {
  auto& stamps = timestamps_[{child, parent}];
  // Stamps mostly arrive in order: inserting at the upper bound keeps the list sorted without
  // re-sorting it, and equal stamps stay side by side.
  stamps.insert(std::upper_bound(stamps.begin(), stamps.end(), timestamp), timestamp);
}

void TransformManager::_save_tf_buffer(const ros2::tf2_msgs::TFMessage& msg,
                                       const std::string& tf_type) {
  if (!tf_buffer_) throw std::runtime_error("the transform buffer has been shut down");
  // One bad transform must not cost the good ones beside it: all are offered to the buffer and
  // the rejections are reported together.
  std::vector<std::string> rejections;
  Tf2Reports tf2_reports;
  for (const auto& transform : msg.transforms) {
    const std::string& parent = transform.header.frame_id;
    const std::string& child = transform.child_frame_id;
    const std::int64_t timestamp = transform.header.stamp.nanoseconds();
    log()->debug("transform.header.frame_id={}, transform.child_frame_id={}", parent, child);
    save_transform_timestamp(child, parent, timestamp);
    const auto stamp = to_ros_time(transform.header.stamp);
    if (!stamp) {
      rejections.push_back("transform " + parent + " -> " + child + " has stamp " +
                           std::to_string(timestamp) + " ns, before 1970, which tf2 cannot store");
      continue;
    }
    const bool is_static = tf_type == "static_tf";
    if (is_static) {
      log()->warn("[Static TF Incoming Storage] {} → {}", parent, child);
    } else {
      log()->debug("[Dynamic TF Incoming Storage] {} → {}", parent, child);
    }
    const bool stored = tf_buffer_->setTransform(to_tf2(transform, *stamp), kAuthority, is_static);
    // tf2 explains each of its refusals, and says nothing when it stores.
    std::string reported = tf2_reports.take();
    if (!stored) {
      rejections.push_back(reported.empty() ? "tf2 rejected transform " + parent + " -> " + child +
                                                  " at " + std::to_string(timestamp) + " ns"
                                            : std::move(reported));
    }
  }
  if (!rejections.empty()) {
    throw std::invalid_argument(fmt::format("{}", fmt::join(rejections, "; ")));
  }
}

std::optional<ros2::geometry_msgs::TransformStamped> TransformManager::get_transform(
    const std::string& source_frame, const std::string& target_frame,
    const ros2::builtin_interfaces::Time& timestamp) const {
  std::string error;
  const auto stamp = to_ros_time(timestamp);
  if (!tf_buffer_) {
    error = "the transform buffer has been shut down";
  } else if (!stamp) {
    error = "stamp " + std::to_string(timestamp.nanoseconds()) + " ns lies before 1970";
  } else if (stamp->isZero()) {
    // tf2 reads time zero as "the latest transform"; a message stamped zero was never stamped
    // and has no pose.
    error = "stamp 0 is unset and has no pose";
  } else {
    try {
      return from_tf2(tf_buffer_->lookupTransform(target_frame, source_frame, *stamp));
    } catch (const tf2::TransformException& exception) {
      error = exception.what();
    }
  }
  log()->debug("Failed to lookup transform of {} to {}, error_info={}", source_frame, target_frame,
               error);
  return std::nullopt;
}

std::optional<OdomInfo> TransformManager::get_odom_info(const ros2::builtin_interfaces::Time& stamp,
                                                        const std::string& source_frame,
                                                        const std::string& target_frame) const {
  const auto transform = get_transform(source_frame, target_frame, stamp);
  if (!transform) return std::nullopt;
  const auto& t = transform->transform.translation;
  const auto& q = transform->transform.rotation;
  OdomInfo info;
  info.odom_pose = {stamp.nanoseconds(), t.x, t.y, t.z, q.x, q.y, q.z, q.w};
  info.odom_info = std::to_string(info.odom_pose.timestamp) + ".";
  for (const double value : {t.x, t.y, t.z, q.w, q.x, q.y}) {
    info.odom_info += format_fixed6(value) + "_";
  }
  info.odom_info += format_fixed6(q.z);
  return info;
}

bool TransformManager::can_transform(const std::string& target_frame,
                                     const std::string& source_frame, std::string* error) const {
  if (!tf_buffer_) {
    if (error) *error = "the transform buffer has been shut down";
    return false;
  }
  return tf_buffer_->canTransform(target_frame, source_frame, ros::Time(0), error);
}

void TransformManager::shutdown() { tf_buffer_.reset(); }

}  // namespace orvalt::parser_bag
