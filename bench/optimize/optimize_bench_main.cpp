// Wall time of VarnholtOptimizer::optimize on a synthetic calibration of the usual size (100
// noisy planar motion pairs, 11 ground clouds of 2,000 points), its objective evaluations and
// the time per evaluation, against a baseline measured in the same run: only the work one
// evaluation cannot avoid when done plainly, mapping every ground point into the base frame
// and one thin SVD per cloud.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <Eigen/SVD>

#include "bench/support/bench_support.hpp"
#include "orvalt/calibration/pellitor/synthetic_problem.hpp"
#include "orvalt/calibration/pellitor/varnholt_optimizer.hpp"
#include "orvalt/calibration/utils/transform_utils.hpp"
#include "orvalt/common/angles.hpp"
#include "orvalt/common/argument_parser.hpp"

namespace {

using orvalt::bench::Clock;
using orvalt::bench::median;
using orvalt::bench::ScratchDir;
using orvalt::bench::seconds_since;
using orvalt::calibration::Points3d;
using orvalt::calibration::TransformUtils;
using orvalt::calibration::Vector6d;

// Seconds of one call of `work`, the median of `repeats` calls.
double median_seconds(int repeats, const std::function<void()>& work) {
  std::vector<double> seconds;
  for (int i = 0; i < repeats; ++i) {
    const auto start = Clock::now();
    work();
    seconds.push_back(seconds_since(start));
  }
  return median(seconds);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 7;
  int seed = 1;
  orvalt::common::ArgumentParser parser(
      "bench_optimize",
      "Times the calibration optimizer on 100 motion pairs and 11 ground clouds of 2,000 "
      "points against the plain per-evaluation work of point mapping and SVDs.");
  parser.add_option("--runs", &runs, "Timed optimize runs (the median is reported).");
  parser.add_option("--seed", &seed, "Seed of the synthetic problem.");
  parser.parse_or_exit(argc, argv);

  orvalt::calibration::SyntheticProblemOptions options;
  options.num_motions = 100;
  options.planar = true;
  options.num_clouds = 11;
  options.points_per_cloud = 2000;
  options.rotation_noise = 0.002;
  options.translation_noise = 0.002;
  options.ground_noise = 0.003;
  options.seed = static_cast<unsigned>(seed);
  const auto problem = orvalt::calibration::make_synthetic_problem(options);
  Vector6d start = options.true_vec6;
  start += (Vector6d() << 0.03, -0.03, 0.03, 0.0, 0.0, 0.02).finished();

  const ScratchDir dir(std::filesystem::temp_directory_path(), "orvalt_bench_optimize");
  orvalt::calibration::write_ground_clouds(problem.camera_ground_points, dir.path());
  orvalt::calibration::VarnholtOptimizer optimizer(
      problem.A_list, problem.B_list, dir.path(),
      {{{-0.5, 0.5}, {-0.5, 0.8}, {-0.5, 0.5}, {-1.0, 1.0}, {-1.0, 1.0}, {0.0, 2.0}}}, start);
  orvalt::calibration::CalibOptimizerConfig cfg;
  cfg.disp = false;

  orvalt::calibration::MinimizeResult result;
  const double optimize_seconds =
      median_seconds(runs, [&] { result = optimizer.optimize(cfg).minimization; });
  const double objective_seconds = median_seconds(15,
                                                  [&] {
                                                    for (int i = 0; i < 100; ++i)
                                                      optimizer.objective_function(result.x, cfg);
                                                  }) /
                                   100.0;

  const Eigen::Matrix4d X = TransformUtils::vector6_to_transform_matrix(result.x);
  volatile double sink = 0.0;
  const double baseline_seconds =
      median_seconds(
          15,
          [&] {
            for (int i = 0; i < 10; ++i) {
              for (const Points3d& points : problem.camera_ground_points) {
                const Points3d base = TransformUtils::transform_camera_points_to_base(points, X);
                const Eigen::MatrixXd centred = base.rowwise() - base.colwise().mean();
                const Eigen::JacobiSVD<Eigen::MatrixXd> svd(centred, Eigen::ComputeThinV);
                sink = sink + svd.matrixV()(2, 2);
              }
            }
          }) /
      10.0;

  const double per_evaluation = optimize_seconds / result.nfev;
  const Vector6d error = Vector6d(result.x) - options.true_vec6;
  fmt::print("optimize: {} pairs, {} clouds of {} points, median of {} runs\n", options.num_motions,
             options.num_clouds, options.points_per_cloud, runs);
  fmt::print("  wall time            {:8.1f} ms   (target < 500 ms)\n", optimize_seconds * 1e3);
  fmt::print("  iterations           {:8d}\n", result.nit);
  fmt::print("  evaluations          {:8d}\n", result.nfev);
  fmt::print("  time per evaluation  {:8.1f} us   (optimize wall time / evaluations)\n",
             per_evaluation * 1e6);
  fmt::print("  objective alone      {:8.1f} us\n", objective_seconds * 1e6);
  fmt::print("  baseline             {:8.1f} us   (point mapping + thin SVD per cloud)\n",
             baseline_seconds * 1e6);
  fmt::print("  ratio to baseline    {:8.2f}      (target <= 3)\n",
             per_evaluation / baseline_seconds);
  fmt::print("  result               {}  ({})\n", result.success ? "converged" : "not converged",
             result.message);
  fmt::print(
      "  error vs truth       rotation [{:.4f} {:.4f} {:.4f}] deg, translation "
      "[{:.1f} {:.1f} {:.1f}] mm\n",
      orvalt::common::rad_to_deg(error(0)), orvalt::common::rad_to_deg(error(1)),
      orvalt::common::rad_to_deg(error(2)), error(3) * 1e3, error(4) * 1e3, error(5) * 1e3);
  const bool met = optimize_seconds < 0.5 && per_evaluation <= 3.0 * baseline_seconds;
  fmt::print("  targets              {}\n", met ? "met" : "NOT met");
  return met ? 0 : 1;
}
