// The calibration program on a simulated recording at the default rates (60 s: about 900
// frames): total wall time, the time of each stage as the program reports it, its peak memory
// and the calibration error against the truth. The baseline, in the same run and on one core,
// is the work no pipeline can avoid: encode every colour and depth image as PNG once, decode
// each once, and detect the tags once per colour image.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
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
#include "orvalt/simulation/recording_writer.hpp"
#include "orvalt/simulation/simulation.hpp"

namespace {

namespace fs = std::filesystem;
using orvalt::bench::Clock;
using orvalt::bench::median;
using orvalt::bench::ProgramRun;
using orvalt::bench::run_program;
using orvalt::bench::ScratchDir;
using orvalt::bench::seconds_since;

constexpr double kTimeTarget = 1.5;                // total within 1.5 x of the baseline
constexpr double kMemoryTarget = 2.0 * (1 << 30);  // peak memory under 2 GiB

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

}  // namespace

int main(int argc, char** argv) {
  double duration = 60.0;
  int runs = 1;
  std::string work_dir = fs::temp_directory_path().string();
  orvalt::common::ArgumentParser parser(
      "bench_calibrate",
      "Time varnholt on a simulated recording at the default rates against the unavoidable "
      "image work on one core; peak memory and calibration error");
  parser.add_option("--duration", &duration, "Seconds of simulated recording (default: 60)");
  parser.add_option("--runs", &runs, "Calibration runs; figures are medians (default: 1)");
  parser.add_option("--work_dir", &work_dir,
                    "Where the recording and the runs go (removed at the end; default: the "
                    "temporary directory)");
  parser.parse_or_exit(argc, argv);
  orvalt::common::configure_console_logging(spdlog::level::warn);

  try {
    ScratchDir scratch(work_dir, "orvalt_bench_calibrate");
    const fs::path datasets = scratch.path() / "datasets";
    fs::create_directories(datasets);
    orvalt::simulation::SimulationOptions options;
    options.output = (datasets / "recording").string();
    options.duration = duration;
    fmt::print("Simulating {:.0f} s at the default rates into {} ...\n", duration, options.output);
    std::fflush(stdout);
    const orvalt::simulation::Simulation simulation(options);
    orvalt::simulation::write_recording(simulation);
    const auto truth = orvalt::simulation::read_ground_truth(options.output);

    std::vector<double> totals, peaks;
    std::map<std::string, std::vector<double>> stages;
    std::vector<std::string> stage_order;
    std::vector<double> rotation_errors, translation_errors;
    const fs::path output = scratch.path() / "output";
    for (int run = 0; run < runs; ++run) {
      const fs::path log = scratch.path() / "varnholt.log";
      fs::remove(log);
      const ProgramRun measured =
          run_program(own_directory() / "varnholt",
                      {"--bag_datasets_dir", datasets.string(), "--parser_output_dir",
                       output.string(), "--log_file", log.string()},
                      scratch.path() / "console.log");
      if (measured.status != 0) {
        throw std::runtime_error("varnholt failed (status " + std::to_string(measured.status) +
                                 "), see its log");
      }
      totals.push_back(measured.wall_seconds);
      peaks.push_back(measured.peak_bytes);
      stage_order.clear();
      for (const auto& [name, seconds] : stage_times(log)) {
        stages[name].push_back(seconds);
        stage_order.push_back(name);
      }
      const auto error = orvalt::calibration::extrinsic_error(
          orvalt::calibration::read_extrinsic_matrix(output / "recording" / "calib_0" /
                                                     "calibration_result.json"),
          truth.extrinsic_matrix);
      rotation_errors.push_back(error.rotation_deg);
      translation_errors.push_back(error.translation_mm);
    }
    const fs::path run_dir = output / "recording" / "calib_0";
    const Baseline baseline = measure_baseline(run_dir / "QuillonNode_rectify_left_image",
                                               run_dir / "QuillonNode_quillon_depth");

    const double total = median(totals);
    const double peak = *std::max_element(peaks.begin(), peaks.end());
    fmt::print("\nvarnholt on {} colour and {} depth images ({} run{}, medians):\n",
               baseline.colour_images, baseline.depth_images, runs, runs == 1 ? "" : "s");
    for (const auto& name : stage_order) {
      fmt::print("  {:<44} {:8.2f} s\n", name, median(stages[name]));
    }
    fmt::print("  {:<44} {:8.2f} s (wall, whole program)\n", "total", total);
    fmt::print("  {:<44} {:8.0f} MiB\n", "peak memory", peak / (1 << 20));
    fmt::print("  {:<44} {:8.3f} deg, {:.1f} mm\n", "calibration error", median(rotation_errors),
               median(translation_errors));
    if (runs > 1) {
      const auto [low, high] = std::minmax_element(rotation_errors.begin(), rotation_errors.end());
      fmt::print("  {:<44} {:8.3f} to {:.3f} deg\n", "rotation error over the runs", *low, *high);
    }
    fmt::print("\nBaseline on one core:\n");
    fmt::print("  {:<44} {:8.2f} s\n", "encode every image as PNG", baseline.encode_seconds);
    fmt::print("  {:<44} {:8.2f} s\n", "decode every image", baseline.decode_seconds);
    fmt::print("  {:<44} {:8.2f} s\n", "detect tags in every colour image",
               baseline.detect_seconds);
    fmt::print("  {:<44} {:8.2f} s\n", "total", baseline.total());
    const double ratio = total / baseline.total();
    fmt::print("\ntotal / baseline = {:.2f} (target {:.1f}): {}\n", ratio, kTimeTarget,
               ratio <= kTimeTarget ? "met" : "NOT met");
    fmt::print("peak memory {:.0f} MiB (target under {:.0f} MiB): {}\n", peak / (1 << 20),
               kMemoryTarget / (1 << 20), peak < kMemoryTarget ? "met" : "NOT met");
  } catch (const std::exception& failure) {
    fmt::print(stderr, "bench_calibrate: {}\n", failure.what());
    return 1;
  }
  return 0;
}
