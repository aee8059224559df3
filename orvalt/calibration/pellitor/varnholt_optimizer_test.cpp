#include "orvalt/calibration/pellitor/varnholt_optimizer.hpp"

#include <cmath>
#include <fstream>
#include <functional>
#include <random>
#include <type_traits>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <Eigen/Geometry>

#include "orvalt/calibration/pellitor/synthetic_problem.hpp"
#include "orvalt/testing/eigen_matchers.hpp"
#include "orvalt/testing/log_capture.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::calibration {
namespace {

using ::testing::ElementsAre;
using testing::LogCapture;
using testing::TempDir;

const Vector6dBounds kBounds = {{{-0.5, 0.5}, {-0.5, 0.8}, {-0.5, 0.5}, {-1, 1}, {-1, 1}, {0, 2}}};

Eigen::VectorXd vector_of(std::initializer_list<double> values) {
  Eigen::VectorXd vector(static_cast<Eigen::Index>(values.size()));
  std::copy(values.begin(), values.end(), vector.data());
  return vector;
}

Eigen::Matrix4d translation(double x, double y, double z) {
  Eigen::Matrix4d T = Eigen::Matrix4d::Identity();
  T.block<3, 1>(0, 3) << x, y, z;
  return T;
}

Eigen::Matrix4d rotation_about_z(double angle) {
  Eigen::Matrix4d T = Eigen::Matrix4d::Identity();
  T.block<3, 3>(0, 0) = Eigen::AngleAxisd(angle, Eigen::Vector3d::UnitZ()).toRotationMatrix();
  return T;
}

// A regular patch of the plane z = height: rows x cols points 0.1 m apart.
Points3d grid(double height, int rows = 4, int cols = 5) {
  Points3d points(rows * cols, 3);
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) points.row(r * cols + c) << 0.5 + 0.1 * c, 0.1 * r, height;
  }
  return points;
}

// The inputs of a valid optimizer, which each check below breaks in one place.
struct Inputs {
  std::vector<Eigen::Matrix4d> odom = {translation(0.1, 0, 0), rotation_about_z(0.2)};
  std::vector<Eigen::Matrix4d> camera = {translation(0.1, 0, 0), rotation_about_z(0.2)};
  std::vector<Points3d> clouds = {grid(0.0), grid(0.0), grid(0.0)};
  Vector6dBounds bounds = kBounds;
  Vector6d init = (Vector6d() << 0, 0, 0, 0, 0, 0.5).finished();
};

VarnholtOptimizer make(const Inputs& inputs, const std::function<void(TempDir&)>& extra = {}) {
  TempDir dir;
  write_ground_clouds(inputs.clouds, dir.path());
  if (extra) extra(dir);
  return VarnholtOptimizer(inputs.odom, inputs.camera, dir.path(), inputs.bounds, inputs.init);
}

std::string error_of(const Inputs& inputs, const std::function<void(TempDir&)>& extra = {}) {
  try {
    make(inputs, extra);
  } catch (const std::invalid_argument& error) {
    return error.what();
  }
  return "no std::invalid_argument";
}

TEST(VarnholtOptimizerConstructionTest, ValidInputsGiveAReadyOptimizer) {
  Inputs inputs;
  const VarnholtOptimizer optimizer = make(inputs);
  EXPECT_EQ(optimizer.iter(), 0);
  EXPECT_EQ(optimizer.num_motions(), 2);
  EXPECT_EQ(optimizer.A_list()[1], inputs.odom[1]);
  EXPECT_EQ(optimizer.camera_ground_points().size(), 3u);
  EXPECT_EQ(optimizer.camera_ground_points()[0].rows(), 20);
  EXPECT_EQ(optimizer.extrinsic_bound()[5], std::make_pair(0.0, 2.0));
  EXPECT_EQ(optimizer.initial_vec6(), inputs.init);

  // Empty motion lists are accepted.
  inputs.odom.clear();
  inputs.camera.clear();
  EXPECT_EQ(make(inputs).num_motions(), 0);
}

TEST(VarnholtOptimizerConstructionTest, MotionListsMustMatch) {
  Inputs inputs;
  inputs.odom.pop_back();
  inputs.camera[0] = Eigen::Matrix4d::Zero();  // also bad, but checked later
  EXPECT_EQ(error_of(inputs), "A and B motion pairs must match");
}

// Sizes are what the types take: 4x4 motions, six initial values and six (low, high) bounds.
// Dynamic matrices and lists of lists, which would need run-time size checks, do not convert.
TEST(VarnholtOptimizerConstructionTest, SizesAreFixedByTheTypes) {
  using Dynamic = std::vector<Eigen::MatrixXd>;
  using Fixed = std::vector<Eigen::Matrix4d>;
  using Lists = std::vector<std::vector<double>>;
  using Path = std::filesystem::path;
  static_assert(!std::is_constructible_v<VarnholtOptimizer, Dynamic, Dynamic, Path, Vector6dBounds,
                                         Vector6d>);
  static_assert(!std::is_constructible_v<VarnholtOptimizer, Fixed, Fixed, Path, Lists, Vector6d>);
  static_assert(
      std::is_constructible_v<VarnholtOptimizer, Fixed, Fixed, Path, Vector6dBounds, Vector6d>);
  EXPECT_EQ(error_of(Inputs()), "no std::invalid_argument");
}

TEST(VarnholtOptimizerConstructionTest, CameraMatricesMustBeHomogeneous) {
  Inputs inputs;
  inputs.camera[1](3, 0) = 0.5;
  inputs.odom[0](3, 0) = 0.5;  // camera matrices are checked first
  EXPECT_EQ(error_of(inputs), "Camera matrix 1 must be a valid homogeneous transformation matrix");

  inputs = Inputs();
  inputs.camera[1](3, 3) = 1.000005;  // within the tolerance
  EXPECT_EQ(error_of(inputs), "no std::invalid_argument");
  inputs.camera[1](3, 2) = 1e-7;
  EXPECT_EQ(error_of(inputs), "Camera matrix 1 must be a valid homogeneous transformation matrix");
  inputs.camera[1](3, 2) = std::nan("");
  EXPECT_EQ(error_of(inputs), "Camera matrix 1 must be a valid homogeneous transformation matrix");
}

TEST(VarnholtOptimizerConstructionTest, OdomMatricesMustBeHomogeneous) {
  Inputs inputs;
  inputs.odom[1](3, 3) = 1.00002;
  inputs.init(0) = 4.0;  // checked later
  EXPECT_EQ(error_of(inputs), "Odom matrix 1 must be a valid homogeneous transformation matrix");
}

TEST(VarnholtOptimizerConstructionTest, RotationsMustLieWithinPi) {
  Inputs inputs;
  inputs.bounds[0] = {-4.0, 4.0};
  inputs.bounds[1] = {0.3, 0.2};  // checked later
  inputs.init(0) = 3.1416;
  EXPECT_EQ(error_of(inputs),
            "Rotation angles must be in [-π, π] 内！\nrx=3.1416, ry=0.0000, rz=0.0000");
  inputs.init(0) = 0.0;
  inputs.init(2) = -3.2;
  inputs.bounds[2] = {-4.0, 4.0};
  EXPECT_EQ(error_of(inputs),
            "Rotation angles must be in [-π, π] 内！\nrx=0.0000, ry=0.0000, rz=-3.2000");
  // Exactly pi passes this check (and fails the next one, on the bounds).
  inputs.init(2) = M_PI;
  EXPECT_THAT(error_of(inputs), ::testing::StartsWith("extrinsic_bound[1]"));
}

TEST(VarnholtOptimizerConstructionTest, EachBoundIsAnOrderedPair) {
  Inputs inputs;
  inputs.bounds[3] = {0.2, 0.1};
  EXPECT_EQ(error_of(inputs),
            "extrinsic_bound[3] must be a tuple (min, max), got low=0.2000, high=0.1000");
  // Equal bounds pin a parameter.
  inputs.bounds[3] = {0.1, 0.1};
  inputs.init(3) = 0.1;
  EXPECT_EQ(error_of(inputs), "no std::invalid_argument");
}

TEST(VarnholtOptimizerConstructionTest, InitialVectorMustLieWithinItsBounds) {
  Inputs inputs;
  inputs.init(4) = -1.5;
  inputs.init(5) = 3.0;
  EXPECT_EQ(error_of(inputs),
            "Initial value out of bounds! Parameter[4] = -1.5000, Bound: [-1.0000, 1.0000]");
  inputs.init(4) = 0.0;
  inputs.init(5) = 2.0;  // the bounds are inclusive
  EXPECT_EQ(error_of(inputs), "no std::invalid_argument");
}

TEST(VarnholtOptimizerConstructionTest, GroundDirectoryMustExist) {
  const Inputs inputs;
  const std::string missing = "/nonexistent/orvalt/ground";
  try {
    VarnholtOptimizer(inputs.odom, inputs.camera, missing, inputs.bounds, inputs.init);
    ADD_FAILURE() << "no error";
  } catch (const std::invalid_argument& error) {
    EXPECT_EQ(std::string(error.what()),
              "Camera ground points directory " + missing + " does not exist");
  }
}

TEST(VarnholtOptimizerConstructionTest, ThreePlyFilesAreNeeded) {
  Inputs inputs;
  inputs.clouds.pop_back();
  std::string directory;
  const auto others = [&](TempDir& dir) {
    directory = dir.path().string();
    std::ofstream(dir / "notes.txt") << "not a cloud";
    std::ofstream(dir / "plane.PLY") << "upper-case suffix";
  };
  const std::string message = error_of(inputs, others);
  EXPECT_EQ(message, "Camera ground points directory " + directory +
                         " must contain at least 3 files, got 2");
}

TEST(VarnholtOptimizerConstructionTest, EveryCloudNeedsThreePoints) {
  Inputs inputs;
  inputs.clouds = {grid(0.0), grid(0.0, 1, 2), grid(0.0)};
  // Listing order is the file system's: find the short cloud's index as the optimizer will.
  const std::string message = error_of(inputs);
  EXPECT_THAT(message,
              ::testing::MatchesRegex("Ground points [0-2] must have at least 3 points, got 2"));
  // An unreadable file yields no points.
  const auto broken = [](TempDir& dir) { std::ofstream(dir / "broken.ply") << "garbage"; };
  EXPECT_THAT(error_of(Inputs(), broken),
              ::testing::MatchesRegex("Ground points [0-3] must have at least 3 points, got 0"));
}

// An optimizer over the given pairs (camera list = B) and clouds, all bounds wide.
VarnholtOptimizer make_with(const std::vector<Eigen::Matrix4d>& A,
                            const std::vector<Eigen::Matrix4d>& B,
                            const std::vector<Points3d>& clouds) {
  Inputs inputs;
  inputs.odom = A;
  inputs.camera = B;
  inputs.clouds = clouds;
  inputs.bounds.fill({-3.0, 3.0});
  inputs.init = Vector6d::Zero();
  return make(inputs);
}

const Vector6d kZero = Vector6d::Zero();

TEST(VarnholtOptimizerResidualTest, HandEyeWorkedExamples) {
  const std::vector<Points3d> level = {grid(0.0), grid(0.0), grid(0.0)};
  EXPECT_EQ(make_with({}, {}, level)._residual_axxb(kZero), 0.0);
  // With X = I: a rotation differing by 0.1 rad, then a translation differing by 0.1 m.
  const auto rotated = make_with({rotation_about_z(0.1)}, {rotation_about_z(0.0)}, level);
  EXPECT_NEAR(rotated._residual_axxb(kZero), 0.01, 1e-15);
  const auto moved = make_with({translation(0.1, 0, 0)}, {translation(0, 0, 0)}, level);
  EXPECT_NEAR(moved._residual_axxb(kZero), 0.001, 1e-15);
  const auto both = make_with({rotation_about_z(0.1), translation(0.1, 0, 0)},
                              {rotation_about_z(0.0), translation(0, 0, 0)}, level);
  EXPECT_NEAR(both._residual_axxb(kZero), (0.01 + 0.001) / 2, 1e-15);
}

TEST(VarnholtOptimizerResidualTest, HandEyeIsZeroAtTheTrueExtrinsicNeverNaN) {
  SyntheticProblemOptions options;
  options.num_motions = 30;
  const SyntheticProblem problem = make_synthetic_problem(options);
  const auto optimizer = make_with(problem.A_list, problem.B_list, problem.camera_ground_points);
  // arccos near 1 turns rounding of 1e-16 into angles of 1e-8.
  EXPECT_LT(optimizer._residual_axxb(options.true_vec6), 1e-14);
  // Rounding pushes (trace - 1) / 2 just past 1 for some X; the angle is then 0, not NaN.
  std::mt19937 random(3);
  std::uniform_real_distribution<double> angle(-M_PI, M_PI);
  const auto identities = make_with(std::vector<Eigen::Matrix4d>(20, Eigen::Matrix4d::Identity()),
                                    std::vector<Eigen::Matrix4d>(20, Eigen::Matrix4d::Identity()),
                                    problem.camera_ground_points);
  for (int trial = 0; trial < 200; ++trial) {
    Vector6d vec6;
    vec6 << angle(random), angle(random), angle(random), 0.1, 0.2, 0.3;
    const double residual = identities._residual_axxb(vec6);
    ASSERT_TRUE(residual >= 0.0 && residual < 1e-14) << residual;
  }
}

TEST(VarnholtOptimizerResidualTest, GroundNormalIsSignFreeAndRobust) {
  const auto level = make_with({}, {}, {grid(0.0), grid(0.3), grid(-0.2)});
  EXPECT_NEAR(level._residual_ground_normal(kZero, 0.05), 0.0, 1e-15);
  // Upside down, the normal flips; the plane is still level.
  Vector6d flipped = kZero;
  flipped(0) = M_PI;
  EXPECT_NEAR(level._residual_ground_normal(flipped, 0.05), 0.0, 1e-15);
  // Tilted by 90 degrees: err = 1 for every plane.
  Vector6d wall = kZero;
  wall(1) = M_PI / 2;
  const double c = 0.05;
  EXPECT_NEAR(level._residual_ground_normal(wall, c), c * c * std::log(1.0 + 1.0 / (c * c)), 1e-12);
  // The tilt is measured in the base frame: a plane tilted in the camera frame is level
  // under the X that undoes the tilt.
  Vector6d tilt = kZero;
  tilt(0) = 0.2;
  const Points3d level_points = grid(0.0);
  const Eigen::Matrix3d R = TransformUtils::vector6_to_transform_matrix(tilt).block<3, 3>(0, 0);
  const Points3d tilted = level_points * R;  // rows R^T p
  const auto camera_tilted = make_with({}, {}, {tilted, tilted, tilted});
  EXPECT_NEAR(camera_tilted._residual_ground_normal(tilt, c), 0.0, 1e-15);
  EXPECT_GT(camera_tilted._residual_ground_normal(kZero, c), 1e-5);
}

TEST(VarnholtOptimizerResidualTest, GroundHeightWorkedExample) {
  const auto raised = make_with({}, {}, {grid(0.02), grid(0.02, 2, 2), grid(0.02, 3, 7)});
  EXPECT_NEAR(raised._residual_ground_z(kZero, 0.02), 0.0004 * std::log(2.0), 1e-15);
  // Lowering the camera by 0.02 m puts every point on the floor.
  Vector6d lowered = kZero;
  lowered(5) = -0.02;
  EXPECT_NEAR(raised._residual_ground_z(lowered, 0.02), 0.0, 1e-15);
  // The mean runs over points, not planes: 20 points at 0.02 m and 20 + 4 at 0.
  const auto mixed = make_with({}, {}, {grid(0.02), grid(0.0), grid(0.0, 2, 2)});
  EXPECT_NEAR(mixed._residual_ground_z(kZero, 0.02), 20.0 / 44.0 * 0.0004 * std::log(2.0), 1e-15);
  // Heights so absurd that products of the loss factors overflow still sum point by point.
  const double huge = 1e80;
  const auto absurd = make_with({}, {}, {grid(huge), grid(0.0), grid(0.0)});
  EXPECT_NEAR(absurd._residual_ground_z(kZero, 0.02),
              20.0 / 60.0 * 0.0004 * std::log(1.0 + huge * huge / 0.0004), 1e-12);
}

TEST(VarnholtOptimizerResidualTest, PriorAndShapeChecks) {
  const auto optimizer = make_with({}, {}, {grid(0.0), grid(0.0), grid(0.0)});
  Vector6d vec6;
  vec6 << 0.1, 0.2, 0.3, 0.5, -0.25, 7.0;
  EXPECT_DOUBLE_EQ(optimizer._residual_xy_prior(vec6, 0.25, 0.25), 0.0625 + 0.25);
  const Eigen::VectorXd five = vector_of({0, 0, 0, 0, 0});
  for (const auto& call : std::vector<std::function<void()>>{
           [&] { optimizer._residual_axxb(five); },
           [&] { optimizer._residual_ground_normal(five, 0.05); },
           [&] { optimizer._residual_ground_z(five, 0.02); },
           [&] {
             optimizer._residual_xy_prior(vector_of({0, 0, 0, 0}), 0, 0);
           }}) {
    try {
      call();
      ADD_FAILURE() << "no error";
    } catch (const std::invalid_argument& error) {
      EXPECT_THAT(error.what(), ::testing::StartsWith("Input vector must be (6,), got ("));
    }
  }
}

TEST(VarnholtOptimizerObjectiveTest, WeighsTheTermsAndLogsEveryTenthCall) {
  auto optimizer = make_with({rotation_about_z(0.1)}, {rotation_about_z(0.0)},
                             {grid(0.02), grid(0.02), grid(0.02)});
  CalibOptimizerConfig cfg;
  cfg.w_axxb = 2.0;
  cfg.w_normal = 3.0;
  cfg.w_z = 5.0;
  cfg.w_xy = 7.0;
  Vector6d vec6;
  vec6 << 0.0, 0.0, 0.0, 0.1, -0.1, 0.0;
  const double expected = 2.0 * optimizer._residual_axxb(vec6) +
                          3.0 * optimizer._residual_ground_normal(vec6, cfg.cauchy_normal) +
                          5.0 * optimizer._residual_ground_z(vec6, cfg.cauchy_z) +
                          7.0 * (0.01 + 0.01);

  LogCapture log("orvalt.calibration.pellitor");
  EXPECT_DOUBLE_EQ(optimizer.objective_function(vec6, cfg), expected);
  EXPECT_THAT(log.messages(spdlog::level::info),
              ElementsAre("[Iter   0] ==============================================",
                          "      Loss    | Total= 0.16143  AXXB=0.01002  Normal=0.00000  "
                          "Z=0.00028",
                          "      Params  | rx=0.00000  ry=0.00000  rz=0.00000  | tx=0.10000  "
                          "ty=-0.10000  tz=0.00000"));
  for (int call = 1; call <= 20; ++call) optimizer.objective_function(vec6, cfg);
  EXPECT_EQ(optimizer.iter(), 21);
  const auto lines = log.messages(spdlog::level::info);
  ASSERT_EQ(lines.size(), 9u);  // calls 0, 10 and 20
  EXPECT_EQ(lines[3], "[Iter  10] ==============================================");
  EXPECT_EQ(lines[6], "[Iter  20] ==============================================");

  try {
    optimizer.objective_function(vector_of({0, 0, 0, 0, 0}), cfg);
    ADD_FAILURE() << "no error";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "Require 6D SE3 vector");
  }
  EXPECT_EQ(optimizer.iter(), 21);
}

}  // namespace
}  // namespace orvalt::calibration
