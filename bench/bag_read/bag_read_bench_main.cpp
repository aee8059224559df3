// Reading speed of BagReader against plain reads of the same storage files, and the write rate
// of BagWriter, on a recording of camera images in each storage.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/core.h>

#include "bench/support/bench_support.hpp"
#include "orvalt/common/argument_parser.hpp"
#include "orvalt/common/logger.hpp"
#include "orvalt/common/progress_bar.hpp"
#include "orvalt/ros2/bag_reader.hpp"
#include "orvalt/ros2/bag_writer.hpp"
#include "orvalt/ros2/messages.hpp"

namespace {

namespace fs = std::filesystem;
using orvalt::bench::Clock;
using orvalt::bench::median;
using orvalt::bench::ScratchDir;
using orvalt::bench::seconds_since;
using orvalt::ros2::Bytes;

// Camera-like frames: smooth gradients with sensor noise in the low bits, so that the chunk
// compression of MCAP sees what it would see in a real recording.
std::vector<Bytes> camera_frames(int count, std::uint32_t width, std::uint32_t height) {
  std::mt19937 random(42);
  std::vector<Bytes> frames;
  for (int index = 0; index < count; ++index) {
    orvalt::ros2::sensor_msgs::Image image;
    image.header.frame_id = "camera_color_optical_frame";
    image.header.stamp.sec = 1700000000 + index;
    image.width = width;
    image.height = height;
    image.encoding = "bgr8";
    image.step = width * 3;
    image.data.resize(static_cast<std::size_t>(image.step) * height);
    for (std::uint32_t row = 0; row < height; ++row) {
      for (std::uint32_t column = 0; column < image.step; ++column) {
        const auto smooth = static_cast<std::uint32_t>(row / 3 + column / 7 + index * 5);
        image.data[row * image.step + column] =
            static_cast<std::uint8_t>(smooth + (random() & 0x7));
      }
    }
    frames.push_back(image.encode());
  }
  return frames;
}

std::uintmax_t read_files_plainly(const std::vector<fs::path>& files, Bytes& buffer) {
  std::uintmax_t total = 0;
  for (const fs::path& file : files) {
    const int descriptor = ::open(file.c_str(), O_RDONLY);
    if (descriptor < 0) throw std::runtime_error("Cannot open " + file.string());
    ssize_t read = 0;
    while ((read = ::read(descriptor, buffer.data(), buffer.size())) > 0) {
      total += static_cast<std::uintmax_t>(read);
    }
    ::close(descriptor);
    if (read < 0) throw std::runtime_error("Cannot read " + file.string());
  }
  return total;
}

struct Figures {
  double write_mb_s = 0;
  double read_mb_s = 0;
  double baseline_mb_s = 0;
  std::uintmax_t message_bytes = 0;
  std::uintmax_t file_bytes = 0;
};

Figures measure(const std::string& storage, const fs::path& parent, std::uintmax_t target_bytes,
                int runs) {
  const std::vector<Bytes> frames = camera_frames(16, 640, 480);
  const std::uintmax_t message_count = (target_bytes + frames[0].size() - 1) / frames[0].size();
  ScratchDir scratch(parent, "orvalt_bench_bag_read");
  const fs::path bag = scratch.path() / ("bench_" + storage);
  Figures figures;

  const auto write_start = Clock::now();
  {
    orvalt::ros2::BagWriter writer(bag, storage);
    const auto& connection =
        writer.add_connection("/camera/color/image_raw", "sensor_msgs/msg/Image");
    orvalt::common::ProgressBar progress("Writing " + storage, message_count);
    for (std::uintmax_t index = 0; index < message_count; ++index) {
      const Bytes& frame = frames[index % frames.size()];
      writer.write(connection, 1700000000000000000LL + static_cast<std::int64_t>(index) * 33000000,
                   frame);
      figures.message_bytes += frame.size();
      progress.update();
    }
    progress.finish();
    writer.close();
  }
  figures.write_mb_s =
      static_cast<double>(figures.message_bytes) / 1e6 / seconds_since(write_start);

  std::vector<fs::path> files;
  {
    const orvalt::ros2::BagReader reader(bag);
    files = reader.info().files;
  }
  Bytes buffer(std::size_t{1} << 20);
  // Both sides read from a warm page cache: one untimed pass first.
  figures.file_bytes = read_files_plainly(files, buffer);

  std::vector<double> read_rates;
  std::vector<double> baseline_rates;
  for (int run = 0; run < runs; ++run) {
    const auto baseline_start = Clock::now();
    const std::uintmax_t file_bytes = read_files_plainly(files, buffer);
    baseline_rates.push_back(static_cast<double>(file_bytes) / 1e6 / seconds_since(baseline_start));

    const auto read_start = Clock::now();
    std::uintmax_t read_bytes = 0;
    std::uint8_t touched = 0;
    {
      const orvalt::ros2::BagReader reader(bag);
      auto stream = reader.messages();
      while (auto message = stream.next()) {
        read_bytes += message->data.size();
        touched ^= message->data.back();
      }
    }
    read_rates.push_back(static_cast<double>(read_bytes) / 1e6 / seconds_since(read_start));
    if (read_bytes != figures.message_bytes) {
      throw std::runtime_error(fmt::format("read {} bytes of messages, wrote {} (check {})",
                                           read_bytes, figures.message_bytes, touched));
    }
  }
  figures.read_mb_s = median(read_rates);
  figures.baseline_mb_s = median(baseline_rates);
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  int size_mib = 1024;
  int runs = 5;
  std::vector<std::string> storages = {"sqlite3", "mcap"};
  std::string directory = "/tmp";
  orvalt::common::ArgumentParser parser(
      "bench_bag_read",
      "Writes a recording of 640x480 bgr8 images in each storage, then times reading every "
      "message with BagReader against plain reads of the same files (both from a warm page "
      "cache); prints medians");
  parser.add_option("--size_mib", &size_mib, "Size of each recording in MiB (default 1024)");
  parser.add_option("--runs", &runs, "Timed runs per storage (default 5)");
  parser.add_option("--storages", &storages, "Storages to measure (default sqlite3 mcap)");
  parser.add_option("--dir", &directory, "Where the temporary recordings go (default /tmp)");
  parser.parse_or_exit(argc, argv);
  orvalt::common::configure_console_logging(spdlog::level::warn);

  fmt::print("bag_read: {} MiB of 640x480 bgr8 images per storage, medians of {} runs\n", size_mib,
             runs);
  fmt::print("{:<8} {:>11} {:>11} {:>14} {:>7}  {}\n", "storage", "write MB/s", "read MB/s",
             "baseline MB/s", "ratio", "bytes (messages / files)");
  int status = 0;
  for (const std::string& storage : storages) {
    try {
      const Figures figures = measure(
          storage, directory, static_cast<std::uintmax_t>(size_mib) << 20, std::max(runs, 1));
      fmt::print("{:<8} {:>11.0f} {:>11.0f} {:>14.0f} {:>6.2f}x  {} / {}\n", storage,
                 figures.write_mb_s, figures.read_mb_s, figures.baseline_mb_s,
                 figures.read_mb_s / figures.baseline_mb_s, figures.message_bytes,
                 figures.file_bytes);
    } catch (const std::exception& error) {
      fmt::print(stderr, "bench_bag_read: storage {}: {}\n", storage, error.what());
      status = 1;
    }
    std::fflush(stdout);
  }
  return status;
}
