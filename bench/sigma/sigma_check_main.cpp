// sigma_check: do the 1-sigma uncertainties in calibration_report.json mean what they say?
// Simulates recordings with different seeds (simulate_recording, default settings unless
// --simulate_options says otherwise), calibrates each with varnholt (its defaults plus
// --varnholt_options) and compares, per parameter the data determine, the reported 1-sigma
// with the observed spread of the errors against the ground truth, and the mean error with the
// sigma (a bias). With "--refine board" among the varnholt options it checks the refined
// result and the refinement's sigmas. It takes about two minutes
// a seed, so it is not named bench_* (make bench skips it).
//
// Every seed drives the same path past the same board, so an error that depends only on the
// views (a tag edge's fit at one angle and distance) is the same in every recording: it shows
// as a bias, and the spread holds only the noise that changes from seed to seed. A user's
// recordings differ in their views too; --move_board places the board differently for every
// seed, so that the spread is that of recordings taken one after another.

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <random>

#include "orvalt/common/angles.hpp"
#include "orvalt/common/argument_parser.hpp"
#include "orvalt/simulation/ground_truth.hpp"

namespace {

namespace fs = std::filesystem;

constexpr const char* kNames[6] = {"rx", "ry", "rz", "tx", "ty", "tz"};

// One seed's errors (result - truth) and reported sigmas; a sigma of 0 marks a parameter the
// run did not report as determined by the data.
struct SeedResult {
  double error[6] = {};
  double sigma[6] = {};
};

// Where --move_board puts the board for a seed: the simulator's default place (1 m ahead),
// moved by up to 10 cm in each direction on the floor and turned by up to 5 degrees.
std::string board_pose_option(int seed) {
  std::mt19937_64 random(static_cast<std::uint64_t>(seed));
  std::uniform_real_distribution<double> shift(-0.1, 0.1);
  std::uniform_real_distribution<double> turn(-5.0, 5.0);
  const double x = 1.0 + shift(random);
  const double y = shift(random);
  return fmt::format("--board_pose {:.4f} {:.4f} {:.3f}", x, y, turn(random));
}

void run(const std::string& command, const fs::path& log) {
  const std::string line = command + " > '" + log.string() + "' 2>&1";
  if (std::system(line.c_str()) != 0) {
    throw std::runtime_error("failed (see " + log.string() + "): " + command);
  }
}

SeedResult calibrate_seed(const fs::path& bin, const fs::path& work, int seed,
                          const std::string& simulate_options, const std::string& varnholt_options,
                          bool move_board) {
  const fs::path seed_dir = work / ("seed_" + std::to_string(seed));
  fs::remove_all(seed_dir);
  fs::create_directories(seed_dir / "datasets");
  const fs::path recording = seed_dir / "datasets" / "recording";
  run(fmt::format("'{}' --output '{}' --seed {} {} {}", (bin / "simulate_recording").string(),
                  recording.string(), seed, move_board ? board_pose_option(seed) : "",
                  simulate_options),
      seed_dir / "simulate.log");
  run(fmt::format("'{}' --bag_datasets_dir '{}' --parser_output_dir '{}' --log_file '{}' "
                  "--debug '' {}",
                  (bin / "varnholt").string(), (seed_dir / "datasets").string(),
                  (seed_dir / "out").string(), (seed_dir / "varnholt.log").string(),
                  varnholt_options),
      seed_dir / "console.log");
  const auto truth = orvalt::simulation::read_ground_truth(recording);
  std::ifstream file(seed_dir / "out" / "recording" / "calib_0" / "calibration_report.json");
  const nlohmann::json report = nlohmann::json::parse(file);
  // With --refine board the result files hold the refinement's result when it succeeded; its
  // own findings then say what it determined.
  const bool refined = report.contains("refinement") && report["refinement"]["success"] == true;
  const auto& findings = refined ? report["refinement"]["parameters"] : report["observability"];
  SeedResult result;
  for (int i = 0; i < 6; ++i) {
    const auto& finding = findings[kNames[i]];
    result.error[i] = finding["value"].get<double>() - truth.vec6[i];
    if (finding["determination"] == "data") result.sigma[i] = finding["sigma"].get<double>();
  }
  fs::remove_all(seed_dir);  // the recordings are large; the figures are printed
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  int seeds = 10;
  int first_seed = 1;
  std::string work = "sigma_check_work";
  std::string simulate_options;
  std::string varnholt_options;
  bool move_board = false;
  orvalt::common::ArgumentParser parser(
      "sigma_check",
      "Compare the 1-sigma uncertainties varnholt reports with the spread of its "
      "errors over simulated recordings of different seeds");
  parser.add_option("--seeds", &seeds, "Number of recordings (default: 10)");
  parser.add_option("--first_seed", &first_seed, "Seed of the first recording (default: 1)");
  parser.add_option("--work_dir", &work,
                    "Directory for the recordings and runs (default: sigma_check_work)");
  parser.add_option("--simulate_options", &simulate_options,
                    "Extra options for simulate_recording, as one string");
  parser.add_option("--varnholt_options", &varnholt_options,
                    "Extra options for varnholt, as one string (for example \"--w_xy 0\")");
  parser.add_text_truth_option("--move_board", &move_board,
                               "Place the board differently for every seed, up to 10 cm and 5 "
                               "degrees from its default place, so that the recordings differ "
                               "in their views as well as in their noise (default: off)");
  parser.parse_or_exit(argc, argv);

  const fs::path bin = fs::read_symlink("/proc/self/exe").parent_path();
  std::vector<SeedResult> results;
  try {
    for (int seed = first_seed; seed < first_seed + seeds; ++seed) {
      results.push_back(
          calibrate_seed(bin, work, seed, simulate_options, varnholt_options, move_board));
      std::cerr << fmt::format("seed {} done\n", seed);
    }
  } catch (const std::exception& error) {
    std::cerr << "sigma_check: " << error.what() << "\n";
    return 1;
  }

  fmt::print("sigma_check: {} recordings (seeds {} to {}{}), varnholt {}\n", results.size(),
             first_seed, first_seed + seeds - 1, move_board ? ", the board moved for each" : "",
             varnholt_options.empty() ? "defaults" : varnholt_options);
  fmt::print("{:>5} {:>6} {:>10} {:>10} {:>10} {:>12} {:>12}  {}\n", "param", "unit", "mean err",
             "sd err", "rms err", "rms sigma", "sd/sigma", "within 2x, |mean| within 2 sigma");
  bool all_within = true;
  for (int i = 0; i < 6; ++i) {
    const double scale = i < 3 ? orvalt::common::rad_to_deg(1.0) : 1e3;
    double sum = 0.0;
    double squares = 0.0;
    double sigma_squares = 0.0;
    int determined = 0;
    for (const SeedResult& r : results) {
      sum += r.error[i];
      squares += r.error[i] * r.error[i];
      if (r.sigma[i] > 0.0) {
        sigma_squares += r.sigma[i] * r.sigma[i];
        ++determined;
      }
    }
    const double n = static_cast<double>(results.size());
    const double mean = sum / n;
    const double sd = n > 1 ? std::sqrt(std::max(0.0, (squares - n * mean * mean) / (n - 1))) : 0;
    const double rms = std::sqrt(squares / n);
    std::string verdict = "not determined by the data in every run";
    double ratio = NAN;
    if (determined == static_cast<int>(results.size())) {
      const double rms_sigma = std::sqrt(sigma_squares / n);
      ratio = sd / rms_sigma;
      const bool within = ratio >= 0.5 && ratio <= 2.0;
      // A mean error beyond two sigmas is a bias the sigma does not cover.
      const bool unbiased = std::abs(mean) <= 2.0 * rms_sigma;
      all_within = all_within && within && unbiased;
      verdict = fmt::format("{}, {}", within ? "yes" : "NO", unbiased ? "yes" : "NO");
      fmt::print("{:>5} {:>6} {:10.5f} {:10.5f} {:10.5f} {:12.5f} {:12.2f}  {}\n", kNames[i],
                 i < 3 ? "deg" : "mm", mean * scale, sd * scale, rms * scale, rms_sigma * scale,
                 ratio, verdict);
    } else {
      fmt::print("{:>5} {:>6} {:10.5f} {:10.5f} {:10.5f} {:>12} {:>12}  {}\n", kNames[i],
                 i < 3 ? "deg" : "mm", mean * scale, sd * scale, rms * scale, "-", "-", verdict);
    }
  }
  fmt::print("{}\n", all_within ? "every determined parameter's sigma is within a factor 2 and "
                                  "its mean error within 2 sigma"
                                : "some sigma is off by more than a factor 2 or some mean error "
                                  "beyond 2 sigma");
  return all_within ? 0 : 3;
}
