#pragma once

// What the message fuzz targets share: the decodable types by index (the first byte of a fuzz
// input picks one) and the seed corpus, our own payloads and those of the fixture recordings.
// A target writes its seeds and exits when started with -orvalt_write_seeds=DIR (and
// optionally -orvalt_fixtures=DIR); scripts/run-fuzzers does that before fuzzing.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "orvalt/ros2/bag_reader.hpp"
#include "orvalt/ros2/messages.hpp"
#include "orvalt/ros2/ros2msg.hpp"

namespace orvalt::ros2::fuzz {

template <class Message, class = void>
struct HasHeader : std::false_type {};
template <class Message>
struct HasHeader<Message, std::void_t<decltype(std::declval<Message>().header.stamp)>>
    : std::true_type {};

struct MessageType {
  std::string name;
  // Decodes; on success re-encodes and checks that encoding is stable. Returns the decoded
  // header stamp for stamped types. Throws std::runtime_error for an undecodable payload.
  std::function<std::optional<std::int64_t>(const Bytes&)> decode_and_check;
  std::vector<Bytes> samples;  // our own payloads
};

template <class Message>
MessageType message_type(std::vector<Message> samples) {
  MessageType type;
  type.name = Message::kTypeName;
  samples.push_back(Message{});
  for (const auto& sample : samples) type.samples.push_back(sample.encode());
  type.decode_and_check = [](const Bytes& payload) -> std::optional<std::int64_t> {
    const Message message = Message::decode(payload);
    // Bytes rather than values are compared: NaN fields never compare equal.
    const Bytes once = message.encode();
    if (Message::decode(once).encode() != once) {
      std::cerr << "re-encoding " << Message::kTypeName << " is not stable\n";
      std::abort();
    }
    if constexpr (HasHeader<Message>::value) return message.header.stamp.nanoseconds();
    return std::nullopt;
  };
  return type;
}

inline const std::vector<MessageType>& message_types() {
  static const std::vector<MessageType> types = [] {
    const std_msgs::Header header{{1700000000, 5}, "camera_link"};
    sensor_msgs::Image image;
    image.header = header;
    image.height = 2;
    image.width = 3;
    image.encoding = "rgb8";
    image.step = 9;
    image.data.assign(18, 7);
    sensor_msgs::CameraInfo info;
    info.header = header;
    info.distortion_model = "plumb_bob";
    info.d = {0.1, 0.2, 0.0, 0.0, 0.3};
    sensor_msgs::PointCloud2 cloud;
    cloud.header = header;
    cloud.fields = {{"x", 0, 7, 1}, {"y", 4, 7, 1}, {"z", 8, 7, 1}};
    cloud.width = 2;
    cloud.point_step = 12;
    cloud.row_step = 24;
    cloud.data.assign(24, 1);
    sensor_msgs::LaserScan scan;
    scan.header = header;
    scan.ranges = {1.0f, 2.0f, 3.0f};
    scan.intensities = {5.0f};
    tf2_msgs::TFMessage tf;
    tf.transforms = {{header, "base_link", {}}, {{{0, 1}, "odom"}, "base_footprint", {}}};
    return std::vector<MessageType>{
        message_type<builtin_interfaces::Time>({{1, 2}}),
        message_type<std_msgs::Header>({header}),
        message_type<geometry_msgs::Vector3>({{1, 2, 3}}),
        message_type<geometry_msgs::Point>({{1, 2, 3}}),
        message_type<geometry_msgs::Quaternion>({{0, 0, 0, 1}}),
        message_type<geometry_msgs::Pose>({}),
        message_type<geometry_msgs::PoseWithCovariance>({}),
        message_type<geometry_msgs::Twist>({}),
        message_type<geometry_msgs::TwistWithCovariance>({}),
        message_type<geometry_msgs::Transform>({}),
        message_type<geometry_msgs::TransformStamped>({tf.transforms[0]}),
        message_type<tf2_msgs::TFMessage>({tf}),
        message_type<sensor_msgs::Image>({image}),
        message_type<sensor_msgs::RegionOfInterest>({{1, 2, 3, 4, true}}),
        message_type<sensor_msgs::CameraInfo>({info}),
        message_type<sensor_msgs::PointField>({cloud.fields[0]}),
        message_type<sensor_msgs::PointCloud2>({cloud}),
        message_type<sensor_msgs::LaserScan>({scan}),
        message_type<sensor_msgs::Imu>({}),
        message_type<nav_msgs::Odometry>({}),
    };
  }();
  return types;
}

// Index in message_types() of `type_name` (with or without "/msg/"), or std::nullopt.
inline std::optional<std::size_t> type_index(const std::string& type_name) {
  const auto& types = message_types();
  for (std::size_t i = 0; i < types.size(); ++i) {
    if (short_type_name(types[i].name) == short_type_name(type_name)) return i;
  }
  return std::nullopt;
}

// A recorded payload and the type it was recorded as.
struct RecordedPayload {
  std::string type_name;
  std::string schema_text;
  Bytes payload;
};

// Up to `per_topic` payloads of at most `max_size` bytes of each topic of every recording in
// `fixtures` (bag folders and single storage files). A recording that cannot be read is
// reported and skipped.
inline std::vector<RecordedPayload> recorded_payloads(const std::filesystem::path& fixtures,
                                                      std::size_t per_topic, std::size_t max_size) {
  std::vector<RecordedPayload> payloads;
  if (fixtures.empty() || !std::filesystem::is_directory(fixtures)) return payloads;
  std::vector<std::filesystem::path> recordings;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(fixtures)) {
    const auto& path = entry.path();
    const bool storage_file = path.extension() == ".db3" || path.extension() == ".mcap";
    if (entry.is_regular_file() && storage_file) recordings.push_back(path);
  }
  for (const auto& recording : recordings) {
    try {
      BagReader reader(recording);
      std::vector<std::size_t> taken(reader.connections().size(), 0);
      auto stream = reader.messages();
      while (auto message = stream.next()) {
        auto& count = taken.at(static_cast<std::size_t>(message->connection->id));
        if (count >= per_topic || message->data.size() > max_size) continue;
        ++count;
        payloads.push_back({message->connection->msgtype, message->connection->message_definition,
                            std::move(message->data)});
      }
    } catch (const std::exception& error) {
      std::cerr << "seeds: skipping " << recording << ": " << error.what() << "\n";
    }
  }
  return payloads;
}

inline void write_seeds(const std::filesystem::path& folder, const std::vector<Bytes>& seeds) {
  std::filesystem::create_directories(folder);
  for (std::size_t i = 0; i < seeds.size(); ++i) {
    std::ofstream out(folder / ("seed-" + std::to_string(i)), std::ios::binary);
    out.write(reinterpret_cast<const char*>(seeds[i].data()),
              static_cast<std::streamsize>(seeds[i].size()));
  }
  std::cerr << "seeds: wrote " << seeds.size() << " to " << folder << "\n";
}

// The value of "-NAME=value" among the arguments, or "".
inline std::string flag_value(int argc, char** argv, const std::string& name) {
  const std::string prefix = "-" + name + "=";
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument.rfind(prefix, 0) == 0) return argument.substr(prefix.size());
  }
  return "";
}

// Writes the seeds that `make_seeds(fixtures)` gives and exits, when asked to.
inline void write_seeds_if_asked(
    int argc, char** argv,
    const std::function<std::vector<Bytes>(const std::filesystem::path&)>& make_seeds) {
  const std::string folder = flag_value(argc, argv, "orvalt_write_seeds");
  if (folder.empty()) return;
  write_seeds(folder, make_seeds(flag_value(argc, argv, "orvalt_fixtures")));
  std::exit(0);
}

}  // namespace orvalt::ros2::fuzz
