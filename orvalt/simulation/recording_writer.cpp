#include "orvalt/simulation/recording_writer.hpp"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <stdexcept>
#include <vector>

#include <fmt/format.h>

#include "orvalt/common/logger.hpp"
#include "orvalt/common/progress_bar.hpp"
#include "orvalt/ros2/bag_writer.hpp"
#include "orvalt/ros2/messages.hpp"
#include "orvalt/simulation/ground_truth.hpp"
#include "orvalt/simulation/point_cloud_synthesis.hpp"
#include "orvalt/simulation/random_streams.hpp"
#include "orvalt/simulation/tf_synthesis.hpp"

namespace orvalt::simulation {
namespace {

using ros2::Bytes;

// The publishers' QoS as rosbag2 Humble records it (integer enums; history and depth are not
// reported by the middleware, hence "unknown" and 0).
std::string offered_qos(int reliability, int durability) {
  const char* infinite = "\n    sec: 9223372036\n    nsec: 854775807";
  return fmt::format(
      "- history: 3\n  depth: 0\n  reliability: {}\n  durability: {}\n  deadline:{}\n"
      "  lifespan:{}\n  liveliness: 1\n  liveliness_lease_duration:{}\n"
      "  avoid_ros_namespace_conventions: false",
      reliability, durability, infinite, infinite, infinite);
}
constexpr int kReliable = 1;
constexpr int kBestEffort = 2;
constexpr int kTransientLocal = 1;
constexpr int kVolatile = 2;

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "Image data is written little-endian");

ros2::sensor_msgs::Image image_message(const cv::Mat& image, const std::string& encoding,
                                       const ros2::std_msgs::Header& header) {
  ros2::sensor_msgs::Image message;
  message.header = header;
  message.height = static_cast<std::uint32_t>(image.rows);
  message.width = static_cast<std::uint32_t>(image.cols);
  message.encoding = encoding;
  message.is_bigendian = 0;
  message.step = static_cast<std::uint32_t>(image.cols * image.elemSize());
  const cv::Mat continuous = image.isContinuous() ? image : image.clone();
  message.data.assign(continuous.data,
                      continuous.data + continuous.total() * continuous.elemSize());
  return message;
}

ros2::sensor_msgs::CameraInfo camera_info_message(const CameraIntrinsics& camera,
                                                  const ros2::std_msgs::Header& header) {
  ros2::sensor_msgs::CameraInfo message;
  message.header = header;
  message.height = static_cast<std::uint32_t>(camera.height);
  message.width = static_cast<std::uint32_t>(camera.width);
  // The colour image is rectified, so it has no distortion left.
  message.distortion_model = "plumb_bob";
  message.d = {0.0, 0.0, 0.0, 0.0, 0.0};
  message.k = {camera.fx, 0.0, camera.cx, 0.0, camera.fy, camera.cy, 0.0, 0.0, 1.0};
  message.r = {1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0};
  message.p = {camera.fx, 0.0, camera.cx, 0.0, 0.0, camera.fy, camera.cy, 0.0, 0.0, 0.0, 1.0, 0.0};
  return message;
}

// Receives messages as the robot publishes them (by header stamp) and hands them to the bag
// in the order a recorder would get them: by header stamp plus the topic's delay.
class Recorder {
 public:
  Recorder(const SimulationOptions& options, RecordingSummary& summary)
      : writer_(options.output, options.storage),
        delay_(options.delay),
        random_(random_stream(options.seed, RandomStream::kRecordingDelay)),
        summary_(summary) {}

  // Returns the index of the topic for publish().
  int add_topic(const std::string& topic, const std::string& type, const std::string& qos) {
    topics_.push_back({&writer_.add_connection(topic, type, qos), topic, 0.0});
    std::uniform_real_distribution<double> mean(delay_.min_ms, delay_.max_ms);
    topics_.back().mean_delay_ms = delay_.min_ms == delay_.max_ms ? delay_.min_ms : mean(random_);
    summary_.topics[topic].mean_delay_ms = topics_.back().mean_delay_ms;
    return static_cast<int>(topics_.size()) - 1;
  }

  // Everything published before `stamp_ns` that the recorder has received by then.
  void flush_until(std::int64_t stamp_ns) {
    while (!pending_.empty() && pending_.front().bag_time <= stamp_ns) write_next();
  }

  void publish(int topic, std::int64_t stamp_ns, Bytes data) {
    // Each message lags its topic's mean delay by a jitter within a fifth of the range.
    const double spread = 0.2 * (delay_.max_ms - delay_.min_ms);
    double delay_ms = topics_[topic].mean_delay_ms;
    if (spread > 0.0) {
      delay_ms += std::uniform_real_distribution<double>(-spread, spread)(random_);
    }
    delay_ms = std::clamp(delay_ms, delay_.min_ms, delay_.max_ms);
    const std::int64_t bag_time = stamp_ns + std::llround(delay_ms * 1e6);
    pending_.push_back({bag_time, order_++, topic, std::move(data)});
    std::push_heap(pending_.begin(), pending_.end(), std::greater<Pending>());
  }

  void close() {
    while (!pending_.empty()) write_next();
    writer_.close();
  }

 private:
  struct Topic {
    const ros2::Connection* connection;
    std::string name;
    double mean_delay_ms;
  };
  struct Pending {
    std::int64_t bag_time;
    std::uint64_t order;  // publication order breaks ties, so the output is deterministic
    int topic;
    Bytes data;
    bool operator>(const Pending& other) const {
      return bag_time != other.bag_time ? bag_time > other.bag_time : order > other.order;
    }
  };

  void write_next() {
    std::pop_heap(pending_.begin(), pending_.end(), std::greater<Pending>());
    const Pending next = std::move(pending_.back());
    pending_.pop_back();
    writer_.write(*topics_[next.topic].connection, next.bag_time, next.data);
    ++summary_.topics[topics_[next.topic].name].messages;
    summary_.bytes += next.data.size();
  }

  ros2::BagWriter writer_;
  RecordingDelay delay_;
  std::mt19937_64 random_;
  RecordingSummary& summary_;
  std::vector<Topic> topics_;
  std::vector<Pending> pending_;  // a min-heap by (bag time, order)
  std::uint64_t order_ = 0;
};

}  // namespace

RecordingSummary write_recording(const Simulation& simulation, bool progress) {
  const SimulationOptions& options = simulation.options();
  if (std::filesystem::exists(options.output)) {
    throw std::runtime_error("Output directory already exists: " + options.output +
                             " (remove it or choose another --output)");
  }
  RecordingSummary summary;
  summary.directory = options.output;
  Recorder recorder(options, summary);
  const std::string sensor_qos = offered_qos(kBestEffort, kVolatile);
  const int tf = recorder.add_topic("/tf", ros2::tf2_msgs::TFMessage::kTypeName,
                                    offered_qos(kReliable, kVolatile));
  const int tf_static = recorder.add_topic("/tf_static", ros2::tf2_msgs::TFMessage::kTypeName,
                                           offered_qos(kReliable, kTransientLocal));
  const int colour =
      recorder.add_topic(options.topics.color, ros2::sensor_msgs::Image::kTypeName, sensor_qos);
  const int depth =
      recorder.add_topic(options.topics.depth, ros2::sensor_msgs::Image::kTypeName, sensor_qos);
  const int cloud = recorder.add_topic(options.topics.cloud,
                                       ros2::sensor_msgs::PointCloud2::kTypeName, sensor_qos);
  const int info = recorder.add_topic(options.topics.camera_info,
                                      ros2::sensor_msgs::CameraInfo::kTypeName, sensor_qos);

  recorder.publish(
      tf_static, simulation.stamp(0.0),
      static_message(isometry_from_vector6(options.nominal_extrinsic), simulation.stamp(0.0))
          .encode());

  std::optional<common::ProgressBar> bar;
  if (progress) bar.emplace("Writing recording", simulation.frame_count());
  const auto& odometry = simulation.odometry();
  const double camera_latency = options.camera_latency_ms * 1e-3;
  std::size_t next_odometry = 0;
  std::size_t next_frame = 0;
  // Published in header stamp order: a frame goes out when the driver stamps it, after the
  // odometry of its latency.
  while (next_odometry < odometry.size() || next_frame < simulation.frame_count()) {
    const bool odometry_first =
        next_frame == simulation.frame_count() ||
        (next_odometry < odometry.size() &&
         odometry[next_odometry].time <= simulation.frame_time(next_frame) + camera_latency);
    if (odometry_first) {
      const OdometrySample& sample = odometry[next_odometry++];
      const std::int64_t stamp = simulation.stamp(sample.time);
      recorder.flush_until(stamp);
      recorder.publish(tf, stamp, odometry_message(sample, stamp).encode());
      recorder.publish(tf, stamp, wheel_message(sample, stamp).encode());
      continue;
    }
    const std::size_t frame = next_frame++;
    const CameraCapture capture = simulation.capture(frame);
    const std::int64_t stamp = simulation.camera_stamp(frame);
    recorder.flush_until(stamp);
    ros2::std_msgs::Header header;
    header.stamp = ros2::builtin_interfaces::Time::from_nanoseconds(stamp);
    header.frame_id = kOpticalFrame;
    recorder.publish(colour, stamp, image_message(capture.colour, "bgr8", header).encode());
    recorder.publish(depth, stamp,
                     image_message(capture.depth.millimetres, "16UC1", header).encode());
    recorder.publish(info, stamp, camera_info_message(options.intrinsics, header).encode());
    if (simulation.has_cloud(frame)) {
      auto message = synthesize_point_cloud(capture.depth.metres, capture.colour,
                                            simulation.camera(), options.cloud_step);
      message.header = header;
      message.header.frame_id = kCameraFrame;
      recorder.publish(cloud, stamp, message.encode());
    }
    if (bar) bar->update();
  }
  recorder.close();
  if (bar) bar->finish();
  write_ground_truth(simulation, summary);
  common::logger("orvalt.simulation")
      ->info("Wrote {} ({} frames, {:.1f} MB of messages) with ground truth", options.output,
             simulation.frame_count(), summary.bytes / 1e6);
  return summary;
}

}  // namespace orvalt::simulation
