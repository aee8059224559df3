// How long simulate_recording takes to write a recording (60 s at the default rates unless told
// otherwise) and how large it is on disk, with the share of each stage of a frame.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/core.h>

#include "bench/support/bench_support.hpp"
#include "orvalt/common/argument_parser.hpp"
#include "orvalt/common/logger.hpp"
#include "orvalt/simulation/point_cloud_synthesis.hpp"
#include "orvalt/simulation/recording_writer.hpp"
#include "orvalt/simulation/simulation.hpp"

namespace {

namespace fs = std::filesystem;
using orvalt::bench::Clock;
using orvalt::bench::median;
using orvalt::bench::process_cpu_seconds;
using orvalt::bench::ScratchDir;
using orvalt::bench::seconds_since;
using orvalt::bench::thread_cpu_seconds;
using orvalt::simulation::SimulationOptions;

std::uintmax_t directory_bytes(const fs::path& directory) {
  std::uintmax_t bytes = 0;
  for (const auto& entry : fs::directory_iterator(directory)) bytes += entry.file_size();
  return bytes;
}

struct Run {
  double wall = 0;
  double cpu = 0;
  std::uintmax_t bytes = 0;
};

Run write_once(SimulationOptions options, const fs::path& directory) {
  options.output = (directory / "recording").string();
  const auto start = Clock::now();
  const double cpu_start = process_cpu_seconds();
  const orvalt::simulation::Simulation simulation(options);
  orvalt::simulation::write_recording(simulation);
  Run run;
  run.cpu = process_cpu_seconds() - cpu_start;
  run.wall = seconds_since(start);
  run.bytes = directory_bytes(options.output);
  fs::remove_all(options.output);
  return run;
}

// Median thread CPU milliseconds of each stage over `frames` frames spread over the drive.
void print_stages(const SimulationOptions& options, int frames) {
  const orvalt::simulation::Simulation simulation(options);
  const orvalt::simulation::ColourSensor colour(
      options.noise, options.seed, {options.intrinsics.width, options.intrinsics.height});
  const orvalt::simulation::DepthSensor depth(
      options.noise, options.depth_min, options.depth_max, options.seed,
      {options.intrinsics.width, options.intrinsics.height});
  std::vector<double> render, colour_ms, depth_ms, cloud_ms, encode_ms;
  for (int i = 0; i < frames; ++i) {
    const std::size_t frame = i * (simulation.frame_count() - 1) / std::max(frames - 1, 1);
    const double time = simulation.frame_time(frame);
    double start = thread_cpu_seconds();
    const auto view = simulation.render(time);
    render.push_back((thread_cpu_seconds() - start) * 1e3);
    start = thread_cpu_seconds();
    const cv::Mat image = colour.capture(view.colour, time, frame);
    colour_ms.push_back((thread_cpu_seconds() - start) * 1e3);
    start = thread_cpu_seconds();
    const auto capture = depth.capture(view.depth, frame);
    depth_ms.push_back((thread_cpu_seconds() - start) * 1e3);
    start = thread_cpu_seconds();
    const auto cloud = orvalt::simulation::synthesize_point_cloud(
        capture.metres, image, simulation.camera(), options.cloud_step);
    cloud_ms.push_back((thread_cpu_seconds() - start) * 1e3);
    start = thread_cpu_seconds();
    const auto bytes = cloud.encode();
    encode_ms.push_back((thread_cpu_seconds() - start) * 1e3);
    if (bytes.empty()) throw std::runtime_error("An encoded cloud is empty");
  }
  fmt::print(
      "per frame (median thread CPU over {} frames): render {:.1f} ms, colour sensor {:.1f} ms, "
      "depth sensor {:.1f} ms, point cloud {:.2f} ms, cloud encoding {:.2f} ms\n",
      frames, median(render), median(colour_ms), median(depth_ms), median(cloud_ms),
      median(encode_ms));
}

}  // namespace

int main(int argc, char** argv) {
  double duration = 60.0;
  int runs = 3;
  std::string storage = "sqlite3";
  std::string directory = "/tmp";
  int stage_frames = 60;
  orvalt::common::ArgumentParser parser(
      "bench_simulate",
      "Times simulate_recording writing a recording at the default rates (colour, depth, camera "
      "info and clouds at 15 Hz, TF at 50 Hz) and reports its size on disk; medians of the runs");
  parser.add_option("--duration", &duration, "Seconds of recording (default 60)");
  parser.add_option("--runs", &runs, "Timed runs (default 3)");
  parser.add_option("--storage", &storage, "sqlite3 or mcap (default sqlite3)");
  parser.add_option("--dir", &directory, "Where the temporary recordings go (default /tmp)");
  parser.add_option("--stage_frames", &stage_frames,
                    "Frames timed stage by stage, 0 for none (default 60)");
  parser.parse_or_exit(argc, argv);
  orvalt::common::configure_console_logging(spdlog::level::warn);

  try {
    SimulationOptions options;
    options.duration = duration;
    options.storage = storage;
    const orvalt::simulation::Simulation probe(options);
    fmt::print("simulate: {:.0f} s recording, {} frames of {}x{} at {:.0f} Hz, storage {}\n",
               duration, probe.frame_count(), options.intrinsics.width, options.intrinsics.height,
               options.camera_rate, storage);
    const ScratchDir scratch(directory, "orvalt_bench_simulate");
    std::vector<double> walls, cpus, sizes;
    for (int run = 0; run < std::max(runs, 1); ++run) {
      const Run result = write_once(options, scratch.path());
      fmt::print("  run {}: {:.1f} s wall, {:.1f} s CPU, {:.1f} MB on disk\n", run + 1, result.wall,
                 result.cpu, result.bytes / 1e6);
      std::fflush(stdout);
      walls.push_back(result.wall);
      cpus.push_back(result.cpu);
      sizes.push_back(result.bytes / 1e6);
    }
    const double wall = median(walls);
    fmt::print(
        "median: {:.1f} s wall ({:.0f} frames/s, {:.1f}x real time), {:.1f} s CPU, {:.1f} MB on "
        "disk ({:.0f} MB per recorded second)\n",
        wall, probe.frame_count() / wall, duration / wall, median(cpus), median(sizes),
        median(sizes) / duration);
    if (stage_frames > 0) print_stages(options, stage_frames);
  } catch (const std::exception& error) {
    fmt::print(stderr, "bench_simulate: {}\n", error.what());
    return 1;
  }
  return 0;
}
