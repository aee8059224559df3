// Decoding and encoding speed of the CDR messages against a plain copy of the same bytes, on
// camera images (the bulk of a calibration recording) and TF messages (the most numerous).
#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <fmt/core.h>

#include "orvalt/common/argument_parser.hpp"
#include "orvalt/ros2/header_stamp.hpp"
#include "orvalt/ros2/image_conversion.hpp"
#include "orvalt/ros2/messages.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using orvalt::ros2::Bytes;

// Median seconds of one call of `work`, over `runs` timed batches of `repeats` calls.
double median_seconds(int runs, int repeats, const std::function<void()>& work) {
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    const auto start = Clock::now();
    for (int i = 0; i < repeats; ++i) work();
    times.push_back(std::chrono::duration<double>(Clock::now() - start).count() / repeats);
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

orvalt::ros2::sensor_msgs::Image camera_image(std::uint32_t width, std::uint32_t height,
                                              const std::string& encoding, int pixel_size) {
  orvalt::ros2::sensor_msgs::Image image;
  image.header = {{1700000000, 5}, "camera_color_optical_frame"};
  image.width = width;
  image.height = height;
  image.encoding = encoding;
  image.step = width * pixel_size;
  image.data.resize(static_cast<std::size_t>(image.step) * height);
  for (std::size_t i = 0; i < image.data.size(); ++i) {
    image.data[i] = static_cast<std::uint8_t>(i * 7);
  }
  return image;
}

void report_image(const orvalt::ros2::sensor_msgs::Image& image, int runs, int repeats) {
  const Bytes payload = image.encode();
  const double megabytes = payload.size() / 1e6;
  Bytes copy(payload.size());
  const double copy_time = median_seconds(
      runs, repeats, [&] { std::memcpy(copy.data(), payload.data(), payload.size()); });
  const double decode_time =
      median_seconds(runs, repeats, [&] { orvalt::ros2::sensor_msgs::Image::decode(payload); });
  const double encode_time = median_seconds(runs, repeats, [&] { image.encode(); });
  const double stamp_time = median_seconds(runs, repeats * 100, [&] {
    orvalt::ros2::header_stamp(orvalt::ros2::sensor_msgs::Image::kTypeName, payload);
  });
  const double convert_time =
      median_seconds(runs, repeats, [&] { orvalt::ros2::to_cv(image, image.encoding); });
  fmt::print("{}x{} {} ({:.2f} MB):\n", image.width, image.height, image.encoding, megabytes);
  fmt::print("  baseline copy     {:8.0f} MB/s\n", megabytes / copy_time);
  fmt::print("  decode            {:8.0f} MB/s  ({:.2f} x baseline)\n", megabytes / decode_time,
             copy_time / decode_time);
  fmt::print("  encode            {:8.0f} MB/s  ({:.2f} x baseline)\n", megabytes / encode_time,
             copy_time / encode_time);
  fmt::print("  to_cv same        {:8.0f} MB/s  ({:.2f} x baseline)\n", megabytes / convert_time,
             copy_time / convert_time);
  fmt::print("  header_stamp      {:8.3f} us per message\n", stamp_time * 1e6);
}

void report_tf(int runs, int repeats) {
  orvalt::ros2::geometry_msgs::TransformStamped transform;
  transform.header.stamp = {1700000000, 5};
  transform.header.frame_id = "odom";
  transform.child_frame_id = "base_footprint";
  transform.transform.translation = {1, 2, 3};
  orvalt::ros2::tf2_msgs::TFMessage tf;
  tf.transforms.push_back(transform);
  const Bytes payload = tf.encode();
  const double decode_time = median_seconds(
      runs, repeats * 1000, [&] { orvalt::ros2::tf2_msgs::TFMessage::decode(payload); });
  const double encode_time = median_seconds(runs, repeats * 1000, [&] { tf.encode(); });
  fmt::print("TFMessage with one transform ({} bytes):\n", payload.size());
  fmt::print("  decode            {:8.2f} us per message\n", decode_time * 1e6);
  fmt::print("  encode            {:8.2f} us per message\n", encode_time * 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 7;
  int repeats = 50;
  orvalt::common::ArgumentParser parser(
      "bench_cdr_messages", "Decoding and encoding speed of CDR messages against a plain copy.");
  parser.add_option("--runs", &runs, "Timed batches; the median is printed (default 7)");
  parser.add_option("--repeats", &repeats, "Calls per batch for images (default 50)");
  parser.parse_or_exit(argc, argv);
  report_image(camera_image(640, 480, "bgr8", 3), runs, repeats);
  report_image(camera_image(1280, 720, "16UC1", 2), runs, repeats);
  report_tf(runs, repeats);
  return 0;
}
