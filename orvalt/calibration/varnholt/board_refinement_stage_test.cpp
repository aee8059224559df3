#include "orvalt/calibration/varnholt/board_refinement_stage.hpp"

#include <cmath>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <Eigen/Geometry>

#include "orvalt/calibration/refine/synthetic_board_recording.hpp"
#include "orvalt/testing/log_capture.hpp"

namespace orvalt::calibration {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;

constexpr double kDegree = M_PI / 180.0;

SyntheticBoardRecording short_recording(
    simulation::TrajectoryKind trajectory = simulation::TrajectoryKind::kTurnsAndArcs) {
  SyntheticBoardRecordingOptions options;
  options.duration = 10.0;
  options.trajectory = trajectory;
  SyntheticBoardRecording recording = make_synthetic_board_recording(options);
  recording.input.initial_vec6 +=
      (Vector6d() << 0.5 * kDegree, -0.4 * kDegree, 0.8 * kDegree, 0.01, -0.006, 0.003).finished();
  return recording;
}

TEST(RefinementFramesTest, TakesStampsEdgeCornersAndTheHeadingOfEachFrame) {
  FrameMap frames;
  FrameRecord record;
  const Eigen::Quaterniond turned(Eigen::AngleAxisd(2.5, Eigen::Vector3d::UnitZ()));
  record.pose = {1000, 0.4, -0.3, 0.0, turned.x(), turned.y(), turned.z(), turned.w()};
  record.corner_dict = {{3, apriltag::TagPoints::Constant(5, 2, 7.0f)}};
  record.edge_corners = {{3, apriltag::TagPoints::Constant(4, 2, 7.2f)}};
  frames.emplace(1000, record);
  record.pose.timestamp = 2000;
  frames.emplace(2000, record);

  const std::vector<RefinementFrame> converted = refinement_frames(frames);
  ASSERT_EQ(converted.size(), 2u);
  EXPECT_EQ(converted[1].image_stamp_ns, 2000);
  EXPECT_EQ(converted[1].odometry_stamp_ns, 2000);
  EXPECT_DOUBLE_EQ(converted[0].base_in_odom.x, 0.4);
  EXPECT_DOUBLE_EQ(converted[0].base_in_odom.y, -0.3);
  EXPECT_NEAR(converted[0].base_in_odom.yaw, 2.5, 1e-12);
  // The refinement takes the corners from the tags' edges, not the detector's.
  ASSERT_EQ(converted[0].tags.size(), 1u);
  EXPECT_EQ(converted[0].tags[0].first, 3);
  EXPECT_FLOAT_EQ(converted[0].tags[0].second(2, 1), 7.2f);
}

TEST(RefinementFramesTest, TheOdometryTrackKeepsItsOrderStampsAndHeadings) {
  const Eigen::Quaterniond back(Eigen::AngleAxisd(-3.0, Eigen::Vector3d::UnitZ()));
  const std::vector<PoseRow> track = {
      {500, 0.1, 0.2, 0.0, 0.0, 0.0, 0.0, 1.0},
      {520, -0.1, 0.3, 0.01, back.x(), back.y(), back.z(), back.w()}};
  const std::vector<StampedPlanarPose> odometry = refinement_odometry(track);
  ASSERT_EQ(odometry.size(), 2u);
  EXPECT_EQ(odometry[0].stamp_ns, 500);
  EXPECT_EQ(odometry[1].stamp_ns, 520);
  EXPECT_DOUBLE_EQ(odometry[1].pose.x, -0.1);
  EXPECT_DOUBLE_EQ(odometry[1].pose.y, 0.3);
  EXPECT_NEAR(odometry[1].pose.yaw, -3.0, 1e-12);
  EXPECT_NEAR(odometry[0].pose.yaw, 0.0, 1e-12);
}

TEST(RefineResultOnBoardTest, SucceedsAndReportsTheOptimizersResultBesideItsOwn) {
  const SyntheticBoardRecording recording = short_recording();
  const BoardRefinementRecord record = refine_result_on_board(recording.input);

  ASSERT_TRUE(record.result.success) << record.result.failure_reason;
  EXPECT_EQ(record.optimizer_vec6, recording.input.initial_vec6);
  EXPECT_LT((record.result.vec6 - recording.true_vec6).cwiseAbs().maxCoeff(), 1e-5);
  EXPECT_EQ(refinement_warning(record), "");

  const std::vector<std::string> lines = refinement_lines(record);
  EXPECT_THAT(lines[0], HasSubstr("converged"));
  EXPECT_THAT(lines, Contains(HasSubstr("reprojection RMS")));
  EXPECT_THAT(lines, Contains(HasSubstr("time offset")));
  EXPECT_THAT(lines, Contains(HasSubstr("noise seen: corners")));
  EXPECT_THAT(lines, Contains(HasSubstr(fmt::format(
                         "rx: optimizer {:.4f} deg, refined {:.4f} deg ± ",
                         record.optimizer_vec6(0) / kDegree, record.result.vec6(0) / kDegree))));
}

// No failure may pass for a success, and none may end the run: the optimizer's result stands.
TEST(RefineResultOnBoardTest, FailuresComeBackWithTheirReason) {
  const SyntheticBoardRecording recording = short_recording();

  RefinementOptions one_step;
  one_step.max_iterations = 1;
  const BoardRefinementRecord stopped = refine_result_on_board(recording.input, one_step);
  EXPECT_FALSE(stopped.result.success);
  EXPECT_THAT(refinement_warning(stopped), HasSubstr("did not converge"));
  EXPECT_THAT(refinement_warning(stopped), HasSubstr("the result files hold the optimizer's"));

  RefinementInput few = recording.input;
  few.frames.resize(kMinRefinementFrames - 1);
  const BoardRefinementRecord too_few = refine_result_on_board(few);
  EXPECT_FALSE(too_few.result.success);
  EXPECT_THAT(too_few.result.failure_reason, HasSubstr("only 9 frames saw the board"));
  EXPECT_EQ(too_few.result.vec6, recording.input.initial_vec6);
  // Frames whose tags were all too small for their edges to fit do not count.
  RefinementInput small_tags = recording.input;
  for (std::size_t k = 5; k < small_tags.frames.size(); ++k) small_tags.frames[k].tags.clear();
  EXPECT_THAT(refine_result_on_board(small_tags).result.failure_reason,
              HasSubstr("only 5 frames saw the board with a tag whose edges fit"));

  RefinementInput shared_stamp = recording.input;
  shared_stamp.frames[1].image_stamp_ns = shared_stamp.frames[0].image_stamp_ns;
  const BoardRefinementRecord refused = refine_result_on_board(shared_stamp);
  EXPECT_FALSE(refused.result.success);
  EXPECT_THAT(refused.result.failure_reason, HasSubstr("share the image stamp"));

  testing::LogCapture log("orvalt.calibration.varnholt");
  log_refinement(too_few);
  EXPECT_THAT(log.messages(spdlog::level::warn),
              Contains(HasSubstr("Board refinement failed: only 9 frames")));
}

ObservabilityReport optimizer_findings(const Vector6d& vec6) {
  ObservabilityReport report;
  for (int i = 0; i < 6; ++i) {
    report.parameters[i].name = std::string(1, i < 3 ? 'r' : 't') + "xyz"[i % 3];
    report.parameters[i].value = vec6(i);
    report.parameters[i].determination = Determination::kData;
    report.parameters[i].sigma = 1.0;
  }
  report.parameters[2].determination = Determination::kAtBound;
  report.parameters[3].determination = Determination::kPrior;
  report.parameters[3].sigma.reset();
  return report;
}

TEST(RefinedObservabilityTest, RefinedParametersAreMeasurementsAndTheOthersKeepTheirFinding) {
  const SyntheticBoardRecording recording = short_recording(simulation::TrajectoryKind::kStraight);
  const BoardRefinementRecord record = refine_result_on_board(recording.input);
  ASSERT_TRUE(record.result.success) << record.result.failure_reason;
  ASSERT_FALSE(record.result.vec6_determined[3]);
  ASSERT_TRUE(record.result.vec6_determined[2]);

  const ObservabilityReport optimizer = optimizer_findings(record.optimizer_vec6);
  EXPECT_THAT(unusable_parameters(optimizer), Contains("rz stopped at its search bound"));
  const ObservabilityReport refined = refined_observability(optimizer, record);
  EXPECT_THAT(unusable_parameters(refined), ::testing::IsEmpty());
  EXPECT_EQ(refined.parameters[2].determination, Determination::kData);
  EXPECT_EQ(refined.parameters[2].determined_by, "board refinement");
  EXPECT_EQ(refined.parameters[2].value, record.result.vec6(2));
  EXPECT_EQ(*refined.parameters[2].sigma, record.result.vec6_sigma(2));
  EXPECT_EQ(refined.parameters[3].determination, Determination::kPrior);
  EXPECT_EQ(refined.parameters[3].value, record.optimizer_vec6(3));
  EXPECT_THAT(refinement_lines(record),
              Contains(HasSubstr("tx: optimizer 35.00 mm, not determined by the board")));

  BoardRefinementRecord failed = record;
  failed.result.success = false;
  EXPECT_THAT(unusable_parameters(refined_observability(optimizer, failed)),
              Contains("rz stopped at its search bound"));
}

}  // namespace
}  // namespace orvalt::calibration
