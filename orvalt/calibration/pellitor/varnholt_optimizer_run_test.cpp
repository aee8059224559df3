#include <algorithm>
#include <cmath>
#include <limits>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>

#include <Eigen/Geometry>

#include "orvalt/calibration/pellitor/synthetic_problem.hpp"
#include "orvalt/calibration/pellitor/varnholt_optimizer.hpp"
#include "orvalt/simulation/odometry.hpp"
#include "orvalt/simulation/simulation_options.hpp"
#include "orvalt/simulation/trajectory.hpp"
#include "orvalt/testing/eigen_matchers.hpp"
#include "orvalt/testing/log_capture.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::calibration {
namespace {

using ::testing::Contains;
using testing::EigenNear;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::LogCapture;
using ::testing::Not;
using testing::TempDir;

constexpr const char* kLogger = "orvalt.calibration.pellitor";

const Vector6dBounds kBounds = {
    {{-0.5, 0.5}, {-0.5, 0.8}, {-0.5, 0.5}, {-1.0, 1.0}, {-1.0, 1.0}, {0.0, 2.0}}};

VarnholtOptimizer make(const SyntheticProblem& problem, const Vector6d& init) {
  TempDir dir;
  write_ground_clouds(problem.camera_ground_points, dir.path());
  return VarnholtOptimizer(problem.A_list, problem.B_list, dir.path(), kBounds, init);
}

Vector6d perturbed(const Vector6d& truth) {
  Vector6d start = truth;
  start += (Vector6d() << 0.05, -0.04, 0.06, 0.03, -0.04, 0.05).finished();
  return start;
}

CalibOptimizerConfig tight_config() {
  CalibOptimizerConfig cfg;
  cfg.disp = false;
  cfg.ftol = 1e-15;
  cfg.gtol = 1e-12;
  cfg.w_xy = 0.0;  // the prior would hold tx, ty at the perturbed start
  return cfg;
}

// General motions pin all six parameters. The data are exact, so the minimum is X itself;
// what limits the answer is the minimiser's stopping test on gradients from forward
// differences (step 1e-8). Measured: 1.1e-7 (tz) at worst; the bound 1e-6 leaves a factor of
// 9. Tolerances are tight here: the default ftol of 1e-8 acts as an absolute test on an
// objective this small and stops about 1e-3 short in tx, ty.
TEST(VarnholtOptimizerRunTest, RecoversTheExtrinsicFromGeneralMotions) {
  SyntheticProblemOptions options;
  options.num_motions = 20;
  const SyntheticProblem problem = make_synthetic_problem(options);
  auto optimizer = make(problem, perturbed(options.true_vec6));

  LogCapture log(kLogger);
  const OptimizationSummary summary_x = optimizer.optimize(tight_config());
  const Vector6d& x = summary_x.vec6;
  const MinimizeResult& result = summary_x.minimization;
  EXPECT_THAT(x, EigenNear(options.true_vec6, 1e-6)) << result.message;
  EXPECT_EQ(Vector6d(result.x), x);
  EXPECT_LT(result.fun, 1e-12);
  EXPECT_GT(result.nit, 3);
  EXPECT_EQ(result.nfev, optimizer.iter());

  const auto lines = log.messages(spdlog::level::info);
  EXPECT_EQ(lines.front(), "\n===== Camera-Base Extrinsic Calibration Start =====");
  EXPECT_THAT(lines, Contains("\n=============== Optimize Done ==============="));
  EXPECT_THAT(lines, Contains(fmt::format("Function Evaluations: {}", result.nfev)));
  EXPECT_THAT(lines, Contains("Message: " + result.message));
  EXPECT_THAT(lines, Contains(HasSubstr("Optimized vector6: [")));
  EXPECT_THAT(lines, Contains(::testing::StartsWith("Gradient Convergence = ")));
  EXPECT_THAT(lines, Contains("✓ Result validation passed"));
  EXPECT_THAT(lines, Contains("  Valid Ground Planes: 4"));
}

// The summary holds each figure once, as the separate calls would compute it at its vector,
// and the run logs the accuracy report once (it was computed and logged twice per run).
TEST(VarnholtOptimizerRunTest, SummaryHoldsEveryFigureOfTheResultOnce) {
  SyntheticProblemOptions options;
  options.rotation_noise = 1e-3;
  options.ground_noise = 1e-3;
  const SyntheticProblem problem = make_synthetic_problem(options);
  auto optimizer = make(problem, perturbed(options.true_vec6));
  CalibOptimizerConfig cfg;
  cfg.disp = false;

  LogCapture log(kLogger);
  const OptimizationSummary summary = optimizer.optimize(cfg);
  const auto lines = log.messages(spdlog::level::info);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Accuracy Metrics:"), 1);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "✓ Result validation passed"), 1);

  const Vector6d& x = summary.vec6;
  EXPECT_EQ(Vector6d(summary.minimization.x), x);
  EXPECT_EQ(summary.largest_gradient, summary.minimization.jac.cwiseAbs().maxCoeff());
  EXPECT_EQ(summary.terms.axxb, optimizer._residual_axxb(x));
  EXPECT_EQ(summary.terms.ground_normal, optimizer._residual_ground_normal(x, cfg.cauchy_normal));
  EXPECT_EQ(summary.terms.ground_z, optimizer._residual_ground_z(x, cfg.cauchy_z));
  EXPECT_EQ(summary.terms.xy_prior, optimizer._residual_xy_prior(x, optimizer.initial_vec6()(3),
                                                                 optimizer.initial_vec6()(4)));
  EXPECT_NEAR(cfg.w_axxb * summary.terms.axxb + cfg.w_normal * summary.terms.ground_normal +
                  cfg.w_z * summary.terms.ground_z + cfg.w_xy * summary.terms.xy_prior,
              summary.minimization.fun, 1e-15);
  const AccuracyMetrics accuracy = optimizer.compute_calibration_accuracy(x);
  EXPECT_EQ(summary.accuracy.axxb_rotation_rmse, accuracy.axxb_rotation_rmse);
  EXPECT_EQ(summary.accuracy.ground_z_rmse, accuracy.ground_z_rmse);
  EXPECT_EQ(summary.accuracy.num_valid_ground_planes, accuracy.num_valid_ground_planes);
  const ValidationResult validation = optimizer.validate_optimization_result(x);
  EXPECT_EQ(summary.validation.valid, validation.valid);
  EXPECT_EQ(summary.validation.warnings, validation.warnings);
  EXPECT_EQ(summary.validation.translation_norm, validation.translation_norm);
}

// Planar motions (all turns about the base z axis) say nothing about tz and leave roll and
// pitch to the turn axes alone; the level ground clouds pin them.
TEST(VarnholtOptimizerRunTest, GroundTermsPinRollPitchAndHeightUnderPlanarMotion) {
  SyntheticProblemOptions options;
  options.planar = true;
  options.num_motions = 20;
  const SyntheticProblem problem = make_synthetic_problem(options);
  const Vector6d start = perturbed(options.true_vec6);
  auto optimizer = make(problem, start);

  const OptimizationSummary summary_x = optimizer.optimize(tight_config());
  const Vector6d& x = summary_x.vec6;
  EXPECT_NEAR(x(0), options.true_vec6(0), 1e-6);
  EXPECT_NEAR(x(1), options.true_vec6(1), 1e-6);
  EXPECT_NEAR(x(5), options.true_vec6(5), 1e-6);

  // Without the ground terms the height stays where it started.
  CalibOptimizerConfig no_ground = tight_config();
  no_ground.w_normal = 0.0;
  no_ground.w_z = 0.0;
  const Vector6d x_motion_only = optimizer.optimize(no_ground).vec6;
  EXPECT_NEAR(x_motion_only(5), start(5), 1e-6);
}

// The simulator's default recording without its images: the turns and arcs of its drive,
// camera frames at 15 Hz for 20 s, its true and nominal mountings. A comes from the wheel
// odometry (with its default errors when noisy), B from the true camera poses, each frame's
// pose disturbed by 0.3 mrad and 0.3 mm as a tag-based estimate is (so consecutive pairs share
// that error, as they do in a recording), and 11 ground clouds of 1350 points with 0.65 mm of
// depth noise: the levels the pipeline shows on the recording.
struct RecordedDrive {
  SyntheticProblem problem;
  Vector6d truth;
  Vector6d nominal;
  Vector6dBounds bounds;  // as the program derives them: 10 deg, 0.03 m
};

Vector6d vector_of(const simulation::Vector6& values) {
  return Eigen::Map<const Vector6d>(values.data());
}

RecordedDrive recorded_drive(bool noisy) {
  const simulation::SimulationOptions sim;
  RecordedDrive drive;
  drive.truth = vector_of(sim.extrinsic);
  drive.nominal = vector_of(sim.nominal_extrinsic);
  for (int i = 0; i < 6; ++i) {
    const double half_width = i < 3 ? 10.0 * M_PI / 180.0 : 0.03;
    drive.bounds[i] = {drive.nominal(i) - half_width, drive.nominal(i) + half_width};
  }
  SyntheticProblemOptions clouds;
  clouds.true_vec6 = drive.truth;
  clouds.num_motions = 0;
  clouds.num_clouds = 11;
  clouds.points_per_cloud = 1350;
  clouds.ground_noise = noisy ? 0.00065 : 0.0;
  drive.problem = make_synthetic_problem(clouds);

  const auto trajectory = simulation::Trajectory::of_kind(sim.trajectory, sim.duration);
  std::vector<double> times;
  for (double t = 0.25; t <= sim.duration - 0.25; t += 1.0 / sim.camera_rate) times.push_back(t);
  const simulation::OdometryError odometry_error =
      noisy ? sim.noise.odometry : simulation::NoiseSettings::exact().odometry;
  const auto odometry = simulation::OdometrySimulator(trajectory, odometry_error, 7).run(times);
  std::mt19937 random(7);
  std::normal_distribution<double> normal(0.0, noisy ? 3e-4 : 0.0);
  std::vector<Eigen::Matrix4d> world_from_camera;
  for (std::size_t k = 0; k < times.size(); ++k) {
    Eigen::Matrix4d error = Eigen::Matrix4d::Identity();
    const Eigen::Vector3d tilt(normal(random), normal(random), normal(random));
    if (tilt.norm() > 0.0) {
      error.block<3, 3>(0, 0) = Eigen::AngleAxisd(tilt.norm(), tilt.normalized()).matrix();
    }
    error.block<3, 1>(0, 3) << normal(random), normal(random), normal(random);
    world_from_camera.push_back(trajectory.state(times[k]).world_from_base().matrix() *
                                drive.problem.X * error);
  }
  const auto odom_pose = [](const simulation::OdometrySample& sample) {
    Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
    pose.block<3, 3>(0, 0) = Eigen::AngleAxisd(sample.yaw, Eigen::Vector3d::UnitZ()).matrix();
    pose.block<3, 1>(0, 3) << sample.x, sample.y, 0.0;
    return pose;
  };
  for (std::size_t k = 0; k + 1 < times.size(); ++k) {
    drive.problem.A_list.push_back(odom_pose(odometry[k]).inverse() * odom_pose(odometry[k + 1]));
    drive.problem.B_list.push_back(world_from_camera[k].inverse() * world_from_camera[k + 1]);
  }
  return drive;
}

// The program's weights and start; tight is what a patient user would set.
CalibOptimizerConfig program_config(double ftol, double gtol) {
  CalibOptimizerConfig cfg;
  cfg.disp = false;
  cfg.w_axxb = cfg.w_normal = cfg.w_z = 30.0;
  cfg.ftol = ftol;
  cfg.gtol = gtol;
  return cfg;
}

// Yaw is held only by the direction of the camera's translations: 3 degrees of it are worth a
// few 1e-7 of an objective near 1e-3, which the minimiser's own decrease test (absolute below
// 1) took for converged. The default tolerances must now reach what tight ones reach.
TEST(VarnholtOptimizerRunTest, DefaultTolerancesReachTheTightMinimumOnARecordedDrive) {
  for (const bool noisy : {true, false}) {
    SCOPED_TRACE(noisy ? "default noise" : "exact data");
    const RecordedDrive drive = recorded_drive(noisy);
    TempDir dir;
    write_ground_clouds(drive.problem.camera_ground_points, dir.path());
    VarnholtOptimizer optimizer({drive.problem.A_list.begin(), drive.problem.A_list.end()},
                                {drive.problem.B_list.begin(), drive.problem.B_list.end()},
                                dir.path(), drive.bounds, drive.nominal);
    const OptimizationSummary summary_x = optimizer.optimize(program_config(1e-8, 1e-8));
    const Vector6d& x = summary_x.vec6;
    const MinimizeResult& result = summary_x.minimization;
    const OptimizationSummary summary_x_tight = optimizer.optimize(program_config(1e-15, 1e-12));
    const Vector6d& x_tight = summary_x_tight.vec6;
    const MinimizeResult& tight = summary_x_tight.minimization;
    EXPECT_TRUE(result.success) << result.message;
    EXPECT_TRUE(tight.success) << tight.message;
    const Vector6d difference = x - x_tight;
    EXPECT_LT(difference.head<3>().cwiseAbs().maxCoeff(), 0.01 * M_PI / 180.0);
    EXPECT_LT(difference.tail<3>().cwiseAbs().maxCoeff(), 1e-4);
    // Yaw left its start, 3 degrees away, for the truth.
    EXPECT_NEAR(x(2), drive.truth(2), 0.5 * M_PI / 180.0);
  }
}

TEST(VarnholtOptimizerRunTest, IterationLimitIsLoggedAsAnErrorAndStillReturns) {
  const SyntheticProblem problem = make_synthetic_problem(SyntheticProblemOptions());
  const Vector6d start = perturbed(SyntheticProblemOptions().true_vec6);
  auto optimizer = make(problem, start);
  CalibOptimizerConfig cfg = tight_config();
  cfg.maxiter = 2;
  LogCapture log(kLogger);
  const OptimizationSummary summary_x = optimizer.optimize(cfg);
  const Vector6d& x = summary_x.vec6;
  const MinimizeResult& result = summary_x.minimization;
  EXPECT_FALSE(result.success);
  EXPECT_EQ(result.nit, 2);
  EXPECT_THAT(log.messages(spdlog::level::info), Contains("Optimization successful: False"));
  EXPECT_THAT(log.messages(spdlog::level::err),
              ElementsAre("Optimization failed: STOP: TOTAL NO. of ITERATIONS REACHED LIMIT"));
  EXPECT_NE(x, start);

  // A given start point replaces the stored one for that run only.
  const Vector6d truth = SyntheticProblemOptions().true_vec6;
  const OptimizationSummary summary_at_truth = optimizer.optimize(tight_config(), truth);
  const Vector6d& at_truth = summary_at_truth.vec6;
  EXPECT_THAT(at_truth, EigenNear(truth, 1e-7));
  EXPECT_EQ(optimizer.initial_vec6(), start);

  cfg.method = "Nelder-Mead";
  EXPECT_THROW(optimizer.optimize(cfg), std::invalid_argument);
}

// A ground point that is not a number made every term NaN; the minimiser then stopped at its
// start point, which was logged and validated as a result.
TEST(VarnholtOptimizerRunTest, GroundPointsThatAreNotFiniteAreDroppedWithAWarning) {
  SyntheticProblem problem = make_synthetic_problem(SyntheticProblemOptions());
  const Vector6d truth = SyntheticProblemOptions().true_vec6;
  const Eigen::Index points = problem.camera_ground_points[1].rows();
  problem.camera_ground_points[1](3, 0) = std::numeric_limits<double>::quiet_NaN();
  problem.camera_ground_points[1](5, 2) = std::numeric_limits<double>::infinity();
  LogCapture log(kLogger);
  auto optimizer = make(problem, perturbed(truth));
  Eigen::Index kept = 0;
  for (const Points3d& cloud : optimizer.camera_ground_points()) {
    EXPECT_TRUE(cloud.allFinite());
    kept += cloud.rows();
  }
  EXPECT_EQ(kept, 4 * points - 2);
  const auto warnings = log.messages(spdlog::level::warn);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_THAT(warnings[0], HasSubstr(fmt::format("Dropped 2 of {} points of ", points)));
  EXPECT_THAT(warnings[0], HasSubstr("ground_1.ply: not finite numbers"));
  const OptimizationSummary summary_x = optimizer.optimize(tight_config());
  const Vector6d& x = summary_x.vec6;
  const MinimizeResult& result = summary_x.minimization;
  EXPECT_TRUE(std::isfinite(result.fun));
  EXPECT_THAT(x, EigenNear(truth, 1e-5));
}

TEST(VarnholtOptimizerRunTest, AnObjectiveThatIsNotFiniteFailsTheRunBeforeAnyResult) {
  SyntheticProblem problem = make_synthetic_problem(SyntheticProblemOptions());
  problem.B_list[2](0, 1) = std::numeric_limits<double>::quiet_NaN();
  auto optimizer = make(problem, perturbed(SyntheticProblemOptions().true_vec6));
  LogCapture log(kLogger);
  try {
    optimizer.optimize(tight_config());
    FAIL() << "expected an error";
  } catch (const std::runtime_error& error) {
    EXPECT_THAT(error.what(), HasSubstr("The objective is not a finite number (nan): the AX=XB "
                                        "term (the motion pairs) is nan"));
    EXPECT_THAT(error.what(), Not(HasSubstr("ground")));
  }
  const auto lines = log.messages();
  EXPECT_THAT(lines, Not(Contains("✓ Result validation passed")));
  EXPECT_THAT(lines, Not(Contains(HasSubstr("Objective function value"))));
}

TEST(VarnholtOptimizerRunTest, GradientGradesUseStrictThresholds) {
  EXPECT_EQ(gradient_grade(9.99e-7), "Excellent");
  EXPECT_EQ(gradient_grade(1e-6), "Good");
  EXPECT_EQ(gradient_grade(1e-5), "Qualified");
  EXPECT_EQ(gradient_grade(1e-4), "Marginal");
  EXPECT_EQ(gradient_grade(1e-3), "Poor");
  EXPECT_EQ(gradient_grade(std::nan("")), "Poor");
}

class VarnholtOptimizerReportTest : public ::testing::Test {
 protected:
  VarnholtOptimizerReportTest() : optimizer_(make(problem_, Vector6d::Zero())) {}

  const SyntheticProblemOptions options_;
  const SyntheticProblem problem_ = make_synthetic_problem(options_);
  VarnholtOptimizer optimizer_;
};

TEST_F(VarnholtOptimizerReportTest, ValidationOfNonFiniteVectorsIsSilent) {
  LogCapture log(kLogger);
  Vector6d vec6 = Vector6d::Zero();
  vec6(4) = std::numeric_limits<double>::quiet_NaN();
  const ValidationResult record = optimizer_.validate_optimization_result(vec6);
  EXPECT_FALSE(record.valid);
  EXPECT_THAT(record.warnings, ElementsAre("Result contains NaN or infinite values"));
  EXPECT_FALSE(record.rotation_norm || record.translation_norm || record.transformation_matrix);
  vec6(4) = std::numeric_limits<double>::infinity();
  EXPECT_FALSE(optimizer_.validate_optimization_result(vec6).valid);
  EXPECT_TRUE(log.messages().empty());
}

TEST_F(VarnholtOptimizerReportTest, LargeValuesWarnButStayValid) {
  LogCapture log(kLogger);
  Vector6d far;
  far << 0, 0, 0, 2, 2, 2;
  const ValidationResult record = optimizer_.validate_optimization_result(far);
  EXPECT_TRUE(record.valid);
  EXPECT_THAT(record.warnings, ElementsAre("Large translation magnitude: 3.464 m"));
  EXPECT_NEAR(*record.translation_norm, std::sqrt(12.0), 1e-15);
  EXPECT_EQ(*record.rotation_norm, 0.0);
  EXPECT_THAT(*record.transformation_matrix,
              EigenNear(TransformUtils::vector6_to_transform_matrix(far), 0.0));
  EXPECT_THAT(log.messages(),
              ElementsAre("⚠ Validation Warnings:", "  - Large translation magnitude: 3.464 m"));

  Vector6d turned;
  turned << 3.2, 0, 0, 0.1, 0, 0.3;
  EXPECT_THAT(optimizer_.validate_optimization_result(turned).warnings,
              ElementsAre("Large rotation magnitude: 3.200 rad"));

  LogCapture quiet(kLogger);
  EXPECT_TRUE(optimizer_.validate_optimization_result(options_.true_vec6).warnings.empty());
  EXPECT_THAT(quiet.messages(), ElementsAre("✓ Result validation passed"));
}

TEST_F(VarnholtOptimizerReportTest, AccuracyIsZeroAtTheTruth) {
  LogCapture log(kLogger);
  const AccuracyMetrics metrics = optimizer_.compute_calibration_accuracy(options_.true_vec6);
  EXPECT_LT(metrics.axxb_rotation_rmse, 1e-14);
  EXPECT_LT(metrics.axxb_translation_rmse, 1e-14);
  EXPECT_LT(metrics.ground_normal_rmse, 1e-7);  // arccos near 1 amplifies rounding
  EXPECT_LT(metrics.ground_z_rmse, 1e-14);
  EXPECT_EQ(metrics.num_valid_ground_planes, 4);
  const auto lines = log.messages(spdlog::level::info);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], "Accuracy Metrics:");
  EXPECT_EQ(lines[1], "  AX=XB Rotation RMSE: 0.000000");
  EXPECT_EQ(lines[4], "  Ground Z RMSE: 0.000000 (m)");
  EXPECT_EQ(lines[5], "  Valid Ground Planes: 4");
}

// Points3d of a level patch in the base frame of `vec6`, given in camera coordinates.
Points3d patch_seen_by(const Vector6d& vec6, int count, double tilt) {
  const Eigen::Matrix4d X = TransformUtils::vector6_to_transform_matrix(vec6);
  Points3d points(count, 3);
  for (int i = 0; i < count; ++i) {
    const double x = 0.5 + 0.1 * (i % 4);
    const double y = 0.1 * (i / 4);
    const Eigen::Vector3d in_base(x, y, std::tan(tilt) * x);
    points.row(i) = (X.block<3, 3>(0, 0).transpose() * (in_base - X.block<3, 1>(0, 3))).transpose();
  }
  return points;
}

TEST(VarnholtOptimizerAccuracyTest, SmallPlanesAndMissingPairsAreReportedAsInfAndNan) {
  const Vector6d vec6 = Vector6d::Zero();
  SyntheticProblem problem;  // no motion pairs
  problem.camera_ground_points = {patch_seen_by(vec6, 9, 0.0), patch_seen_by(vec6, 9, 0.0),
                                  patch_seen_by(vec6, 9, 0.0)};
  VarnholtOptimizer optimizer = make(problem, vec6);
  LogCapture log(kLogger);
  const AccuracyMetrics metrics = optimizer.compute_calibration_accuracy(vec6);
  EXPECT_TRUE(std::isnan(metrics.axxb_rotation_rmse));
  EXPECT_TRUE(std::isnan(metrics.axxb_translation_rmse));
  EXPECT_EQ(metrics.ground_normal_rmse, std::numeric_limits<double>::infinity());
  EXPECT_EQ(metrics.ground_z_rmse, 0.0);
  EXPECT_EQ(metrics.num_valid_ground_planes, 0);
  EXPECT_THAT(
      log.messages(),
      ElementsAre("Accuracy Metrics:", "  AX=XB Rotation RMSE: nan",
                  "  AX=XB Translation RMSE: nan", "  Ground Normal RMSE: inf (rad), deg=inf(deg)",
                  "  Ground Z RMSE: 0.000000 (m)", "  Valid Ground Planes: 0"));
}

TEST(VarnholtOptimizerAccuracyTest, TiltIsAPlainMeanOverUsablePlanes) {
  const Vector6d vec6 = (Vector6d() << 0.01, 0.3, -0.1, 0.2, 0.0, 0.5).finished();
  SyntheticProblem problem;
  problem.camera_ground_points = {patch_seen_by(vec6, 12, 0.01), patch_seen_by(vec6, 16, 0.01),
                                  patch_seen_by(vec6, 9, 0.3)};  // too small to count
  VarnholtOptimizer optimizer = make(problem, vec6);
  LogCapture log(kLogger);
  const AccuracyMetrics metrics = optimizer.compute_calibration_accuracy(vec6);
  EXPECT_NEAR(metrics.ground_normal_rmse, 0.01, 1e-12);
  EXPECT_EQ(metrics.num_valid_ground_planes, 2);
  EXPECT_THAT(log.messages(), Contains("  Ground Normal RMSE: 0.010000 (rad), deg=0.572958(deg)"));
}

}  // namespace
}  // namespace orvalt::calibration
