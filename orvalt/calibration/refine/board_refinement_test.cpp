#include "orvalt/calibration/refine/board_refinement.hpp"

#include <cmath>
#include <random>
#include <stdexcept>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvalt/calibration/refine/refinement_residuals.hpp"
#include "orvalt/calibration/refine/synthetic_board_recording.hpp"
#include "orvalt/testing/eigen_matchers.hpp"

namespace orvalt::calibration {
namespace {

using ::testing::HasSubstr;
using testing::IsNearRigidTransform;

constexpr double kDegree = M_PI / 180.0;

Eigen::Matrix4d matrix_of(const Vector6d& vec6) {
  return TransformUtils::vector6_to_transform_matrix(vec6);
}

// The optimizer's answer is typically this far off on real recordings.
Vector6d perturbed(const Vector6d& truth) {
  Vector6d offset;
  offset << 0.8 * kDegree, -0.6 * kDegree, 1.5 * kDegree, 0.012, -0.008, 0.004;
  return truth + offset;
}

SyntheticBoardRecording recording_with(const SyntheticBoardRecordingOptions& options) {
  SyntheticBoardRecording recording = make_synthetic_board_recording(options);
  recording.input.initial_vec6 = perturbed(recording.true_vec6);
  return recording;
}

TEST(RefinementResidualsTest, RotationMatchesTheExtrinsicConvention) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> angle(-1.5, 1.5);
  for (int i = 0; i < 20; ++i) {
    Vector6d vec6;
    vec6 << angle(random), angle(random), angle(random), 0.1, 0.2, 0.3;
    double R[9];
    refine_residuals::rotation_of_vec6(vec6.data(), R);
    const Eigen::Matrix3d expected = matrix_of(vec6).topLeftCorner<3, 3>();
    EXPECT_THAT((Eigen::Map<Eigen::Matrix<double, 3, 3, Eigen::RowMajor>>(R)).eval(),
                testing::EigenNear(expected, 1e-14));
  }
}

// Wheel odometry reporting 2 % more distance and 3 % less turn than the robot drove: undoing
// both errors gives the true arc back (a wrong sign or a chord that does not turn with the
// corrected turn leaves millimetres and milliradians).
TEST(RefinementResidualsTest, OdometryScaleErrorsAreUndone) {
  const auto arc_end = [](double distance, double turn) {
    const double radius = distance / turn;
    return PlanarPose{radius * std::sin(turn), radius * (1.0 - std::cos(turn)), turn};
  };
  const double distance = 0.2, turn = 0.3;
  const Eigen::Vector2d errors(0.02, -0.03);
  const PlanarPose measured = arc_end(distance * (1.0 + errors(0)), turn * (1.0 + errors(1)));
  const OdometryTrack track({{0.0, {0.0, 0.0, 0.0}}, {1.0, measured}});
  const refine_residuals::OdometryBetween between{&track, 0.0, 1.0, Eigen::Vector3d::Ones()};
  const PlanarPose truth = arc_end(distance, turn);
  const double from[3] = {0.0, 0.0, 0.0};
  const double to[3] = {truth.x, truth.y, truth.yaw};
  const double offset = 0.0;
  double residual[3];
  between(from, to, &offset, errors.data(), residual);
  // The chord keeps its length, which the turn changes by 0.02 % here: 0.04 mm.
  EXPECT_LT(Eigen::Map<Eigen::Vector2d>(residual).norm(), 1e-4);  // metres
  EXPECT_NEAR(residual[2], 0.0, 1e-12);

  const double none[2] = {0.0, 0.0};
  between(from, to, &offset, none, residual);
  EXPECT_GT(Eigen::Map<Eigen::Vector2d>(residual).norm(), 3e-3);
  EXPECT_NEAR(std::abs(residual[2]), 0.009, 1e-9);
}

TEST(BoardRefinementTest, ExactRecordingRecoversTheExtrinsic) {
  const SyntheticBoardRecording recording = recording_with({});
  const RefinementResult result = refine_with_board(recording.input);

  ASSERT_TRUE(result.success) << result.failure_reason;
  EXPECT_TRUE(result.converged);
  EXPECT_THAT(result.extrinsic, IsNearRigidTransform(matrix_of(recording.true_vec6), 0.001, 0.01));
  EXPECT_NEAR(result.time_offset_s, 0.0, 1e-5);
  EXPECT_LT(result.reprojection_rms_px, 1e-3);
  EXPECT_EQ(result.outlier_corners, 0);
  EXPECT_EQ(result.tags_used, 10);
  EXPECT_EQ(result.corners_used % 4, 0);
  EXPECT_GT(result.frames_used, 200);
  for (bool determined : result.vec6_determined) EXPECT_TRUE(determined);
  EXPECT_TRUE(result.time_offset_determined);
}

TEST(BoardRefinementTest, RecoversCameraLatencyAsTimeOffset) {
  SyntheticBoardRecordingOptions options;
  options.latency_s = 0.05;
  const SyntheticBoardRecording recording = recording_with(options);
  const RefinementResult result = refine_with_board(recording.input);

  ASSERT_TRUE(result.success) << result.failure_reason;
  // The odometry is known at the frame stamps only, and the curve through them misses the path
  // by a fraction of a millimetre between them, partly sideways, where a wheeled base cannot
  // go: that costs about a millisecond.
  EXPECT_NEAR(result.time_offset_s, -0.05, 2e-3);
  EXPECT_THAT(result.extrinsic, IsNearRigidTransform(matrix_of(recording.true_vec6), 0.005, 0.1));

  // The odometry at its own rate leaves little to guess between the frames.
  options.odometry_rate = 50.0;
  const RefinementResult tracked = refine_with_board(recording_with(options).input);
  ASSERT_TRUE(tracked.success) << tracked.failure_reason;
  EXPECT_NEAR(tracked.time_offset_s, -0.05, 3e-4);
  EXPECT_THAT(tracked.extrinsic, IsNearRigidTransform(matrix_of(recording.true_vec6), 0.001, 0.01));

  RefinementOptions without_offset;
  without_offset.estimate_time_offset = false;
  const RefinementResult ignored = refine_with_board(recording.input, without_offset);
  EXPECT_FALSE(ignored.time_offset_determined);
  EXPECT_EQ(ignored.time_offset_s, 0.0);
}

TEST(BoardRefinementTest, OdometryDriftDoesNotBiasTheExtrinsic) {
  SyntheticBoardRecordingOptions options;
  options.odometry_error = simulation::NoiseSettings().odometry;
  const SyntheticBoardRecording recording = recording_with(options);
  const RefinementResult result = refine_with_board(recording.input);

  ASSERT_TRUE(result.success) << result.failure_reason;
  EXPECT_THAT(result.extrinsic, IsNearRigidTransform(matrix_of(recording.true_vec6), 0.02, 0.5));

  // The board sees the true motion, so the odometry's distance and turn scale errors (1 % and
  // 0.5 % in this recording, beside the wheel slip) come out instead of bending the answer.
  EXPECT_NEAR(result.odometry_scale_errors(0), 0.01, 0.003);
  EXPECT_NEAR(result.odometry_scale_errors(1), 0.005, 0.002);
}

TEST(BoardRefinementTest, RobustLossDownWeightsAFrameOfWrongCorners) {
  SyntheticBoardRecording recording = recording_with({});
  RefinementFrame& wild = recording.input.frames[100];
  ASSERT_FALSE(wild.tags.empty());
  std::mt19937 random(3);
  std::uniform_real_distribution<float> shift(-60.0f, 60.0f);
  for (auto& [id, points] : wild.tags) {
    for (int i = 0; i < points.size(); ++i) points.data()[i] += shift(random);
  }
  const RefinementResult result = refine_with_board(recording.input);

  ASSERT_TRUE(result.success) << result.failure_reason;
  EXPECT_THAT(result.extrinsic, IsNearRigidTransform(matrix_of(recording.true_vec6), 0.005, 0.05));
  EXPECT_EQ(result.worst_frame_stamp_ns, wild.image_stamp_ns);
  ASSERT_EQ(result.frame_rms_px.size(), static_cast<std::size_t>(result.frames_used));
  const auto worst =
      std::max_element(result.frame_rms_px.begin(), result.frame_rms_px.end(),
                       [](const auto& a, const auto& b) { return a.second < b.second; });
  EXPECT_EQ(worst->first, wild.image_stamp_ns);
  EXPECT_EQ(worst->second, result.worst_frame_rms_px);
  EXPECT_GT(result.worst_frame_rms_px, 10.0);
  EXPECT_GE(result.outlier_corners, static_cast<int>(wild.tags.size()) * 4 - 2);
  EXPECT_LT(result.reprojection_rms_px, 0.1);
}

TEST(BoardRefinementTest, FailsWithAReasonWhenItCannotConverge) {
  const SyntheticBoardRecording recording = recording_with({});
  RefinementOptions one_step;
  one_step.max_iterations = 1;
  const RefinementResult stopped = refine_with_board(recording.input, one_step);
  EXPECT_FALSE(stopped.success);
  EXPECT_FALSE(stopped.converged);
  EXPECT_THAT(stopped.failure_reason, HasSubstr("did not converge"));
}

TEST(BoardRefinementTest, FailsWhenTheCornersCannotBeExplained) {
  SyntheticBoardRecordingOptions options;
  options.pixel_noise = 2.5;  // a blurred, misdetected recording
  const SyntheticBoardRecording recording = recording_with(options);
  const RefinementResult result = refine_with_board(recording.input);
  EXPECT_FALSE(result.success);
  EXPECT_GT(result.reprojection_rms_px, 2.0);
  EXPECT_THAT(result.failure_reason, HasSubstr("reprojection RMS"));
}

// A wrong tag size scales every camera motion, which the corners alone cannot tell: the
// odometry's distances then disagree with the board's far beyond any wheel's error.
TEST(BoardRefinementTest, FailsWhenTheTagSizeIsWrong) {
  SyntheticBoardRecording recording = recording_with({});
  recording.input.tag_size_m *= 1.3;
  const RefinementResult result = refine_with_board(recording.input);
  EXPECT_FALSE(result.success);
  EXPECT_LT(result.reprojection_rms_px, 0.1);
  EXPECT_NEAR(result.odometry_scale_errors(0), 1.0 / 1.3 - 1.0, 0.01);
  EXPECT_THAT(result.failure_reason, HasSubstr("is the tag size right?"));
}

TEST(BoardRefinementTest, ReportsWhatADriveWithoutTurnsCannotDetermine) {
  SyntheticBoardRecordingOptions options;
  options.trajectory = simulation::TrajectoryKind::kStraight;
  const SyntheticBoardRecording recording = recording_with(options);
  const RefinementResult result = refine_with_board(recording.input);

  ASSERT_TRUE(result.success) << result.failure_reason;
  for (int i : {3, 4}) {
    EXPECT_FALSE(result.vec6_determined[i]) << "parameter " << i;
    EXPECT_TRUE(std::isnan(result.vec6_sigma(i)));
    EXPECT_EQ(result.vec6(i), recording.input.initial_vec6(i));
  }
  for (int i : {0, 1, 2, 5}) {
    EXPECT_TRUE(result.vec6_determined[i]) << "parameter " << i;
    EXPECT_NEAR(result.vec6(i), recording.true_vec6(i), i < 3 ? 0.01 * kDegree : 1e-4);
  }
}

TEST(BoardRefinementTest, SigmasMatchTheErrorsOfNoisyCorners) {
  SyntheticBoardRecordingOptions options;
  options.pixel_noise = 0.5;
  options.floor_noise = 0.005;
  options.odometry_error = simulation::NoiseSettings().odometry;
  const SyntheticBoardRecording recording = recording_with(options);
  RefinementOptions wrong_guesses;
  wrong_guesses.pixel_sigma = 1.5;
  wrong_guesses.robust_loss_scale_px = 4.5;
  wrong_guesses.floor_sigma_m = 0.02;
  const RefinementResult result = refine_with_board(recording.input, wrong_guesses);

  ASSERT_TRUE(result.success) << result.failure_reason;
  EXPECT_NEAR(result.reprojection_rms_px, 0.5 * std::sqrt(2.0), 0.05);  // two coordinates
  // The noise levels come from the residuals, not from the guesses.
  EXPECT_NEAR(result.corner_noise_px, 0.5, 0.03);
  EXPECT_NEAR(result.floor_noise_m, 0.005, 0.0005);
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(result.vec6_determined[i]);
    EXPECT_GT(result.vec6_sigma(i), 0.0);
    EXPECT_LT(std::abs(result.vec6(i) - recording.true_vec6(i)), 4.0 * result.vec6_sigma(i))
        << "parameter " << i;
  }
}

// Sigmas that are upper bounds say little: with the noise stated as it is, they must match
// the spread of the errors over recordings, not exceed it many times (a step noise that added
// up over the frames, or a base that could slide sideways, made the yaw's sigma 100 times
// its spread).
TEST(BoardRefinementTest, SigmasMatchTheSpreadOverRecordings) {
  const simulation::OdometryError odometry = simulation::NoiseSettings().odometry;
  RefinementOptions stated;
  stated.odometry_noise_per_metre = 0.005;  // the slip's random walk at the drive's speed
  stated.odometry_yaw_noise_per_radian = odometry.yaw_noise;
  stated.odometry_yaw_noise_per_metre = odometry.yaw_noise;
  constexpr int kRecordings = 8;
  Vector6d squared_errors = Vector6d::Zero();
  Vector6d squared_sigmas = Vector6d::Zero();
  for (int seed = 1; seed <= kRecordings; ++seed) {
    SyntheticBoardRecordingOptions options;
    options.camera_rate = 5.0;
    options.pixel_noise = 0.1;
    options.floor_noise = 0.005;
    options.odometry_error = odometry;
    options.seed = static_cast<std::uint64_t>(seed);
    const SyntheticBoardRecording recording = recording_with(options);
    const RefinementResult result = refine_with_board(recording.input, stated);
    ASSERT_TRUE(result.success) << result.failure_reason;
    squared_errors += (result.vec6 - recording.true_vec6).cwiseAbs2();
    squared_sigmas += result.vec6_sigma.cwiseAbs2();
  }
  const Vector6d ratio = squared_errors.cwiseQuotient(squared_sigmas).cwiseSqrt();
  for (int i = 0; i < 6; ++i) {
    EXPECT_GT(ratio(i), 0.5) << "parameter " << i;
    EXPECT_LT(ratio(i), 2.0) << "parameter " << i;
  }
}

// A tag the image's edge cuts can come out of the detector with its clipped corners a few
// pixels inside the image, in the same places on every drive past the board.
TEST(BoardRefinementTest, TagsAtTheImageEdgeAreLeftOut) {
  SyntheticBoardRecording recording = recording_with({});
  const common::CameraIntrinsics& intrinsics = recording.input.intrinsics;
  const float right = intrinsics.width - 1.0f;
  const float bottom = intrinsics.height - 1.0f;
  int clipped = 0;
  for (RefinementFrame& frame : recording.input.frames) {
    for (auto& [id, points] : frame.tags) {
      bool at_edge = false;
      for (int c = 0; c < 4; ++c) {
        float& x = points(c, 0);
        float& y = points(c, 1);
        // The clipped corner lands 3 px further in, still within 8 px of the edge.
        if (x < 5.0f || x > right - 5.0f) x += x < 5.0f ? 3.0f : -3.0f, at_edge = true;
        if (y < 5.0f || y > bottom - 5.0f) y += y < 5.0f ? 3.0f : -3.0f, at_edge = true;
      }
      clipped += at_edge ? 1 : 0;
    }
  }
  ASSERT_GT(clipped, 10);

  const RefinementResult result = refine_with_board(recording.input);
  ASSERT_TRUE(result.success) << result.failure_reason;
  EXPECT_THAT(result.extrinsic, IsNearRigidTransform(matrix_of(recording.true_vec6), 0.001, 0.01));
  EXPECT_LT(result.reprojection_rms_px, 1e-3);

  RefinementOptions keep_all;
  keep_all.image_border_margin_px = 0.0;
  const RefinementResult bent = refine_with_board(recording.input, keep_all);
  EXPECT_GT(bent.reprojection_rms_px, 0.05);
}

TEST(BoardRefinementTest, RejectsUnusableInput) {
  const SyntheticBoardRecording recording = recording_with({});
  RefinementInput input = recording.input;
  input.tag_size_m = 0.0;
  EXPECT_THROW(refine_with_board(input), std::invalid_argument);
  input = recording.input;
  input.intrinsics.fy = -1.0;
  EXPECT_THROW(refine_with_board(input), std::invalid_argument);
  input = recording.input;
  input.frames.resize(1);
  EXPECT_THROW(refine_with_board(input), std::invalid_argument);
  input = recording.input;
  input.frames[1].image_stamp_ns = input.frames[0].image_stamp_ns;
  EXPECT_THROW(refine_with_board(input), std::invalid_argument);
}

}  // namespace
}  // namespace orvalt::calibration
