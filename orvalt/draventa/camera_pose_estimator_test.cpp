#include "orvalt/draventa/camera_pose_estimator.hpp"

#include <cmath>
#include <limits>
#include <random>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <Eigen/Geometry>

#include "orvalt/draventa/synthetic_board.hpp"
#include "orvalt/testing/eigen_matchers.hpp"
#include "orvalt/testing/log_capture.hpp"

namespace orvalt::draventa {
namespace {

using apriltag::TagMap;
using apriltag::TagPoints;
using ::testing::Contains;
using testing::EigenNear;
using ::testing::HasSubstr;
using testing::IsNearRigidTransform;
using testing::LogCapture;

constexpr const char* kLogger = "orvalt.draventa.draventa";

const PinholeCamera kCamera;

CameraPoseEstimator make_estimator() {
  return CameraPoseEstimator(kCamera.fx, kCamera.fy, kCamera.cx, kCamera.cy, kCamera.width,
                             kCamera.height);
}

cv::Mat constant_depth(std::uint16_t millimetres) {
  return cv::Mat(kCamera.height, kCamera.width, CV_16U, cv::Scalar(millimetres));
}

// Five points of a 40 px square tag with its top-left corner at (u, v).
TagPoints square_tag(float u, float v) {
  TagPoints points(5, 2);
  points << u, v, u + 40, v, u + 40, v + 40, u, v + 40, u + 20, v + 20;
  return points;
}

std::string error_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const std::invalid_argument& error) {
    return error.what();
  }
  return "no std::invalid_argument";
}

TEST(CameraPoseEstimatorTest, RejectsBadInputsBeforeAnyComputation) {
  const auto estimator = make_estimator();
  const TagMap tags = {{1, square_tag(100, 100)}};
  const cv::Mat depth = constant_depth(1000);
  const cv::Mat transposed(kCamera.width, kCamera.height, CV_16U, cv::Scalar(1000));
  const cv::Mat small(240, 320, CV_16U, cv::Scalar(1000));
  const cv::Mat colour(kCamera.height, kCamera.width, CV_16UC3, cv::Scalar::all(1000));
  const cv::Mat metres(kCamera.height, kCamera.width, CV_32F, cv::Scalar(1.0));
  const std::string empty_tags = "[Error]: Must provide non-empty tag detections in both frames";
  const std::string shape = "[Error]: Depth images must have same shape and size as camera image";

  EXPECT_EQ(error_of([&] { estimator.compute_camera_relative_transform({}, tags, depth, depth); }),
            empty_tags);
  EXPECT_EQ(error_of([&] { estimator.compute_camera_relative_transform(tags, {}, depth, depth); }),
            empty_tags);
  // The tag check comes first, even when the depth images are wrong too.
  EXPECT_EQ(error_of([&] { estimator.compute_camera_relative_transform({}, tags, depth, metres); }),
            empty_tags);
  EXPECT_EQ(
      error_of([&] { estimator.compute_camera_relative_transform(tags, tags, depth, transposed); }),
      shape);
  EXPECT_EQ(
      error_of([&] { estimator.compute_camera_relative_transform(tags, tags, small, small); }),
      shape);
  EXPECT_EQ(
      error_of([&] { estimator.compute_camera_relative_transform(tags, tags, colour, colour); }),
      shape);
  EXPECT_EQ(
      error_of([&] { estimator.compute_camera_relative_transform(tags, tags, cv::Mat(), depth); }),
      shape);
  EXPECT_EQ(
      error_of([&] { estimator.compute_camera_relative_transform(tags, tags, depth, metres); }),
      "[Error]: Depth images must have same dtype");
  // Called on their own, the back-projections refuse a depth image they could read past.
  EXPECT_EQ(error_of([&] { estimator._back_project_tag_points(tags[0].second, small); }), shape);
  EXPECT_EQ(error_of([&] { estimator._batch_back_project(tags, {1}, small); }), shape);
}

TEST(CameraPoseEstimatorTest, FailsSoftlyWithoutUsableCommonTags) {
  const auto estimator = make_estimator();
  const cv::Mat depth = constant_depth(1500);
  {
    LogCapture log(kLogger);
    const TagMap prev = {{1, square_tag(100, 100)}};
    const TagMap curr = {{2, square_tag(100, 100)}};
    const auto motion = estimator.compute_camera_relative_transform(prev, curr, depth, depth);
    EXPECT_FALSE(motion.success);
    EXPECT_EQ(motion.cam_k1_from_cam_k, Eigen::Matrix4d::Identity());
    EXPECT_THAT(log.messages(spdlog::level::debug),
                Contains("[Warning] No common tags in both frames, return identity transform"));
  }
  {
    // A shared tag with only four points is skipped; it was the only one.
    LogCapture log(kLogger);
    const TagMap four = {{3, square_tag(100, 100).topRows(4)}};
    const auto motion = estimator.compute_camera_relative_transform(four, four, depth, depth);
    EXPECT_FALSE(motion.success);
    EXPECT_EQ(motion.cam_k1_from_cam_k, Eigen::Matrix4d::Identity());
    EXPECT_THAT(
        log.messages(spdlog::level::debug),
        Contains("[Warning] Must have at least 4 valid 3D points for motion estimation, got 0"));
  }
  {
    // A shared tag whose depth is missing in one frame is skipped as well.
    const TagMap tags = {{4, square_tag(100, 100)}};
    EXPECT_FALSE(
        estimator.compute_camera_relative_transform(tags, tags, depth, constant_depth(0)).success);
  }
}

TEST(CameraPoseEstimatorTest, OneFullTagIsEnoughAndIdenticalFramesGiveIdentity) {
  const auto estimator = make_estimator();
  const TagMap tags = {{7, square_tag(300, 200)}, {9, square_tag(100, 50).topRows(4)}};
  const auto motion = estimator.compute_camera_relative_transform(tags, tags, constant_depth(1200),
                                                                  constant_depth(1200));
  EXPECT_TRUE(motion.success);
  EXPECT_THAT(motion.cam_k1_from_cam_k, EigenNear(Eigen::Matrix4d::Identity(), 1e-12));
}

TEST(CameraPoseEstimatorTest, BackProjectsSubPixelPointsWithTheNearestPixelsDepth) {
  const auto estimator = make_estimator();
  cv::Mat depth = constant_depth(2000);
  depth.at<std::uint16_t>(190, 420) = 3000;  // where truncation would look
  depth.at<std::uint16_t>(191, 421) = 2500;  // the nearest pixel
  TagPoints uv(2, 2);
  uv << 420.7f, 190.9f, 320.0f, 240.0f;
  const Points3d points = estimator._back_project_tag_points(uv, depth);
  ASSERT_EQ(points.rows(), 2);
  EXPECT_NEAR(points(0, 0), 2.5, 1e-7);
  EXPECT_NEAR(points(0, 1), -(420.7f - 320) * 2.5 / 500.0, 1e-7);
  EXPECT_NEAR(points(0, 2), -(190.9f - 240) * 2.5 / 500.0, 1e-7);
  EXPECT_THAT(Eigen::RowVector3d(points.row(1)), EigenNear(Eigen::RowVector3d(2, 0, 0), 1e-12));
}

TEST(CameraPoseEstimatorTest, TruncatesTowardZeroAndNeverReadsOutsideTheImage) {
  const auto estimator = make_estimator();
  const cv::Mat depth = constant_depth(1000);
  const auto rows_for = [&](float u, float v) {
    TagPoints uv(1, 2);
    uv << u, v;
    return estimator._back_project_tag_points(uv, depth).rows();
  };
  const float w = static_cast<float>(kCamera.width);
  const float h = static_cast<float>(kCamera.height);
  EXPECT_EQ(rows_for(w - 0.2f, 10), 1);  // inside: depth of pixel width - 1
  EXPECT_EQ(rows_for(-0.5f, 10), 1);     // inside: depth of pixel 0
  EXPECT_EQ(rows_for(-1.0f, 10), 0);
  EXPECT_EQ(rows_for(w, 10), 0);
  EXPECT_EQ(rows_for(10, h - 0.2f), 1);
  EXPECT_EQ(rows_for(10, -0.5f), 1);
  EXPECT_EQ(rows_for(10, -1.0f), 0);
  EXPECT_EQ(rows_for(10, h), 0);
  EXPECT_EQ(rows_for(std::numeric_limits<float>::quiet_NaN(), 10), 0);
  EXPECT_EQ(rows_for(10, 1e30f), 0);

  // All or nothing: one point off the image drops the whole tag.
  TagPoints tag = square_tag(w - 30, 100);
  EXPECT_EQ(estimator._back_project_tag_points(tag, depth).rows(), 0);
  const TagMap tags = {{5, tag}};
  EXPECT_FALSE(estimator.compute_camera_relative_transform(tags, tags, depth, depth).success);
}

TEST(CameraPoseEstimatorTest, DepthBoundsAreStrict) {
  const auto estimator = make_estimator();
  const TagPoints tag = square_tag(100, 100);
  const auto rows_at = [&](std::uint16_t millimetres) {
    return estimator._back_project_tag_points(tag, constant_depth(millimetres)).rows();
  };
  EXPECT_EQ(rows_at(0), 0);
  EXPECT_EQ(rows_at(50), 0);
  EXPECT_EQ(rows_at(51), 5);
  EXPECT_EQ(rows_at(4999), 5);
  EXPECT_EQ(rows_at(5000), 0);
  // The batch defaults are wider: (0.01 m, 10.0 m).
  const TagMap tags = {{1, tag}};
  EXPECT_EQ(estimator._batch_back_project(tags, {1}, constant_depth(10)).rows(), 0);
  EXPECT_EQ(estimator._batch_back_project(tags, {1}, constant_depth(11)).rows(), 5);
  EXPECT_EQ(estimator._batch_back_project(tags, {1}, constant_depth(9999)).rows(), 5);
  EXPECT_EQ(estimator._batch_back_project(tags, {1}, constant_depth(10000)).rows(), 0);
}

TEST(CameraPoseEstimatorTest, BatchKeepsValidPointsOfPartialTags) {
  const auto estimator = make_estimator();
  cv::Mat depth = constant_depth(1000);
  depth.at<std::uint16_t>(100, 140) = 0;  // second corner of tag 1 has no depth
  const TagMap tags = {{1, square_tag(100, 100)},
                       {2, square_tag(-20, 300)},  // corners 1, 2 and the centre on the image
                       {3, square_tag(400, 300)}};
  cv::Mat holes = depth.clone();
  for (const auto& row : {300, 320, 340}) {
    for (const auto& col : {400, 420, 440}) holes.at<std::uint16_t>(row, col) = 0;
  }
  LogCapture log(kLogger);
  const Points3d points = estimator._batch_back_project(tags, {1, 2, 3}, holes);
  // Tag 1: 4 of 5; tag 2: the 3 points on the image; tag 3: none.
  EXPECT_EQ(points.rows(), 4 + 3);
  EXPECT_NEAR(points(0, 0), 1.0, 1e-7);
  EXPECT_THAT(log.messages(spdlog::level::debug),
              Contains("[Warning] Tag 3 has no valid depth points in range [0.01, 10.0], mask: "
                       "[False False False False False]"));
  EXPECT_THAT(error_of([&] { estimator._batch_back_project(tags, {4}, depth); }), HasSubstr("4"));
}

TEST(CameraPoseEstimatorTest, AlignmentRecoversTranslationAndRotation) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  Points3d X(12, 3);
  for (Eigen::Index i = 0; i < X.rows(); ++i) {
    X.row(i) << 2.0 + uniform(random), uniform(random), uniform(random);
  }
  const Eigen::Vector3d shift(0.3, -0.2, 0.05);
  const auto [R0, t0] = CameraPoseEstimator::_estimate_3d3d(X, X.rowwise() + shift.transpose());
  EXPECT_THAT(R0, EigenNear(Eigen::Matrix3d::Identity(), 1e-12));
  EXPECT_THAT(t0, EigenNear(shift, 1e-12));

  // Extra columns are ignored.
  Eigen::MatrixXd wide(X.rows(), 4);
  wide << X, Eigen::VectorXd::Constant(X.rows(), 99.0);
  const Eigen::Matrix3d R_true =
      Eigen::AngleAxisd(0.4, Eigen::Vector3d(1, 2, 3).normalized()).toRotationMatrix();
  const Points3d Y = (X * R_true.transpose()).rowwise() + shift.transpose();
  const auto [R1, t1] = CameraPoseEstimator::_estimate_3d3d(wide, Y);
  EXPECT_THAT(R1, EigenNear(R_true, 1e-12));
  EXPECT_THAT(t1, EigenNear(shift, 1e-12));

  EXPECT_THROW(CameraPoseEstimator::_estimate_3d3d(X, X.topRows(5)), std::invalid_argument);
}

TEST(CameraPoseEstimatorTest, AlignmentNeverReturnsAReflection) {
  // Coplanar points (one tag, a flat board) leave the third singular vector's sign to chance:
  // without the fix, some of these would come back as reflections.
  std::mt19937 random(11);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  Points3d planar(20, 3);
  for (Eigen::Index i = 0; i < planar.rows(); ++i) {
    planar.row(i) << 1.5, uniform(random), uniform(random);
  }
  for (int trial = 0; trial < 20; ++trial) {
    const Eigen::Matrix3d R_true =
        Eigen::AngleAxisd(
            uniform(random),
            Eigen::Vector3d(uniform(random), uniform(random), uniform(random)).normalized())
            .toRotationMatrix();
    const auto [R, t] = CameraPoseEstimator::_estimate_3d3d(planar, planar * R_true.transpose());
    EXPECT_THAT(R, EigenNear(R_true, 1e-9)) << "trial " << trial;
  }
  // Mirrored points are best fitted by a reflection; the result must still be a rotation.
  Points3d solid(8, 3);
  for (Eigen::Index i = 0; i < solid.rows(); ++i) {
    solid.row(i) << uniform(random), uniform(random), uniform(random);
  }
  Points3d mirrored = solid;
  mirrored.col(2) *= -1.0;
  const auto [R, t] = CameraPoseEstimator::_estimate_3d3d(solid, mirrored);
  EXPECT_NEAR(R.determinant(), 1.0, 1e-12);
  EXPECT_THAT(R * R.transpose(), EigenNear(Eigen::Matrix3d::Identity(), 1e-12));
}

// A fronto-parallel board at 2 m; the camera moves 1 m forward, rolls 90 degrees about its
// forward axis and shifts sideways. Every corner then lands on a whole pixel in both frames
// (offsets from the principal point double and swap axes) and every depth is a whole
// millimetre, so the back-projection sees the exact corners.
TEST(CameraPoseEstimatorTest, RoundTripOnWholePixelsIsExact) {
  BoardOptions board;
  board.origin_x = -0.152;
  board.origin_y = -0.152;
  Eigen::Isometry3d camera1_from_board = Eigen::Isometry3d::Identity();
  camera1_from_board.linear() = camera_facing_board();
  camera1_from_board.translation() = Eigen::Vector3d(2.0, 0.0, 0.0);
  Eigen::Isometry3d camera2_from_camera1 = Eigen::Isometry3d::Identity();
  camera2_from_camera1.linear() = Eigen::AngleAxisd(M_PI / 2, Eigen::Vector3d::UnitX()).matrix();
  camera2_from_camera1.translation() = Eigen::Vector3d(-1.0, 0.05, -0.03);

  const BoardView prev = render_board(kCamera, board, camera1_from_board);
  const BoardView curr = render_board(kCamera, board, camera2_from_camera1 * camera1_from_board);
  for (const auto* view : {&prev, &curr}) {
    for (const auto& [id, points] : view->tags) {
      ASSERT_EQ(points, points.array().round().matrix()) << "tag " << id;
    }
  }
  const auto motion = make_estimator().compute_camera_relative_transform(prev.tags, curr.tags,
                                                                         prev.depth, curr.depth);
  ASSERT_TRUE(motion.success);
  EXPECT_THAT(motion.cam_k1_from_cam_k, EigenNear(camera2_from_camera1.matrix(), 1e-6));
}

// A tilted board and a general motion, depth rounded to whole millimetres and read at the
// nearest pixel: the errors of the 150 points mostly average out.
TEST(CameraPoseEstimatorTest, RoundTripWithQuantisedDepthIsClose) {
  BoardOptions board;
  board.rows = 5;
  board.cols = 6;
  board.origin_x = -0.3;
  board.origin_y = -0.25;
  board.pitch = 0.1;
  Eigen::Isometry3d camera1_from_board = Eigen::Isometry3d::Identity();
  camera1_from_board.linear() =
      camera_facing_board() * Eigen::AngleAxisd(0.4, Eigen::Vector3d(0.3, 1, 0).normalized());
  camera1_from_board.translation() = Eigen::Vector3d(1.6, 0.05, 0.02);
  Eigen::Isometry3d camera2_from_camera1 = Eigen::Isometry3d::Identity();
  camera2_from_camera1.linear() =
      Eigen::AngleAxisd(0.12, Eigen::Vector3d(0.2, -0.3, 1).normalized()).matrix();
  camera2_from_camera1.translation() = Eigen::Vector3d(-0.12, 0.08, 0.04);

  const BoardView prev = render_board(kCamera, board, camera1_from_board);
  const BoardView curr = render_board(kCamera, board, camera2_from_camera1 * camera1_from_board);
  const auto estimator = make_estimator();
  for (const auto* view : {&prev, &curr}) {
    for (const auto& [id, points] : view->tags) {
      ASSERT_EQ(estimator._back_project_tag_points(points, view->depth).rows(), 5)
          << "tag " << id << " should be fully visible";
    }
  }
  const auto motion =
      estimator.compute_camera_relative_transform(prev.tags, curr.tags, prev.depth, curr.depth);
  ASSERT_TRUE(motion.success);
  EXPECT_THAT(motion.cam_k1_from_cam_k,
              IsNearRigidTransform(camera2_from_camera1.matrix(), 0.1, 2.0));
}

}  // namespace
}  // namespace orvalt::draventa
