// Time and extra peak memory of one trajectory plot (construct, plot, save both PNGs) for pose
// lists of 1,000 and 10,000 rows, and the run time of the plotting program on 1,000 rows.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/core.h>

#include "bench/support/bench_support.hpp"
#include "orvalt/calibration/utils/utils.hpp"
#include "orvalt/common/argument_parser.hpp"
#include "orvalt/common/logger.hpp"
#include "orvalt/visual/ferrimond/transform_visualizer.hpp"

namespace {

namespace fs = std::filesystem;
using orvalt::bench::Clock;
using orvalt::bench::median;
using orvalt::bench::ScratchDir;
using orvalt::bench::seconds_since;
using orvalt::calibration::PoseRow;

constexpr double kSaveSecondsTarget = 0.3;
constexpr double kSaveMemoryTarget = 60.0 * 1e6;
constexpr double kProgramSecondsTarget = 0.5;

// A robot driving loops of a figure eight two metres across at 30 Hz.
std::vector<PoseRow> figure_eight(int count) {
  std::vector<PoseRow> rows;
  for (int i = 0; i < count; ++i) {
    const double phase = 2.0 * M_PI * i / 600.0;
    PoseRow row;
    row.timestamp = 1700000000000000000LL + static_cast<std::int64_t>(i) * 33333333;
    row.tx = std::sin(phase);
    row.ty = 0.5 * std::sin(2.0 * phase);
    row.tz = 0.01 * std::sin(0.1 * phase);
    const double yaw = std::atan2(std::cos(2.0 * phase), std::cos(phase));
    row.qz = std::sin(yaw / 2);
    row.qw = std::cos(yaw / 2);
    rows.push_back(row);
  }
  return rows;
}

struct SaveFigures {
  double seconds = 0;
  double cpu_seconds = 0;
  double extra_peak_bytes = 0;
};

SaveFigures measure_save(const std::vector<PoseRow>& rows, const fs::path& dir, int runs) {
  std::vector<double> seconds, cpu_seconds, extra_peaks;
  for (int run = 0; run < runs; ++run) {
    orvalt::bench::reset_peak_resident_bytes();
    const double resident = orvalt::bench::resident_bytes();
    const auto start = Clock::now();
    const double cpu_start = orvalt::bench::process_cpu_seconds();
    {
      orvalt::visual::TransformVisualizer visualizer(dir);
      visualizer.plot(rows, 2.0, 1.0);
      visualizer.save("bench");
    }
    seconds.push_back(seconds_since(start));
    cpu_seconds.push_back(orvalt::bench::process_cpu_seconds() - cpu_start);
    extra_peaks.push_back(orvalt::bench::peak_resident_bytes() - resident);
  }
  return {median(seconds), median(cpu_seconds), median(extra_peaks)};
}

const char* verdict(bool met) { return met ? "met" : "NOT met"; }

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  std::string work_dir = fs::temp_directory_path().string();
  orvalt::common::ArgumentParser parser(
      "bench_plot",
      "Time and extra peak memory of one trajectory plot (both PNGs at 300 dpi) for 1,000 and "
      "10,000 poses, and the run time of ferrimond on 1,000 poses");
  parser.add_option("--runs", &runs, "Measured runs of each; figures are medians (default: 5)");
  parser.add_option("--work_dir", &work_dir,
                    "Where the plots go (removed at the end; default: the temporary directory)");
  parser.parse_or_exit(argc, argv);
  orvalt::common::configure_console_logging(spdlog::level::warn);
  if (runs < 1) {
    std::fprintf(stderr, "bench_plot: error: --runs must be at least 1\n");
    return 2;
  }

  try {
    ScratchDir scratch(work_dir, "orvalt_bench_plot");
    // One unmeasured plot first: fonts and libraries load once per process.
    measure_save(figure_eight(10), scratch.path(), 1);
    fmt::print(
        "One plot and save of both figures ({} runs, medians; wall time counts other\n"
        "processes on a busy machine, processor time does not):\n",
        runs);
    SaveFigures thousand;
    for (int count : {1000, 10000}) {
      const SaveFigures figures = measure_save(figure_eight(count), scratch.path(), runs);
      if (count == 1000) thousand = figures;
      fmt::print("  {:>6} poses {:8.3f} s wall {:8.3f} s processor {:8.1f} MB more peak memory\n",
                 count, figures.seconds, figures.cpu_seconds, figures.extra_peak_bytes / 1e6);
    }

    const fs::path csv = scratch.path() / "odom_pose.csv";
    orvalt::calibration::Utils::save_pose_set_to_csv(figure_eight(1000), csv);
    std::vector<double> program_seconds, program_cpu_seconds, program_peaks;
    for (int run = 0; run < runs; ++run) {
      const auto measured = orvalt::bench::run_program(
          orvalt::bench::own_directory() / "ferrimond",
          {"--input", csv.string(), "--output_dir", (scratch.path() / "output").string()},
          scratch.path() / "ferrimond.log");
      if (measured.status != 0) {
        throw std::runtime_error("ferrimond failed (status " + std::to_string(measured.status) +
                                 ")");
      }
      program_seconds.push_back(measured.wall_seconds);
      program_cpu_seconds.push_back(measured.cpu_seconds);
      program_peaks.push_back(measured.peak_bytes);
    }
    fmt::print(
        "  ferrimond, 1000 poses {:8.3f} s wall {:8.3f} s processor {:8.1f} MB peak memory (whole "
        "program)\n\n",
        median(program_seconds), median(program_cpu_seconds), median(program_peaks) / 1e6);

    // The programs run on one thread, so on an idle machine wall time is processor time; on a
    // shared one only processor time says what the plots cost.
    fmt::print("Targets, on processor time:\n");
    fmt::print("save of 1000 poses {:.3f} s (target {:.1f} s): {}\n", thousand.cpu_seconds,
               kSaveSecondsTarget, verdict(thousand.cpu_seconds <= kSaveSecondsTarget));
    fmt::print("extra peak memory {:.1f} MB (target {:.0f} MB): {}\n",
               thousand.extra_peak_bytes / 1e6, kSaveMemoryTarget / 1e6,
               verdict(thousand.extra_peak_bytes <= kSaveMemoryTarget));
    const double program_cpu = median(program_cpu_seconds);
    fmt::print("ferrimond {:.3f} s (target {:.1f} s): {}\n", program_cpu, kProgramSecondsTarget,
               verdict(program_cpu <= kProgramSecondsTarget));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_plot: error: %s\n", error.what());
    return 1;
  }
  return 0;
}
