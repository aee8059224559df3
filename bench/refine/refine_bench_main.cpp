// Wall and CPU time of the board refinement on a recording of 60 s at 15 Hz (the camera
// latency, corner noise, floor noise and odometry drift of a typical robot), with its errors
// against the truth, the estimated time offset and the sigmas it reports.

#include <cmath>
#include <cstdio>
#include <vector>

#include <fmt/format.h>

#include "bench/support/bench_support.hpp"
#include "orvalt/calibration/refine/board_refinement.hpp"
#include "orvalt/calibration/refine/synthetic_board_recording.hpp"
#include "orvalt/common/angles.hpp"
#include "orvalt/common/argument_parser.hpp"

namespace {

using orvalt::bench::Clock;
using orvalt::bench::median;
using orvalt::bench::process_cpu_seconds;
using orvalt::bench::seconds_since;
using orvalt::calibration::Vector6d;

using orvalt::common::kDegree;

}  // namespace

int main(int argc, char** argv) {
  int runs = 3;
  int seed = 1;
  int threads = 1;
  double duration = 60.0;
  orvalt::common::ArgumentParser parser(
      "bench_refine",
      "Times the board refinement on a synthetic 15 Hz recording with camera latency, corner, "
      "floor and odometry noise, and prints its errors against the truth.");
  parser.add_option("--runs", &runs, "Timed refinements (the median is reported).");
  parser.add_option("--seed", &seed, "Seed of the synthetic recording.");
  parser.add_option("--threads", &threads, "Solver threads.");
  parser.add_option("--duration", &duration, "Seconds of recording.");
  parser.parse_or_exit(argc, argv);

  orvalt::calibration::SyntheticBoardRecordingOptions options;
  options.duration = duration;
  options.latency_s = 0.03;
  options.pixel_noise = 0.015;  // corners from the tags' edges on the simulator's views
  options.odometry_rate = 50.0;
  options.floor_noise = 0.003;
  options.odometry_error = orvalt::simulation::NoiseSettings().odometry;
  options.seed = static_cast<std::uint64_t>(seed);
  auto recording = orvalt::calibration::make_synthetic_board_recording(options);
  recording.input.initial_vec6 +=
      (Vector6d() << 0.5 * kDegree, -0.5 * kDegree, 0.5 * kDegree, 0.01, -0.01, 0.003).finished();
  orvalt::calibration::RefinementOptions refinement;
  refinement.threads = threads;

  std::vector<double> wall;
  std::vector<double> cpu;
  orvalt::calibration::RefinementResult result;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    const double cpu_start = process_cpu_seconds();
    result = orvalt::calibration::refine_with_board(recording.input, refinement);
    wall.push_back(seconds_since(start));
    cpu.push_back(process_cpu_seconds() - cpu_start);
  }

  const Vector6d error = result.vec6 - recording.true_vec6;
  fmt::print("refine: {:.0f} s at {:.0f} Hz, {} frames, {} tags, {} corners, median of {} runs\n",
             options.duration, options.camera_rate, result.frames_used, result.tags_used,
             result.corners_used, runs);
  fmt::print("  wall time        {:8.3f} s   (target <= 2 s)\n", median(wall));
  fmt::print("  CPU time         {:8.3f} s\n", median(cpu));
  fmt::print("  iterations       {:8d}\n", result.iterations);
  fmt::print("  result           {}{}  ({})\n",
             result.success ? "success" : "failure: ", result.failure_reason,
             result.solver_message);
  fmt::print("  reprojection     {:.3f} px RMS, worst frame {:.3f} px, {} outlier corners\n",
             result.reprojection_rms_px, result.worst_frame_rms_px, result.outlier_corners);
  fmt::print(
      "  error vs truth   rotation [{:.4f} {:.4f} {:.4f}] deg, translation "
      "[{:.3f} {:.3f} {:.3f}] mm\n",
      error(0) / kDegree, error(1) / kDegree, error(2) / kDegree, error(3) * 1e3, error(4) * 1e3,
      error(5) * 1e3);
  fmt::print(
      "  sigma            rotation [{:.4f} {:.4f} {:.4f}] deg, translation "
      "[{:.3f} {:.3f} {:.3f}] mm\n",
      result.vec6_sigma(0) / kDegree, result.vec6_sigma(1) / kDegree,
      result.vec6_sigma(2) / kDegree, result.vec6_sigma(3) * 1e3, result.vec6_sigma(4) * 1e3,
      result.vec6_sigma(5) * 1e3);
  fmt::print("  time offset      {:.2f} ms (truth {:.2f} ms, sigma {:.2f} ms)\n",
             result.time_offset_s * 1e3, recording.true_time_offset_s * 1e3,
             result.time_offset_sigma_s * 1e3);
  const bool met = result.success && median(wall) <= 2.0;
  fmt::print("  targets          {}\n", met ? "met" : "NOT met");
  return met ? 0 : 1;
}
