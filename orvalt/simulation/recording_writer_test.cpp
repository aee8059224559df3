#include "orvalt/simulation/recording_writer.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <geometry_msgs/TransformStamped.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <tf2/buffer_core.h>

#include "orvalt/ros2/bag_reader.hpp"
#include "orvalt/ros2/header_stamp.hpp"
#include "orvalt/ros2/messages.hpp"
#include "orvalt/simulation/ground_truth.hpp"
#include "orvalt/simulation/tf_synthesis.hpp"
#include "orvalt/testing/eigen_matchers.hpp"
#include "orvalt/testing/file_contents.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::simulation {
namespace {

using testing::IsNearRigidTransform;
using testing::read_bytes;
using ::testing::UnorderedElementsAre;

SimulationOptions short_recording(const std::filesystem::path& output, double duration) {
  SimulationOptions options;
  options.output = output.string();
  options.duration = duration;
  return options;
}

Eigen::Isometry3d to_isometry(const geometry_msgs::TransformStamped& stamped) {
  const auto& t = stamped.transform.translation;
  const auto& q = stamped.transform.rotation;
  Eigen::Isometry3d pose = Eigen::Isometry3d::Identity();
  pose.linear() = Eigen::Quaterniond(q.w, q.x, q.y, q.z).toRotationMatrix();
  pose.translation() = Eigen::Vector3d(t.x, t.y, t.z);
  return pose;
}

// A transform buffer holding every TF message of a bag, as the bag parser builds it.
std::unique_ptr<tf2::BufferCore> load_tf(const ros2::BagReader& reader) {
  auto buffer = std::make_unique<tf2::BufferCore>(ros::Duration(3000.0));
  auto stream = reader.messages();
  while (auto message = stream.next()) {
    const std::string& topic = message->connection->topic;
    if (topic != "/tf" && topic != "/tf_static") continue;
    for (const auto& transform : ros2::tf2_msgs::TFMessage::decode(message->data).transforms) {
      geometry_msgs::TransformStamped stamped;
      stamped.header.stamp = ros::Time(transform.header.stamp.sec, transform.header.stamp.nanosec);
      stamped.header.frame_id = transform.header.frame_id;
      stamped.child_frame_id = transform.child_frame_id;
      stamped.transform.translation.x = transform.transform.translation.x;
      stamped.transform.translation.y = transform.transform.translation.y;
      stamped.transform.translation.z = transform.transform.translation.z;
      stamped.transform.rotation.x = transform.transform.rotation.x;
      stamped.transform.rotation.y = transform.transform.rotation.y;
      stamped.transform.rotation.z = transform.transform.rotation.z;
      stamped.transform.rotation.w = transform.transform.rotation.w;
      buffer->setTransform(stamped, "default_authority", topic == "/tf_static");
    }
  }
  return buffer;
}

ros::Time ros_time(std::int64_t stamp_ns) {
  return ros::Time(static_cast<std::uint32_t>(stamp_ns / 1000000000),
                   static_cast<std::uint32_t>(stamp_ns % 1000000000));
}

// One exact recording of 2 s shared by the tests that only read it.
class RecordingTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    directory_ = std::make_unique<orvalt::testing::TempDir>("orvalt_simulation");
    SimulationOptions options = short_recording(directory_->path() / "exact", 2.0);
    options.noise = NoiseSettings::exact();
    simulation_ = std::make_unique<Simulation>(options);
    summary_ = std::make_unique<RecordingSummary>(write_recording(*simulation_));
  }
  static void TearDownTestSuite() {
    summary_.reset();
    simulation_.reset();
    directory_.reset();
  }
  static inline std::unique_ptr<orvalt::testing::TempDir> directory_;
  static inline std::unique_ptr<Simulation> simulation_;
  static inline std::unique_ptr<RecordingSummary> summary_;
};

TEST_F(RecordingTest, ReaderReadsEveryMessageBack) {
  const SimulationOptions& options = simulation_->options();
  const ros2::BagReader reader(summary_->directory);
  EXPECT_EQ(reader.info().storage_identifier, "sqlite3");
  EXPECT_THAT(reader.topics(),
              UnorderedElementsAre("/tf", "/tf_static", options.topics.color, options.topics.depth,
                                   options.topics.cloud, options.topics.camera_info));
  const std::size_t frames = simulation_->frame_count();
  ASSERT_GT(frames, 20u);
  EXPECT_EQ(summary_->topics.at(options.topics.color).messages, frames);
  EXPECT_EQ(summary_->topics.at(options.topics.cloud).messages, frames);
  EXPECT_EQ(summary_->topics.at("/tf").messages, 2 * simulation_->odometry().size());
  EXPECT_EQ(summary_->topics.at("/tf_static").messages, 1u);

  std::map<std::string, std::uint64_t> counts;
  std::map<std::int64_t, std::set<std::string>> topics_by_stamp;
  std::int64_t previous = 0;
  auto stream = reader.messages();
  while (auto message = stream.next()) {
    const std::string& topic = message->connection->topic;
    ++counts[topic];
    EXPECT_GE(message->timestamp, previous);
    previous = message->timestamp;
    if (topic == options.topics.color || topic == options.topics.depth) {
      const auto image = ros2::sensor_msgs::Image::decode(message->data);
      const bool colour = topic == options.topics.color;
      EXPECT_EQ(image.encoding, colour ? "bgr8" : "16UC1");
      EXPECT_EQ(image.width, 640u);
      EXPECT_EQ(image.height, 480u);
      EXPECT_EQ(image.step, colour ? 1920u : 1280u);
      EXPECT_EQ(image.data.size(), image.step * image.height);
      EXPECT_EQ(image.header.frame_id, kOpticalFrame);
      topics_by_stamp[image.header.stamp.nanoseconds()].insert(topic);
    } else if (topic == options.topics.camera_info) {
      const auto info = ros2::sensor_msgs::CameraInfo::decode(message->data);
      EXPECT_EQ(info.width, 640u);
      EXPECT_EQ(info.height, 480u);
      EXPECT_EQ(info.k[0], options.intrinsics.fx);
      EXPECT_EQ(info.k[2], options.intrinsics.cx);
      EXPECT_EQ(info.k[4], options.intrinsics.fy);
      EXPECT_EQ(info.k[5], options.intrinsics.cy);
      EXPECT_EQ(info.p[0], options.intrinsics.fx);
      EXPECT_EQ(info.d.size(), 5u);
      topics_by_stamp[info.header.stamp.nanoseconds()].insert(topic);
    } else if (topic == options.topics.cloud) {
      const auto cloud = ros2::sensor_msgs::PointCloud2::decode(message->data);
      EXPECT_EQ(cloud.header.frame_id, kCameraFrame);
      EXPECT_EQ(cloud.width * cloud.height, 160u * 120);
      topics_by_stamp[cloud.header.stamp.nanoseconds()].insert(topic);
    } else {
      EXPECT_FALSE(ros2::tf2_msgs::TFMessage::decode(message->data).transforms.empty());
    }
  }
  for (const auto& [topic, summary] : summary_->topics) EXPECT_EQ(counts[topic], summary.messages);
  // The four camera topics of a frame share its header stamp.
  ASSERT_EQ(topics_by_stamp.size(), frames);
  for (const auto& [stamp, topics] : topics_by_stamp) EXPECT_EQ(topics.size(), 4u) << stamp;
}

// At every camera stamp, the bag's TF gives the driven path (exact odometry) and the nominal
// mounting; the wheel joints are there too, unrelated to the camera.
TEST_F(RecordingTest, TransformLookupsGiveTheDrivenPath) {
  const ros2::BagReader reader(summary_->directory);
  const auto buffer = load_tf(reader);
  const Eigen::Isometry3d nominal = isometry_from_vector6(simulation_->options().nominal_extrinsic);
  for (std::size_t frame = 0; frame < simulation_->frame_count(); ++frame) {
    const double time = simulation_->frame_time(frame);
    const ros::Time stamp = ros_time(simulation_->stamp(time));
    const Eigen::Isometry3d odom_from_base =
        to_isometry(buffer->lookupTransform(kOdomFrame, kBaseFrame, stamp));
    const Eigen::Isometry3d truth = simulation_->trajectory().state(time).world_from_base();
    // tf2 interpolates linearly between 50 Hz samples of a smooth path.
    EXPECT_THAT(odom_from_base.matrix(), IsNearRigidTransform(truth.matrix(), 0.01, 0.1)) << frame;
    const Eigen::Isometry3d base_from_camera =
        to_isometry(buffer->lookupTransform(kBaseFrame, kCameraFrame, stamp));
    EXPECT_THAT(base_from_camera.matrix(), IsNearRigidTransform(nominal.matrix(), 1e-6, 1e-6));
  }
  // The optical frame hangs below camera_link in the optical axes convention.
  const Eigen::Isometry3d camera_from_optical = to_isometry(
      buffer->lookupTransform(kCameraFrame, kOpticalFrame, ros_time(simulation_->stamp(1.0))));
  EXPECT_THAT(Eigen::Matrix3d(camera_from_optical.linear()),
              testing::EigenNear(flu_from_optical(), 1e-12));
  EXPECT_TRUE(buffer->canTransform(kOdomFrame, kLeftWheelFrame, ros_time(simulation_->stamp(1.0))));
}

TEST_F(RecordingTest, BagTimestampsLagHeaderStampsByTheRecordingDelay) {
  const SimulationOptions& options = simulation_->options();
  const ros2::BagReader reader(summary_->directory);
  std::map<std::string, std::vector<double>> delays_ms;
  auto stream = reader.messages();
  while (auto message = stream.next()) {
    const auto stamp = ros2::header_stamp(message->connection->msgtype, message->data);
    std::int64_t header = 0;
    if (stamp) {
      header = *stamp;
    } else {  // TF messages: the stamp of their transforms
      header = ros2::tf2_msgs::TFMessage::decode(message->data)
                   .transforms.at(0)
                   .header.stamp.nanoseconds();
    }
    delays_ms[message->connection->topic].push_back((message->timestamp - header) / 1e6);
  }
  std::set<long> distinct_means;
  for (const auto& [topic, delays] : delays_ms) {
    double sum = 0;
    for (const double delay : delays) {
      EXPECT_GE(delay, options.delay.min_ms - 1e-6) << topic;
      EXPECT_LE(delay, options.delay.max_ms + 1e-6) << topic;
      sum += delay;
    }
    if (delays.size() > 10) {
      const double mean = sum / delays.size();
      EXPECT_NEAR(mean, summary_->topics.at(topic).mean_delay_ms, 2.0) << topic;
      distinct_means.insert(std::lround(mean * 10));
    }
  }
  // Each topic has its own delay, so reindexing by header stamp changes the order.
  EXPECT_EQ(distinct_means.size(), 5u);
}

TEST_F(RecordingTest, GroundTruthTravelsWithTheBag) {
  const GroundTruth truth = read_ground_truth(summary_->directory);
  EXPECT_THAT(truth.extrinsic_matrix,
              testing::EigenNear(simulation_->base_from_camera().matrix(), 1e-15));
  EXPECT_EQ(truth.seed, simulation_->options().seed);
}

TEST(RecordingWriterTest, ZeroDelayRecordsAtTheHeaderStamps) {
  const orvalt::testing::TempDir directory;
  SimulationOptions options = short_recording(directory / "bag", 1.0);
  options.delay = {0.0, 0.0};
  write_recording(Simulation(options));
  const ros2::BagReader reader(directory / "bag");
  auto stream = reader.messages();
  while (auto message = stream.next()) {
    const auto stamp = ros2::header_stamp(message->connection->msgtype, message->data);
    if (stamp) {
      EXPECT_EQ(message->timestamp, *stamp);
    }
  }
}

// FNV-1a: unlike std::hash, its value is fixed, so a test can keep it.
class Fingerprint {
 public:
  void add(const void* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
      value_ = (value_ ^ static_cast<const unsigned char*>(data)[i]) * 0x100000001b3ULL;
    }
  }
  void add(const std::string& text) { add(text.data(), text.size()); }
  void add(std::int64_t number) { add(&number, sizeof number); }
  std::uint64_t value() const { return value_; }

 private:
  std::uint64_t value_ = 0xcbf29ce484222325ULL;
};

// Recordings users have made must not change under them: the default recording keeps its
// message order, bag timestamps, header stamps, transforms and ground truth (image contents are
// left out, so that renderer improvements do not show here).
TEST(RecordingWriterTest, DefaultRecordingKeepsItsTimingAndGroundTruth) {
  const orvalt::testing::TempDir directory;
  write_recording(Simulation(short_recording(directory / "bag", 1.0)));
  Fingerprint fingerprint;
  const ros2::BagReader reader(directory / "bag");
  auto stream = reader.messages();
  while (auto message = stream.next()) {
    fingerprint.add(message->connection->topic);
    fingerprint.add(message->timestamp);
    const auto stamp = ros2::header_stamp(message->connection->msgtype, message->data);
    if (stamp) {
      fingerprint.add(*stamp);
    } else {
      fingerprint.add(message->data.data(), message->data.size());
    }
  }
  const std::vector<std::uint8_t> truth = read_bytes(directory / "bag" / kGroundTruthFile);
  fingerprint.add(truth.data(), truth.size());
  EXPECT_EQ(fingerprint.value(), 10048318080271671415ULL);
}

// What a recording says about its messages' timing, by topic in bag order.
struct TimedMessage {
  std::int64_t bag_time;
  std::int64_t header_stamp;
  ros2::Bytes payload_without_stamp;
};

std::map<std::string, std::vector<TimedMessage>> timed_messages(const std::filesystem::path& bag) {
  std::map<std::string, std::vector<TimedMessage>> messages;
  const ros2::BagReader reader(bag);
  auto stream = reader.messages();
  while (auto message = stream.next()) {
    TimedMessage timed{message->timestamp, 0, message->data};
    const auto stamp = ros2::header_stamp(message->connection->msgtype, message->data);
    if (stamp) {
      timed.header_stamp = *stamp;
      // Every camera message starts with its header: the stamp follows the 4 bytes of CDR
      // encapsulation as int32 seconds and uint32 nanoseconds.
      std::fill(timed.payload_without_stamp.begin() + 4, timed.payload_without_stamp.begin() + 12,
                0);
    } else {
      timed.header_stamp = ros2::tf2_msgs::TFMessage::decode(message->data)
                               .transforms.at(0)
                               .header.stamp.nanoseconds();
    }
    messages[message->connection->topic].push_back(std::move(timed));
  }
  return messages;
}

// Bag timestamps as the recorder stored them; readers sort by timestamp, so they cannot tell.
std::vector<std::int64_t> timestamps_in_write_order(const std::filesystem::path& database) {
  sqlite3* handle = nullptr;
  std::vector<std::int64_t> timestamps;
  if (sqlite3_open_v2(database.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* query = nullptr;
    sqlite3_prepare_v2(handle, "SELECT timestamp FROM messages ORDER BY id", -1, &query, nullptr);
    while (sqlite3_step(query) == SQLITE_ROW) timestamps.push_back(sqlite3_column_int64(query, 0));
    sqlite3_finalize(query);
  }
  sqlite3_close(handle);
  return timestamps;
}

// A late camera stamps each capture later by exactly its latency; the captures themselves and
// the odometry stay as they were, and the recorder still receives everything after its stamp,
// in order.
TEST(RecordingWriterTest, CameraLatencyDelaysEveryCameraStampAndNothingElse) {
  const orvalt::testing::TempDir directory;
  std::map<std::string, std::vector<TimedMessage>> recordings[2];
  std::unique_ptr<Simulation> simulations[2];
  const double latencies_ms[] = {0.0, 100.0};
  for (int i = 0; i < 2; ++i) {
    SimulationOptions options = short_recording(directory / std::to_string(i), 1.5);
    options.noise = NoiseSettings::exact();
    options.camera_latency_ms = latencies_ms[i];
    simulations[i] = std::make_unique<Simulation>(options);
    write_recording(*simulations[i]);
    recordings[i] = timed_messages(directory / std::to_string(i));
  }
  const SimulationOptions& options = simulations[1]->options();
  const std::int64_t latency_ns = 100000000;

  for (const std::string& topic : {options.topics.color, options.topics.depth, options.topics.cloud,
                                   options.topics.camera_info}) {
    const auto& on_time = recordings[0].at(topic);
    const auto& late = recordings[1].at(topic);
    ASSERT_EQ(late.size(), simulations[1]->frame_count()) << topic;
    ASSERT_EQ(on_time.size(), late.size()) << topic;
    for (std::size_t frame = 0; frame < late.size(); ++frame) {
      const std::int64_t capture = simulations[1]->stamp(simulations[1]->frame_time(frame));
      EXPECT_EQ(on_time[frame].header_stamp, capture) << topic << " " << frame;
      EXPECT_EQ(late[frame].header_stamp, capture + latency_ns) << topic << " " << frame;
      EXPECT_TRUE(late[frame].payload_without_stamp == on_time[frame].payload_without_stamp)
          << topic << " " << frame;
    }
  }
  // The odometry and wheel messages of one stamp may swap places in the bag, as their
  // recording delays are drawn in publication order.
  const auto transforms = [](const std::vector<TimedMessage>& messages) {
    std::vector<std::pair<std::int64_t, ros2::Bytes>> stamped;
    for (const auto& message : messages) {
      stamped.emplace_back(message.header_stamp, message.payload_without_stamp);
    }
    std::sort(stamped.begin(), stamped.end());
    return stamped;
  };
  for (const std::string topic : {"/tf", "/tf_static"}) {
    EXPECT_TRUE(transforms(recordings[0].at(topic)) == transforms(recordings[1].at(topic)))
        << topic;
  }

  for (const auto& [topic, messages] : recordings[1]) {
    for (const auto& message : messages) {
      const double delay_ms = (message.bag_time - message.header_stamp) / 1e6;
      EXPECT_GE(delay_ms, options.delay.min_ms - 1e-6) << topic;
      EXPECT_LE(delay_ms, options.delay.max_ms + 1e-6) << topic;
    }
  }
  const std::vector<std::int64_t> written = timestamps_in_write_order(directory / "1" / "1_0.db3");
  ASSERT_FALSE(written.empty());
  EXPECT_TRUE(std::is_sorted(written.begin(), written.end()));
  EXPECT_EQ(read_ground_truth(directory / "1").camera_latency_ms, 100.0);
  EXPECT_EQ(read_ground_truth(directory / "0").camera_latency_ms, 0.0);
}

TEST(RecordingWriterTest, SameSeedWritesTheSameBytes) {
  const orvalt::testing::TempDir directory;
  const auto write = [&](const std::string& name, std::uint64_t seed) {
    SimulationOptions options = short_recording(directory / name, 1.0);
    options.seed = seed;
    write_recording(Simulation(options));
    std::map<std::string, std::vector<std::uint8_t>> files;
    for (const auto& entry : std::filesystem::directory_iterator(directory / name)) {
      // Storage files are named after the directory.
      std::string file = entry.path().filename().string();
      if (file.rfind(name + "_", 0) == 0) file.replace(0, name.size(), "bag");
      files[file] = read_bytes(entry.path());
    }
    return files;
  };
  const auto first = write("first", 3);
  const auto second = write("second", 3);
  const auto other = write("other", 4);
  ASSERT_EQ(first.size(), 3u);  // metadata.yaml, the database, ground_truth.json
  for (const auto& [file, bytes] : first) {
    ASSERT_TRUE(second.count(file)) << file;
    if (file == "metadata.yaml") continue;  // names the database file, so differs by name
    EXPECT_TRUE(bytes == second.at(file)) << file;
  }
  EXPECT_FALSE(first.at("bag_0.db3") == other.at("bag_0.db3"));
  EXPECT_FALSE(first.at(kGroundTruthFile) == other.at(kGroundTruthFile));
}

TEST(RecordingWriterTest, McapStorageHoldsTheSameMessages) {
  const orvalt::testing::TempDir directory;
  std::vector<std::pair<std::string, std::int64_t>> messages[2];
  std::vector<ros2::Bytes> payloads[2];
  const char* storages[] = {"sqlite3", "mcap"};
  for (int i = 0; i < 2; ++i) {
    SimulationOptions options = short_recording(directory / storages[i], 1.0);
    options.storage = storages[i];
    write_recording(Simulation(options));
    const ros2::BagReader reader(directory / storages[i]);
    EXPECT_EQ(reader.info().storage_identifier, storages[i]);
    auto stream = reader.messages();
    while (auto message = stream.next()) {
      messages[i].emplace_back(message->connection->topic, message->timestamp);
      payloads[i].push_back(message->data);
    }
  }
  ASSERT_FALSE(messages[0].empty());
  EXPECT_EQ(messages[0], messages[1]);
  EXPECT_TRUE(payloads[0] == payloads[1]);
}

TEST(RecordingWriterTest, RefusesToOverwriteAnExistingDirectory) {
  const orvalt::testing::TempDir directory;
  std::filesystem::create_directories(directory / "taken");
  const Simulation simulation(short_recording(directory / "taken", 1.0));
  EXPECT_THROW(write_recording(simulation), std::runtime_error);
  EXPECT_TRUE(std::filesystem::is_empty(directory / "taken"));
}

}  // namespace
}  // namespace orvalt::simulation
