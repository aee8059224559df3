// The calibration program on a simulated recording at the default rates (60 s: about 900
// frames), with the default options and with --debug '': total wall time, the time of each
// stage as the program reports it, its peak memory and the calibration error against the
// truth; then its peak memory on a longer recording, which must not grow with the length, and
// the time of the --refine board stage, held against its own target. The
// baseline, in the same run and on one core, is the work no pipeline can avoid: encode every colour
// and depth image as PNG once, decode each once, and detect the tags once per colour image.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/core.h>
#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>

#include "bench/support/bench_support.hpp"
#include "orvalt/apriltag/quinsel/aprilgrid_corner_detect.hpp"
#include "orvalt/calibration/varnholt/extrinsic_comparison.hpp"
#include "orvalt/common/argument_parser.hpp"
#include "orvalt/common/logger.hpp"
#include "orvalt/simulation/ground_truth.hpp"

namespace {

namespace fs = std::filesystem;
using orvalt::bench::Clock;
using orvalt::bench::median;
using orvalt::bench::ProgramRun;
using orvalt::bench::run_program;
using orvalt::bench::ScratchDir;
using orvalt::bench::seconds_since;

constexpr double kTimeTarget = 1.0;       // default options: within 1.0 x of the baseline
constexpr double kQuietTimeTarget = 0.7;  // --debug '': within 0.7 x
constexpr double kMemoryTarget = 600.0 * (1 << 20);  // peak memory at most 600 MiB
constexpr double kGrowthTarget = 1.2;  // peak of the long recording / peak of the short one
constexpr double kRefineTarget = 2.0;  // seconds of the board refinement stage

// The per-stage averages of the program's "Time statistics" lines, in their order.
std::vector<std::pair<std::string, double>> stage_times(const fs::path& log) {
  std::ifstream file(log);
  const std::string text(std::istreambuf_iterator<char>(file), {});
  const std::regex line(R"(=============(\w+) : avg time: ([0-9.]+)\(s\))");
  std::vector<std::pair<std::string, double>> stages;
  for (auto match = std::sregex_iterator(text.begin(), text.end(), line);
       match != std::sregex_iterator(); ++match) {
    stages.emplace_back((*match)[1].str(), std::stod((*match)[2].str()));
  }
  return stages;
}

struct Baseline {
  double encode_seconds = 0;
  double decode_seconds = 0;
  double detect_seconds = 0;
  int colour_images = 0;
  int depth_images = 0;
  double total() const { return encode_seconds + decode_seconds + detect_seconds; }
};

std::vector<std::vector<std::uint8_t>> read_files(const fs::path& directory) {
  std::vector<std::vector<std::uint8_t>> files;
  for (const auto& entry : fs::directory_iterator(directory)) {
    std::ifstream file(entry.path(), std::ios::binary);
    files.emplace_back(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  return files;
}

// The unavoidable work on the images the run exported, on this thread alone, with the bag
// parser's PNG settings (colour at OpenCV's default compression, depth uncompressed).
Baseline measure_baseline(const fs::path& colour_dir, const fs::path& depth_dir) {
  cv::setNumThreads(0);
  Baseline baseline;
  for (const auto& [directory, is_depth] : {std::pair{colour_dir, false}, {depth_dir, true}}) {
    const auto files = read_files(directory);
    (is_depth ? baseline.depth_images : baseline.colour_images) = static_cast<int>(files.size());
    std::vector<cv::Mat> images;
    auto start = Clock::now();
    for (const auto& bytes : files) {
      images.push_back(cv::imdecode(bytes, is_depth ? cv::IMREAD_UNCHANGED : cv::IMREAD_COLOR));
    }
    baseline.decode_seconds += seconds_since(start);
    const std::vector<int> params =
        is_depth ? std::vector<int>{cv::IMWRITE_PNG_COMPRESSION, 0} : std::vector<int>{};
    std::vector<std::uint8_t> encoded;
    start = Clock::now();
    for (const auto& image : images) cv::imencode(".png", image, encoded, params);
    baseline.encode_seconds += seconds_since(start);
    if (is_depth) continue;
    orvalt::apriltag::AprilgridCornerDetect detector("APRILTAG_36h11", 0.15,
                                                     std::vector<int>{0, 1, 2, 3, 4});
    start = Clock::now();
    for (const auto& image : images) detector.detect(image);
    baseline.detect_seconds += seconds_since(start);
  }
  return baseline;
}

fs::path own_directory() { return fs::read_symlink("/proc/self/exe").parent_path(); }

// What the runs of varnholt with one set of options gave.
struct ModeFigures {
  std::vector<double> totals, peaks, rotation_errors, translation_errors;
  std::map<std::string, std::vector<double>> stages;
  std::vector<std::string> stage_order;

  double total() const { return median(totals); }
  double peak() const { return *std::max_element(peaks.begin(), peaks.end()); }
};

// Runs varnholt `runs` times on `datasets` with `options` added, into `output`.
ModeFigures measure_varnholt(const fs::path& datasets, const fs::path& output,
                             const fs::path& scratch, const std::vector<std::string>& options,
                             int runs, const Eigen::Matrix4d& truth) {
  ModeFigures figures;
  for (int run = 0; run < runs; ++run) {
    const fs::path log = scratch / "varnholt.log";
    fs::remove(log);
    std::vector<std::string> args = {"--bag_datasets_dir", datasets.string(), "--parser_output_dir",
                                     output.string(),      "--log_file",      log.string()};
    args.insert(args.end(), options.begin(), options.end());
    const ProgramRun measured =
        run_program(own_directory() / "varnholt", args, scratch / "console.log");
    if (measured.status != 0) {
      throw std::runtime_error("varnholt failed (status " + std::to_string(measured.status) +
                               "), see its log");
    }
    figures.totals.push_back(measured.wall_seconds);
    figures.peaks.push_back(measured.peak_bytes);
    figures.stage_order.clear();
    for (const auto& [name, seconds] : stage_times(log)) {
      figures.stages[name].push_back(seconds);
      figures.stage_order.push_back(name);
    }
    const auto error = orvalt::calibration::extrinsic_error(
        orvalt::calibration::read_extrinsic_matrix(output / "recording" / "calib_0" /
                                                   "calibration_result.json"),
        truth);
    figures.rotation_errors.push_back(error.rotation_deg);
    figures.translation_errors.push_back(error.translation_mm);
  }
  return figures;
}

void print_figures(const std::string& title, const ModeFigures& figures) {
  const int runs = static_cast<int>(figures.totals.size());
  fmt::print("\n{} ({} run{}, medians):\n", title, runs, runs == 1 ? "" : "s");
  for (const auto& name : figures.stage_order) {
    fmt::print("  {:<44} {:8.2f} s\n", name, median(figures.stages.at(name)));
  }
  fmt::print("  {:<44} {:8.2f} s (wall, whole program)\n", "total", figures.total());
  fmt::print("  {:<44} {:8.0f} MiB\n", "peak memory", figures.peak() / (1 << 20));
  fmt::print("  {:<44} {:8.3f} deg, {:.1f} mm\n", "calibration error",
             median(figures.rotation_errors), median(figures.translation_errors));
  if (runs > 1) {
    const auto [low, high] =
        std::minmax_element(figures.rotation_errors.begin(), figures.rotation_errors.end());
    fmt::print("  {:<44} {:8.3f} to {:.3f} deg\n", "rotation error over the runs", *low, *high);
  }
}

// Simulates `duration` seconds at the default rates into `datasets`/recording, in a child
// process, so that the simulation's memory does not stay with this one and its children.
orvalt::simulation::GroundTruth simulate(const fs::path& datasets, double duration,
                                         const fs::path& scratch) {
  fs::remove_all(datasets);
  fs::create_directories(datasets);
  const fs::path recording = datasets / "recording";
  fmt::print("Simulating {:.0f} s at the default rates into {} ...\n", duration,
             recording.string());
  std::fflush(stdout);
  const ProgramRun simulated =
      run_program(own_directory() / "simulate_recording",
                  {"--output", recording.string(), "--duration", fmt::format("{}", duration)},
                  scratch / "simulate_recording.log");
  if (simulated.status != 0) {
    throw std::runtime_error("simulate_recording failed (status " +
                             std::to_string(simulated.status) + "), see its log");
  }
  return orvalt::simulation::read_ground_truth(recording.string());
}

const char* verdict(bool met) { return met ? "met" : "NOT met"; }

}  // namespace

int main(int argc, char** argv) {
  double duration = 60.0;
  double long_duration = 180.0;
  int runs = 1;
  std::string work_dir = fs::temp_directory_path().string();
  orvalt::common::ArgumentParser parser(
      "bench_calibrate",
      "Time varnholt, with the default options and with --debug '', on a simulated recording at "
      "the default rates against the unavoidable image work on one core; peak memory on that "
      "and on a longer recording, and calibration error");
  parser.add_option("--duration", &duration, "Seconds of simulated recording (default: 60)");
  parser.add_option("--long_duration", &long_duration,
                    "Seconds of the longer recording whose peak memory is compared; 0 skips it "
                    "(default: 180)");
  bool refine = true;
  parser.add_text_truth_option("--refine", &refine,
                               "Also time a run with --refine board (default: on; --refine '' "
                               "skips it)");
  parser.add_option("--runs", &runs, "Calibration runs; figures are medians (default: 1)");
  parser.add_option("--work_dir", &work_dir,
                    "Where the recording and the runs go (removed at the end; default: the "
                    "temporary directory)");
  parser.parse_or_exit(argc, argv);
  orvalt::common::configure_console_logging(spdlog::level::warn);

  try {
    ScratchDir scratch(work_dir, "orvalt_bench_calibrate");
    const fs::path datasets = scratch.path() / "datasets";
    const fs::path output = scratch.path() / "output";
    const auto truth = simulate(datasets, duration, scratch.path());
    const ModeFigures quiet = measure_varnholt(datasets, output, scratch.path(), {"--debug", ""},
                                               runs, truth.extrinsic_matrix);
    const ModeFigures standard =
        measure_varnholt(datasets, output, scratch.path(), {}, runs, truth.extrinsic_matrix);
    std::optional<ModeFigures> refined;
    if (refine) {
      refined =
          measure_varnholt(datasets, output, scratch.path(), {"--debug", "", "--refine", "board"},
                           runs, truth.extrinsic_matrix);
    }
    const fs::path run_dir = output / "recording" / "calib_0";
    const Baseline baseline = measure_baseline(run_dir / "QuillonNode_rectify_left_image",
                                               run_dir / "QuillonNode_quillon_depth");
    std::optional<ModeFigures> longer;
    if (long_duration > 0) {
      const auto long_truth = simulate(datasets, long_duration, scratch.path());
      longer =
          measure_varnholt(datasets, output, scratch.path(), {}, 1, long_truth.extrinsic_matrix);
    }

    fmt::print("\nOn {} colour and {} depth images of {:.0f} s:\n", baseline.colour_images,
               baseline.depth_images, duration);
    print_figures("varnholt with the default options", standard);
    print_figures("varnholt --debug ''", quiet);
    if (refined) print_figures("varnholt --debug '' --refine board", *refined);
    if (longer) print_figures(fmt::format("varnholt on {:.0f} s", long_duration), *longer);
    fmt::print("\nBaseline on one core:\n");
    fmt::print("  {:<44} {:8.2f} s\n", "encode every image as PNG", baseline.encode_seconds);
    fmt::print("  {:<44} {:8.2f} s\n", "decode every image", baseline.decode_seconds);
    fmt::print("  {:<44} {:8.2f} s\n", "detect tags in every colour image",
               baseline.detect_seconds);
    fmt::print("  {:<44} {:8.2f} s\n", "total", baseline.total());
    const double ratio = standard.total() / baseline.total();
    const double quiet_ratio = quiet.total() / baseline.total();
    fmt::print("\ntotal / baseline = {:.2f} (target {:.1f}): {}\n", ratio, kTimeTarget,
               verdict(ratio <= kTimeTarget));
    fmt::print("total with --debug '' / baseline = {:.2f} (target {:.1f}): {}\n", quiet_ratio,
               kQuietTimeTarget, verdict(quiet_ratio <= kQuietTimeTarget));
    const double peak = std::max(standard.peak(), quiet.peak());
    fmt::print("peak memory {:.0f} MiB (target at most {:.0f} MiB): {}\n", peak / (1 << 20),
               kMemoryTarget / (1 << 20), verdict(peak <= kMemoryTarget));
    if (longer) {
      const double growth = longer->peak() / standard.peak();
      fmt::print(
          "peak memory on {:.0f} s {:.0f} MiB, on {:.0f} s {:.0f} MiB: ratio {:.2f} (target "
          "under {:.1f}): {}\n",
          duration, standard.peak() / (1 << 20), long_duration, longer->peak() / (1 << 20), growth,
          kGrowthTarget, verdict(growth < kGrowthTarget));
    }
    if (refined) {
      const double refine_seconds = median(refined->stages.at("refine_time"));
      fmt::print("refinement stage {:.2f} s (target at most {:.0f} s): {}\n", refine_seconds,
                 kRefineTarget, verdict(refine_seconds <= kRefineTarget));
    }
  } catch (const std::exception& failure) {
    fmt::print(stderr, "bench_calibrate: {}\n", failure.what());
    return 1;
  }
  return 0;
}
