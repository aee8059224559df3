// Reindexing and parsing speed on a camera recording (600 colour and 600 depth images of
// 640 x 480, 11 point clouds, odometry) in each storage, against a baseline that only writes the
// same images as PNG files, with the parser's settings, on three threads.
//
// Every measured phase runs in a child process of its own, so that its peak memory
// (the child's maximum resident set) is that phase's alone.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fmt/core.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "bench/support/bench_support.hpp"
#include "orvalt/common/argument_parser.hpp"
#include "orvalt/common/child_process.hpp"
#include "orvalt/common/logger.hpp"
#include "orvalt/parser_bag/hollisk/hollisk.hpp"
#include "orvalt/parser_bag/kestrune/bag_parser.hpp"
#include "orvalt/ros2/bag_reader.hpp"
#include "orvalt/ros2/bag_writer.hpp"
#include "orvalt/ros2/image_conversion.hpp"
#include "orvalt/ros2/messages.hpp"

namespace {

namespace fs = std::filesystem;
namespace ros2 = orvalt::ros2;
using orvalt::bench::Clock;
using orvalt::bench::median;
using orvalt::bench::process_cpu_seconds;
using orvalt::bench::ScratchDir;
using orvalt::bench::seconds_since;
using orvalt::bench::thread_cpu_seconds;

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr int kClouds = 11;
constexpr std::int64_t kStart = 1700000000LL * 1000000000LL;
constexpr std::int64_t kFramePeriod = 33333333;  // 30 Hz
const std::string kColourTopic = "/camera/color/image_rect";
const std::string kDepthTopic = "/camera/depth/image_rect";
const std::string kCloudTopic = "/camera/depth/points";
const std::string kInfoTopic = "/camera/depth/camera_info";

// --- the recording --------------------------------------------------------------------------

ros2::sensor_msgs::Image image_of(const cv::Mat& pixels, const std::string& encoding,
                                  std::int64_t stamp) {
  ros2::sensor_msgs::Image image;
  image.header.stamp = ros2::builtin_interfaces::Time::from_nanoseconds(stamp);
  image.header.frame_id = "camera_optical_frame";
  image.width = static_cast<std::uint32_t>(pixels.cols);
  image.height = static_cast<std::uint32_t>(pixels.rows);
  image.encoding = encoding;
  image.step = static_cast<std::uint32_t>(pixels.cols * pixels.elemSize());
  image.data.assign(pixels.datastart, pixels.dataend);
  return image;
}

// A camera in front of a printed board: squares moving across a lit gradient, sensor noise.
cv::Mat colour_frame(int index, cv::RNG& random) {
  cv::Mat frame(kHeight, kWidth, CV_8UC3);
  for (int row = 0; row < kHeight; ++row) {
    auto* pixel = frame.ptr<cv::Vec3b>(row);
    for (int col = 0; col < kWidth; ++col) {
      const bool dark = (((col + index) / 40) + (row / 40)) % 2 == 0;
      const int light = 120 + row / 6 + col / 10;
      const auto value = static_cast<std::uint8_t>(dark ? 30 + row / 20 : std::min(light, 255));
      pixel[col] = cv::Vec3b(value, static_cast<std::uint8_t>(value * 0.95),
                             static_cast<std::uint8_t>(value * 0.9));
    }
  }
  cv::Mat noise(frame.size(), CV_16SC3);
  random.fill(noise, cv::RNG::NORMAL, 0, 3);
  cv::Mat noisy;
  cv::add(frame, noise, noisy, cv::noArray(), CV_8U);
  return noisy;
}

// Millimetres of a tilted floor and wall, with noise and a few holes.
cv::Mat depth_frame(int index, cv::RNG& random) {
  cv::Mat frame(kHeight, kWidth, CV_16UC1);
  for (int row = 0; row < kHeight; ++row) {
    auto* pixel = frame.ptr<std::uint16_t>(row);
    for (int col = 0; col < kWidth; ++col) {
      const double depth =
          1500.0 - 1.2 * row + 0.3 * col + 2.0 * (index % 50) + random.gaussian(4.0);
      const bool hole = ((row + index) % 97 < 3) && (col % 113 < 5);
      pixel[col] = hole ? 0 : static_cast<std::uint16_t>(std::max(depth, 0.0));
    }
  }
  return frame;
}

// The depth frame lifted to an organised x, y, z cloud (16-byte points, NaN for holes).
ros2::sensor_msgs::PointCloud2 cloud_of(const cv::Mat& depth, std::int64_t stamp) {
  ros2::sensor_msgs::PointCloud2 cloud;
  cloud.header.stamp = ros2::builtin_interfaces::Time::from_nanoseconds(stamp);
  cloud.header.frame_id = "camera_optical_frame";
  cloud.width = kWidth;
  cloud.height = kHeight;
  cloud.point_step = 16;
  cloud.row_step = 16 * kWidth;
  for (const char* name : {"x", "y", "z"}) {
    cloud.fields.push_back({name, static_cast<std::uint32_t>(cloud.fields.size()) * 4,
                            ros2::sensor_msgs::PointField::FLOAT32, 1});
  }
  cloud.data.resize(std::size_t{cloud.row_step} * kHeight);
  for (int row = 0; row < kHeight; ++row) {
    for (int col = 0; col < kWidth; ++col) {
      const std::uint16_t millimetres = depth.at<std::uint16_t>(row, col);
      const float z = millimetres ? millimetres / 1000.0f : std::nanf("");
      const float point[4] = {(col - 320.0f) * z / 500.0f, (row - 240.0f) * z / 500.0f, z, 0};
      std::memcpy(cloud.data.data() + std::size_t(row) * cloud.row_step + col * 16, point, 16);
    }
  }
  return cloud;
}

ros2::tf2_msgs::TFMessage transform(const std::string& parent, const std::string& child,
                                    std::int64_t stamp, double x, double yaw) {
  ros2::geometry_msgs::TransformStamped entry;
  entry.header.stamp = ros2::builtin_interfaces::Time::from_nanoseconds(stamp);
  entry.header.frame_id = parent;
  entry.child_frame_id = child;
  entry.transform.translation = {x, 0.1 * x, 0};
  entry.transform.rotation.w = std::cos(yaw / 2);
  entry.transform.rotation.z = std::sin(yaw / 2);
  return {{entry}};
}

struct Recorded {
  std::uintmax_t bytes = 0;
  std::uintmax_t messages = 0;
};

// Writes the recording (bag timestamps = stamps + a driver delay).
Recorded write_recording(const fs::path& bag, const std::string& storage, int frames) {
  ros2::BagWriter writer(bag, storage);
  const auto& tf = writer.add_connection("/tf", "tf2_msgs/msg/TFMessage");
  const auto& tf_static = writer.add_connection("/tf_static", "tf2_msgs/msg/TFMessage");
  const auto& info = writer.add_connection(kInfoTopic, "sensor_msgs/msg/CameraInfo");
  const auto& colour = writer.add_connection(kColourTopic, "sensor_msgs/msg/Image");
  const auto& depth = writer.add_connection(kDepthTopic, "sensor_msgs/msg/Image");
  const auto& clouds = writer.add_connection(kCloudTopic, "sensor_msgs/msg/PointCloud2");
  Recorded recorded;
  const auto write = [&](const ros2::Connection& connection, std::int64_t time,
                         const ros2::Bytes& data) {
    writer.write(connection, time, data);
    recorded.bytes += data.size();
    ++recorded.messages;
  };

  write(tf_static, kStart,
        transform("base_footprint", "camera_optical_frame", kStart, 0.2, 0).encode());
  const std::int64_t end = kStart + (frames + 2) * kFramePeriod;
  for (std::int64_t stamp = kStart; stamp <= end; stamp += 10000000) {
    const double seconds = double(stamp - kStart) / 1e9;
    write(tf, stamp + 2000000,
          transform("odom", "base_footprint", stamp, 0.2 * seconds, 0.05 * seconds).encode());
  }
  ros2::sensor_msgs::CameraInfo camera;
  camera.width = kWidth;
  camera.height = kHeight;
  camera.distortion_model = "plumb_bob";
  camera.d = {0.01, -0.02, 0, 0, 0};
  camera.k = {500, 0, 320, 0, 500, 240, 0, 0, 1};
  for (std::int64_t stamp = kStart; stamp < end; stamp += 1000000000) {
    camera.header.stamp = ros2::builtin_interfaces::Time::from_nanoseconds(stamp);
    write(info, stamp + 1000000, camera.encode());
  }
  cv::RNG random(42);
  const int cloud_every = std::max(frames / kClouds, 1);
  for (int index = 0; index < frames; ++index) {
    const std::int64_t stamp = kStart + kFramePeriod + index * kFramePeriod;
    const cv::Mat depth_pixels = depth_frame(index, random);
    write(colour, stamp + 15000000, image_of(colour_frame(index, random), "bgr8", stamp).encode());
    write(depth, stamp + 21000000, image_of(depth_pixels, "16UC1", stamp).encode());
    if (index % cloud_every == cloud_every / 2 && index / cloud_every < kClouds) {
      write(clouds, stamp + 40000000, cloud_of(depth_pixels, stamp).encode());
    }
  }
  writer.close();
  return recorded;
}

// --- phases, each run in a child ----------------------------------------------------------

// Reindexes the one bag under `input` into `output`.
std::string phase_reindex(const fs::path& input, const fs::path& output) {
  const double cpu_start = process_cpu_seconds();
  const auto start = Clock::now();
  const orvalt::parser_bag::Hollisk hollisk(input, output);
  const double wall = seconds_since(start);
  if (hollisk.bag_file_paths().size() != 1) throw std::runtime_error("the reindex failed");
  return fmt::format("wall={} cpu={}", wall, process_cpu_seconds() - cpu_start);
}

// Parses `input` into `output`, every file written.
std::string phase_parse(const fs::path& input, const fs::path& output) {
  fs::create_directories(output);
  const double cpu_start = process_cpu_seconds();
  const auto start = Clock::now();
  int parsed = 0;
  bool ok = false;
  {
    orvalt::parser_bag::BagParser parser(
        {"/tf", "/tf_static", kColourTopic, kCloudTopic, kDepthTopic, kInfoTopic}, "odom",
        "base_footprint", output);
    ok = parser.parse_bag(input);
    parsed = parser.parser_sensor_data_num();
  }
  const double wall = seconds_since(start);
  if (!ok) throw std::runtime_error("the parse failed");
  return fmt::format("wall={} cpu={} messages={}", wall, process_cpu_seconds() - cpu_start, parsed);
}

// The images of `input` as the parser converts them, then written as PNG with its settings:
// once on one thread (the encoding cost of each kind) and once on three threads (the baseline).
std::string phase_baseline(const fs::path& input, const fs::path& output) {
  struct Job {
    cv::Mat image;
    bool depth;
  };
  std::vector<Job> jobs;
  {
    const ros2::BagReader reader(input);
    auto stream = reader.messages();
    while (auto message = stream.next()) {
      if (message->connection->topic == kColourTopic) {
        jobs.push_back(
            {ros2::to_cv(ros2::sensor_msgs::Image::decode(message->data), "bgr8"), false});
      } else if (message->connection->topic == kDepthTopic) {
        jobs.push_back(
            {ros2::to_cv(ros2::sensor_msgs::Image::decode(message->data), "mono16"), true});
      }
    }
  }
  fs::create_directories(output);
  const std::vector<int> depth_params = {cv::IMWRITE_PNG_COMPRESSION, 0};
  const auto write = [&](std::size_t index) {
    const Job& job = jobs[index];
    const auto path = (output / (std::to_string(index) + ".png")).string();
    if (!cv::imwrite(path, job.image, job.depth ? depth_params : std::vector<int>{})) {
      throw std::runtime_error("cannot write " + path);
    }
  };

  double colour_serial = 0;
  double depth_serial = 0;
  // CPU time, so that other load on the machine does not count as encoding.
  for (std::size_t index = 0; index < jobs.size(); ++index) {
    const double start = thread_cpu_seconds();
    write(index);
    (jobs[index].depth ? depth_serial : colour_serial) += thread_cpu_seconds() - start;
  }

  // The baseline: three threads taking the next image, whatever its kind.
  std::atomic<std::size_t> next{0};
  auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int thread = 0; thread < 3; ++thread) {
    threads.emplace_back([&] {
      for (std::size_t index = next++; index < jobs.size(); index = next++) write(index);
    });
  }
  for (auto& thread : threads) thread.join();
  const double pool = seconds_since(start);

  // For comparison, the parser's own layout: one thread per kind.
  start = Clock::now();
  threads.clear();
  for (const bool depth : {false, true}) {
    threads.emplace_back([&, depth] {
      for (std::size_t index = 0; index < jobs.size(); ++index) {
        if (jobs[index].depth == depth) write(index);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const double per_kind = seconds_since(start);
  return fmt::format("wall={} per_kind={} colour_serial={} depth_serial={} images={}", pool,
                     per_kind, colour_serial, depth_serial, jobs.size());
}

// --- the driver -----------------------------------------------------------------------------

struct PhaseResult {
  std::map<std::string, double> values;
  double peak_mib = 0;
};

// Runs this program with `--phase NAME --input A --output B` and collects what it printed.
PhaseResult run_phase(const std::string& name, const fs::path& input, const fs::path& output,
                      const fs::path& scratch) {
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  const std::string report = (scratch / ("phase_" + name + ".txt")).string();
  orvalt::common::ChildCommand command;
  command.arguments = {self,       "--phase",       name,       "--input", input.string(),
                       "--output", output.string(), "--report", report};
  const orvalt::common::ChildExit exit = orvalt::common::run_child(command);
  if (exit.status != 0) throw std::runtime_error("phase " + name + " failed");
  PhaseResult result;
  result.peak_mib = exit.peak_bytes / (1024.0 * 1024.0);
  std::ifstream file(report);
  std::string pair;
  while (file >> pair) {
    const auto equals = pair.find('=');
    result.values[pair.substr(0, equals)] = std::stod(pair.substr(equals + 1));
  }
  return result;
}

struct Figures {
  std::vector<double> reindex_s, reindex_cpu, reindex_peak, parse_s, parse_cpu, parse_peak,
      baseline_s, per_kind_s, colour_serial, depth_serial;
  double messages = 0;
  double images = 0;
};

void measure(const std::string& storage, const fs::path& parent, int frames, int runs) {
  ScratchDir scratch(parent, "orvalt_bench_parse");
  const fs::path inputs = scratch.path() / "bags";
  const fs::path bag = inputs / ("recording_" + storage);
  fs::create_directories(inputs);
  const auto write_start = Clock::now();
  const Recorded recorded = write_recording(bag, storage, frames);
  const double write_s = seconds_since(write_start);

  Figures figures;
  const fs::path reindexed_dir = scratch.path() / "reindexed";
  const fs::path reindexed = reindexed_dir / ("recording_" + storage + "_reindex");
  for (int run = 0; run < runs; ++run) {
    fs::remove_all(reindexed_dir);
    const auto reindex = run_phase("reindex", inputs, reindexed_dir, scratch.path());
    figures.reindex_s.push_back(reindex.values.at("wall"));
    figures.reindex_cpu.push_back(reindex.values.at("cpu"));
    figures.reindex_peak.push_back(reindex.peak_mib);

    const auto parse = run_phase("parse", reindexed, scratch.path() / "out", scratch.path());
    figures.parse_s.push_back(parse.values.at("wall"));
    figures.parse_cpu.push_back(parse.values.at("cpu"));
    figures.parse_peak.push_back(parse.peak_mib);
    figures.messages = parse.values.at("messages");

    fs::remove_all(scratch.path() / "png");
    const auto baseline = run_phase("baseline", reindexed, scratch.path() / "png", scratch.path());
    figures.baseline_s.push_back(baseline.values.at("wall"));
    figures.per_kind_s.push_back(baseline.values.at("per_kind"));
    figures.colour_serial.push_back(baseline.values.at("colour_serial"));
    figures.depth_serial.push_back(baseline.values.at("depth_serial"));
    figures.images = baseline.values.at("images");
  }

  const double reindex_s = median(figures.reindex_s);
  const double parse_s = median(figures.parse_s);
  const double baseline_s = median(figures.baseline_s);
  const double png_serial = median(figures.colour_serial) + median(figures.depth_serial);
  const double megabytes = double(recorded.bytes) / 1e6;
  fmt::print(
      "{:<8} {:>6.0f} | {:>6.2f} {:>6.0f} {:>6.0f} {:>6.0f} | {:>6.2f} {:>6.0f} {:>6.0f} {:>6.0f}% "
      "{:>6.0f}% | {:>6.2f} {:>5.2f}x\n",
      storage, megabytes, reindex_s, megabytes / reindex_s, double(recorded.messages) / reindex_s,
      median(figures.reindex_peak), parse_s, figures.messages / parse_s, median(figures.parse_peak),
      100.0 * png_serial / median(figures.parse_cpu),
      100.0 * median(figures.colour_serial) / parse_s, baseline_s, parse_s / baseline_s);
  fmt::print(
      "         (recording written in {:.1f} s; reindex CPU {:.2f} s; one-thread PNG CPU: "
      "colour {:.2f} s, depth {:.2f} s for {} images; parse CPU {:.2f} s; PNG with one thread "
      "per kind {:.2f} s, parse/that {:.2f}x)\n",
      write_s, median(figures.reindex_cpu), median(figures.colour_serial),
      median(figures.depth_serial), figures.images, median(figures.parse_cpu),
      median(figures.per_kind_s), parse_s / median(figures.per_kind_s));
}

}  // namespace

int main(int argc, char** argv) {
  int frames = 600;
  int runs = 3;
  std::vector<std::string> storages = {"sqlite3", "mcap"};
  std::string directory = "/tmp";
  std::string phase, input, output, report;
  orvalt::common::ArgumentParser parser(
      "bench_parse",
      "Writes a recording of 640x480 colour and depth images, 11 point clouds and odometry in "
      "each storage, then times reindexing it (hollisk) and parsing it (kestrune's BagParser) "
      "against writing the same images as PNG on three threads; prints medians");
  parser.add_option("--frames", &frames, "Colour and depth images each (default 600)");
  parser.add_option("--runs", &runs, "Timed runs per storage (default 3)");
  parser.add_option("--storages", &storages, "Storages to measure (default sqlite3 mcap)");
  parser.add_option("--dir", &directory, "Where the temporary files go (default /tmp)");
  parser.add_option("--phase", &phase,
                    "Internal: run one measured phase (reindex, parse, baseline)");
  parser.add_option("--input", &input, "Internal: input of the phase");
  parser.add_option("--output", &output, "Internal: output of the phase");
  parser.add_option("--report", &report, "Internal: file the phase writes its figures to");
  parser.parse_or_exit(argc, argv);
  orvalt::common::configure_console_logging(spdlog::level::warn);

  if (!phase.empty()) {
    try {
      const std::string figures = phase == "reindex" ? phase_reindex(input, output)
                                  : phase == "parse" ? phase_parse(input, output)
                                                     : phase_baseline(input, output);
      std::ofstream(report) << figures << "\n";
      return 0;
    } catch (const std::exception& error) {
      fmt::print(stderr, "bench_parse: phase {}: {}\n", phase, error.what());
      return 1;
    }
  }

  fmt::print(
      "parse: {} colour + {} depth images (640x480) and {} clouds per storage, medians "
      "of {} runs\n",
      frames, frames, kClouds, runs);
  fmt::print("{:<8} {:>6} | {:^27} | {:^36} | {:^13}\n", "", "", "reindex", "parse",
             "PNG baseline");
  fmt::print(
      "{:<8} {:>6} | {:>6} {:>6} {:>6} {:>6} | {:>6} {:>6} {:>6} {:>7} {:>7} | {:>6} {:>6}\n",
      "storage", "MB", "s", "MB/s", "msg/s", "peakMB", "s", "msg/s", "peakMB", "PNGcpu", "colour",
      "s", "ratio");
  int status = 0;
  for (const std::string& storage : storages) {
    try {
      measure(storage, directory, frames, std::max(runs, 1));
    } catch (const std::exception& error) {
      fmt::print(stderr, "bench_parse: storage {}: {}\n", storage, error.what());
      status = 1;
    }
    std::fflush(stdout);
  }
  fmt::print(
      "Targets: parse within 1.3x of the PNG baseline, reindex at least 200 MB/s.\n"
      "PNG cpu: one-thread PNG writing time / parse CPU time; colour: one-thread colour "
      "PNG time / parse wall time (the colour writer's share).\n");
  return status;
}
