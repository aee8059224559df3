#include "orvalt/calibration/pellitor/observability.hpp"

#include <cmath>
#include <random>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <Eigen/Geometry>

#include "orvalt/calibration/pellitor/synthetic_problem.hpp"
#include "orvalt/calibration/pellitor/varnholt_optimizer.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::calibration {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::SizeIs;
using testing::TempDir;

const Vector6dBounds kBounds = {
    {{-0.5, 0.5}, {-0.5, 0.8}, {-0.5, 0.5}, {-1.0, 1.0}, {-1.0, 1.0}, {0.0, 2.0}}};

VarnholtOptimizer make(const SyntheticProblem& problem, const Vector6d& init,
                       const Vector6dBounds& bounds = kBounds) {
  TempDir dir;
  write_ground_clouds(problem.camera_ground_points, dir.path());
  return VarnholtOptimizer(problem.A_list, problem.B_list, dir.path(), bounds, init);
}

CalibOptimizerConfig quiet(double w_xy) {
  CalibOptimizerConfig cfg;
  cfg.disp = false;
  cfg.w_xy = w_xy;
  return cfg;
}

// Millimetre and milliradian noise, as a tag-based motion estimate and a depth camera give.
SyntheticProblemOptions noisy(unsigned seed) {
  SyntheticProblemOptions options;
  options.rotation_noise = 1e-3;
  options.translation_noise = 1e-3;
  options.ground_noise = 1e-3;
  options.seed = seed;
  return options;
}

ObservabilityReport analysed(const SyntheticProblem& problem,
                             const SyntheticProblemOptions& options, double w_xy,
                             Vector6d* result = nullptr) {
  Vector6d start = options.true_vec6;
  start(3) += 0.01;  // the measured mounting a user starts from is a little off
  VarnholtOptimizer optimizer = make(problem, start);
  const CalibOptimizerConfig cfg = quiet(w_xy);
  const Vector6d x = optimizer.optimize(cfg).vec6;
  if (result) *result = x;
  return analyze_observability(optimizer, cfg, x);
}

ObservabilityReport analysed(const SyntheticProblemOptions& options, double w_xy,
                             Vector6d* result = nullptr) {
  return analysed(make_synthetic_problem(options), options, w_xy, result);
}

// Floor points of a strip from 1.00 to 1.08 m ahead of the base, 0.8 m wide, with 1 mm of height
// noise, in the coordinates of the camera at X.
Points3d floor_strip(const Eigen::Matrix4d& X, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> ahead(1.0, 1.08), across(-0.4, 0.4);
  std::normal_distribution<double> height(0.0, 1e-3);
  const Eigen::Matrix4d camera_from_base = X.inverse();
  Points3d points(300, 3);
  for (Eigen::Index p = 0; p < points.rows(); ++p) {
    const Eigen::Vector4d in_base(ahead(random), across(random), height(random), 1.0);
    points.row(p) = (camera_from_base * in_base).head<3>().transpose();
  }
  return points;
}

// Turns about the base's vertical axis alone say nothing about the camera's height: that is
// the ground's to tell, and turning still fixes the horizontal offset.
TEST(ObservabilityTest, PlanarMotionLeavesTheHeightToTheGround) {
  SyntheticProblemOptions options = noisy(3);
  options.planar = true;
  const ObservabilityReport report = analysed(options, 0.0);
  const auto& tz = report.parameters[5];
  EXPECT_EQ(tz.name, "tz");
  EXPECT_EQ(tz.determination, Determination::kData);
  EXPECT_EQ(tz.determined_by, "ground height");
  EXPECT_NEAR(tz.curvature[0], 0.0, 1e-9);  // AX=XB
  EXPECT_EQ(report.parameters[2].determined_by, "AX=XB");
  EXPECT_EQ(report.parameters[3].determination, Determination::kData);
  EXPECT_EQ(report.parameters[3].determined_by, "AX=XB");
  for (const auto& finding : report.parameters) {
    EXPECT_TRUE(finding.sigma.has_value()) << finding.name;
    EXPECT_TRUE(finding.message.empty()) << finding.message;
  }
}

// Driving without turning cannot tell where on the base the camera sits; without the prior
// nothing holds tx and ty.
TEST(ObservabilityTest, NoTurningLeavesTheHorizontalOffsetUndetermined) {
  SyntheticProblemOptions options = noisy(4);
  options.planar = true;
  options.max_rotation = 0.0;
  const ObservabilityReport report = analysed(options, 0.0);
  for (const int i : {3, 4}) {
    const auto& finding = report.parameters[i];
    EXPECT_EQ(finding.determination, Determination::kUndetermined) << finding.name;
    EXPECT_FALSE(finding.sigma.has_value());
    EXPECT_THAT(finding.message,
                HasSubstr("the recording does not determine " + finding.name + "; the result "));
    EXPECT_THAT(finding.message, HasSubstr("record more turning, or measure it"));
  }
  EXPECT_EQ(report.parameters[5].determination, Determination::kData);
  EXPECT_THAT(unusable_parameters(report), ElementsAre("tx is undetermined", "ty is undetermined"));
  EXPECT_EQ(usability_verdict(report),
            "The result is not usable as it stands: tx is undetermined, ty is undetermined; see "
            "\"What the recording determined\" for what to do");
}

// Small turns, as between camera frames at 15 Hz, weigh a thousand times less in tx and ty
// than the default prior: the result is the user's initial value, and the report says so.
TEST(ObservabilityTest, ThePriorHoldsWhatSmallTurnsCannot) {
  SyntheticProblemOptions options = noisy(5);
  options.planar = true;
  options.max_rotation = 0.03;
  options.true_vec6(3) = 0.0;  // the initial tx is then 0.010 m
  Vector6d x;
  const ObservabilityReport report = analysed(options, 1.0, &x);
  const auto& tx = report.parameters[3];
  EXPECT_EQ(tx.determination, Determination::kPrior);
  EXPECT_GT(tx.curvature[3], 10.0 * (tx.curvature[0] + tx.curvature[1] + tx.curvature[2]));
  // Turning more would not help: the prior's curvature is its weight, whatever was recorded.
  EXPECT_EQ(tx.message,
            "the recording does not determine tx; the result is your initial value 0.010 m; no "
            "recording frees it at --w_xy 1: measure it and give it in --init_extrinsics, or let "
            "the motions decide with --w_xy 0");
  EXPECT_NEAR(x(3), 0.010, 1e-4);
  EXPECT_EQ(report.parameters[4].determination, Determination::kPrior);
  EXPECT_EQ(report.parameters[2].determination, Determination::kData);
  // The prior holding x and y is what the defaults do: the result stays usable.
  EXPECT_THAT(unusable_parameters(report), ::testing::IsEmpty());
  EXPECT_EQ(usability_verdict(report), "");
}

// Over a strip of floor 8 cm deep, lowering the camera lifts the floor almost as tilting it
// does: the height term's curvature in pitch is large, but nearly all of it goes once the
// height may follow. Pitch is then the motions' to tell, as their rotation axis is vertical.
TEST(ObservabilityTest, ATermIsCreditedOnlyWithWhatItHoldsWithTheOthersFree) {
  SyntheticProblemOptions options = noisy(8);
  options.planar = true;
  SyntheticProblem problem = make_synthetic_problem(options);
  for (std::size_t c = 0; c < problem.camera_ground_points.size(); ++c) {
    problem.camera_ground_points[c] = floor_strip(problem.X, 10 + static_cast<unsigned>(c));
  }
  const ObservabilityReport report = analysed(problem, options, 0.0);
  const ParameterFinding& pitch = report.parameters[1];
  ASSERT_EQ(pitch.determination, Determination::kData);
  EXPECT_GT(pitch.curvature[2], pitch.curvature[0]);  // ground height beats AX=XB alone
  EXPECT_LT(pitch.free_curvature[2], 0.1 * pitch.curvature[2]);
  EXPECT_LT(pitch.free_curvature[2], pitch.free_curvature[0]);
  EXPECT_EQ(pitch.determined_by, "AX=XB");
  // The height has nothing to share with under planar motion: it stays the ground's.
  const ParameterFinding& height = report.parameters[5];
  EXPECT_EQ(height.determined_by, "ground height");
  EXPECT_NEAR(height.free_curvature[0], 0.0, 1e-6);
  EXPECT_THAT(observability_lines(report)[2], HasSubstr("determined by AX=XB (curvature: AX=XB"));
}

// Over many recordings with known noise the reported 1-sigma matches the spread of the
// errors. Twenty draws pin the spread to about 16 %; the bounds allow for that.
TEST(ObservabilityTest, SigmasMatchTheSpreadOfErrorsOverSeeds) {
  constexpr int kSeeds = 20;
  Vector6d squared_error = Vector6d::Zero();
  Vector6d squared_sigma = Vector6d::Zero();
  for (int seed = 1; seed <= kSeeds; ++seed) {
    const SyntheticProblemOptions options = noisy(100 + seed);
    Vector6d x;
    const ObservabilityReport report = analysed(options, 0.0, &x);
    for (int i = 0; i < 6; ++i) {
      ASSERT_TRUE(report.parameters[i].sigma) << report.parameters[i].name;
      squared_error(i) += std::pow(x(i) - options.true_vec6(i), 2);
      squared_sigma(i) += std::pow(*report.parameters[i].sigma, 2);
    }
  }
  for (int i = 0; i < 6; ++i) {
    const double ratio = std::sqrt(squared_error(i) / squared_sigma(i));
    EXPECT_GT(ratio, 0.6) << i;
    EXPECT_LT(ratio, 1.6) << i;
  }
}

TEST(ObservabilityTest, EqualBoundsAreReportedAsFixed) {
  Vector6dBounds bounds = kBounds;
  const Vector6d truth = SyntheticProblemOptions().true_vec6;
  bounds[0] = {truth(0), truth(0)};
  VarnholtOptimizer optimizer = make(make_synthetic_problem(noisy(6)), truth, bounds);
  const CalibOptimizerConfig cfg = quiet(0.0);
  const ObservabilityReport report =
      analyze_observability(optimizer, cfg, optimizer.optimize(cfg).vec6);
  EXPECT_EQ(report.parameters[0].determination, Determination::kBounds);
  EXPECT_EQ(report.parameters[1].determination, Determination::kData);
  const auto lines = observability_lines(report);
  ASSERT_THAT(lines, SizeIs(8));
  EXPECT_EQ(lines[0], "What the recording determined:");
  EXPECT_THAT(lines[1], HasSubstr("fixed: rx was not searched"));
  EXPECT_THAT(lines[2], HasSubstr("deg ± "));
  EXPECT_THAT(lines[6], HasSubstr("mm, determined by ground height"));
}

// The data pull rz and tz past their ranges: the bounds decide them. The data do determine
// both, so the advice is to widen the search, not to record anything else.
TEST(ObservabilityTest, AResultOnTheEdgeOfItsRangeIsAtItsBound) {
  Vector6dBounds bounds = kBounds;
  const Vector6d truth = SyntheticProblemOptions().true_vec6;
  bounds[2] = {truth(2) + 0.05, truth(2) + 0.5};
  bounds[5] = {truth(5) - 0.2, truth(5) - 0.01};
  Vector6d start = truth;
  start(2) += 0.2;
  start(5) -= 0.1;
  VarnholtOptimizer optimizer = make(make_synthetic_problem(noisy(7)), start, bounds);
  const CalibOptimizerConfig cfg = quiet(0.0);
  const Vector6d x = optimizer.optimize(cfg).vec6;
  ASSERT_DOUBLE_EQ(x(2), bounds[2].first);
  ASSERT_DOUBLE_EQ(x(5), bounds[5].second);
  const ObservabilityReport report = analyze_observability(optimizer, cfg, x);
  const ParameterFinding& yaw = report.parameters[2];
  EXPECT_EQ(yaw.determination, Determination::kAtBound);
  EXPECT_EQ(determination_name(yaw.determination), "at_bound");
  EXPECT_FALSE(yaw.sigma.has_value());
  EXPECT_THAT(yaw.message, HasSubstr(fmt::format("rz stopped at its search bound {:.3f} deg",
                                                 bounds[2].first * 180.0 / M_PI)));
  EXPECT_THAT(yaw.message, HasSubstr("widen --extrinsics_rotate_offset or correct "
                                     "--init_extrinsics"));
  EXPECT_THAT(yaw.message, Not(HasSubstr("does not determine")));
  EXPECT_THAT(report.parameters[5].message,
              HasSubstr("widen --extrinsics_translate_offset or correct --init_extrinsics"));
  EXPECT_EQ(report.parameters[0].determination, Determination::kData);
  EXPECT_THAT(observability_lines(report)[3], HasSubstr("at its bound: rz stopped"));
  EXPECT_THAT(unusable_parameters(report),
              ElementsAre("rz stopped at its search bound", "tz stopped at its search bound"));
  EXPECT_THAT(usability_verdict(report),
              HasSubstr("The result is not usable as it stands: rz stopped at its search bound, "
                        "tz stopped at its search bound"));
}

Eigen::Matrix4d turn_and_move(double yaw_degrees, double forward) {
  Eigen::Matrix4d A = Eigen::Matrix4d::Identity();
  A.block<3, 3>(0, 0) =
      Eigen::AngleAxisd(yaw_degrees * M_PI / 180.0, Eigen::Vector3d::UnitZ()).matrix();
  A(0, 3) = forward;
  return A;
}

TEST(MotionCoverageTest, SpanIsTheRangeOfTheAccumulatedHeading) {
  // 12 degrees left in six steps, then 30 right: the heading ranges over [-18, 12].
  std::vector<Eigen::Matrix4d> motions(6, turn_and_move(2.0, 0.01));
  for (int i = 0; i < 15; ++i) motions.push_back(turn_and_move(-2.0, 0.02));
  const MotionCoverage coverage = motion_coverage(motions, 4);
  EXPECT_NEAR(coverage.yaw_span, 30.0 * M_PI / 180.0, 1e-12);
  EXPECT_NEAR(coverage.total_distance, 0.36, 1e-12);
  EXPECT_EQ(coverage.accepted_pairs, 21);
  EXPECT_EQ(coverage.ground_clouds, 4);
  EXPECT_TRUE(coverage.warnings.empty());

  motions.pop_back();  // 20 pairs, 28 degrees
  const MotionCoverage short_turn = motion_coverage(motions, 4);
  ASSERT_THAT(short_turn.warnings, SizeIs(1));
  EXPECT_THAT(short_turn.warnings[0], HasSubstr("turned through only 28.0 degrees"));

  motions.pop_back();  // 19 pairs
  EXPECT_THAT(motion_coverage(motions, 4).warnings[1],
              HasSubstr("Only 19 motion pairs were accepted"));
}

}  // namespace
}  // namespace orvalt::calibration
