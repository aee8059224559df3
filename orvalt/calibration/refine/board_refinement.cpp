#include "orvalt/calibration/refine/board_refinement.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>

#include <ceres/ceres.h>
#include <fmt/format.h>
#include <Eigen/Geometry>
#include <opencv2/calib3d.hpp>

#include "orvalt/calibration/refine/refinement_residuals.hpp"

namespace orvalt::calibration {
namespace {

namespace residuals = refine_residuals;

// The weak priors: far wider than any mounting error, so they only matter where the data say
// nothing.
constexpr double kPriorRotationSigma = 1.0;       // radians
constexpr double kPriorTranslationSigma = 1.0;    // metres
constexpr double kPriorTimeOffsetSigma = 1.0;     // seconds
constexpr double kPriorOdometryScaleSigma = 1.0;  // relative error of distance or turn
// Wheel odometry misjudges distance by a few percent at worst; a larger disagreement with the
// board's metric view means the tag size (or the odometry) is wrong.
constexpr double kMaxOdometryDistanceError = 0.1;
// A parameter counts as determined when its 1-sigma is below these: a result less certain
// than that would be a guess beside what the refinement is for, and the optimizer's value
// should stand instead. Gentle arcs leave y at 5 to 15 mm and x at 0.5 mm, a drive with
// turns both at a few hundredths of a millimetre. Turning in place leaves the yaw free; any
// drive leaves it at a few thousandths of a degree.
constexpr double kDeterminedRotationSigma = 5.0 * M_PI / 180.0;  // radians
constexpr double kDeterminedTranslationSigma = 0.003;            // metres
constexpr double kDeterminedTimeOffsetSigma = 0.01;              // seconds
// Odometry noise of a frame step in which the robot does not move: it only keeps the step's
// weight finite. It adds up over the steps like the real noise does, so it must stay far
// below that (at 2e-4 per step it let the yaw wander by 0.2 degrees over 300 frames).
constexpr double kStepSigmaFloorM = 1e-6;
constexpr double kStepSigmaFloorRad = 1e-6;
// Fewer inlier corners than this share means the corners do not describe one static board.
constexpr double kMinInlierShare = 0.5;
// Re-weighting rounds by the noise each kind of residual showed; they stop early once no
// kind's level moves by more than kSettledVarianceChange.
constexpr int kMaxVarianceRounds = 4;
constexpr double kSettledVarianceChange = 0.1;
// Each kind is weighted by the noise its residuals show, within bounds. The floor points of one
// cloud share the depth's errors, so their scatter (0.7 mm on simulated recordings) overstates
// what they know: weighted by it, the height's error came out twice its sigma over ten
// recordings. A floor point never counts as more precise than kMinFloorNoiseM. The corners'
// residuals show their noise as it is (0.008 px on simulated recordings, whose sigmas then
// match the spread over recordings of moved boards); kMinCornerNoisePx only keeps exact data's
// weights finite.
constexpr double kMinFloorNoiseM = 0.001;
constexpr double kMinCornerNoisePx = 0.001;
constexpr double kMaxVarianceFactor = 1e6;

double seconds_between(std::int64_t from_ns, std::int64_t to_ns) {
  return static_cast<double>(to_ns - from_ns) * 1e-9;
}

Eigen::Isometry3d isometry_of_vec6(const Vector6d& vec6) {
  return Eigen::Isometry3d(TransformUtils::vector6_to_transform_matrix(vec6));
}

Eigen::Isometry3d isometry_of_planar(const double pose[3]) {
  Eigen::Isometry3d odom_from_base = Eigen::Isometry3d::Identity();
  odom_from_base.linear() = Eigen::AngleAxisd(pose[2], Eigen::Vector3d::UnitZ()).matrix();
  odom_from_base.translation() << pose[0], pose[1], 0.0;
  return odom_from_base;
}

// Tag corners in the tag's frame, in the detector's order (OpenCV's square-marker convention:
// x right, y up, z out of the tag).
std::array<Eigen::Vector3d, 4> corners_in_tag(double tag_size) {
  const double h = tag_size / 2.0;
  return {Eigen::Vector3d(-h, h, 0), Eigen::Vector3d(h, h, 0), Eigen::Vector3d(h, -h, 0),
          Eigen::Vector3d(-h, -h, 0)};
}

// camera_from_tag in forward-left-up camera axes, from one view of the tag's four corners.
std::optional<Eigen::Isometry3d> tag_in_camera(const apriltag::TagPoints& pixels,
                                               const RefinementInput& input) {
  std::vector<cv::Point3d> object;
  for (const Eigen::Vector3d& corner : corners_in_tag(input.tag_size_m)) {
    object.emplace_back(corner.x(), corner.y(), corner.z());
  }
  std::vector<cv::Point2d> image;
  for (int k = 0; k < 4; ++k) image.emplace_back(pixels(k, 0), pixels(k, 1));
  const common::CameraIntrinsics& camera = input.intrinsics;
  const cv::Matx33d camera_matrix(camera.fx, 0, camera.cx, 0, camera.fy, camera.cy, 0, 0, 1);
  cv::Vec3d rvec, tvec;
  if (!cv::solvePnP(object, image, camera_matrix, cv::noArray(), rvec, tvec, false,
                    cv::SOLVEPNP_IPPE_SQUARE)) {
    return std::nullopt;
  }
  cv::Matx33d rotation;
  cv::Rodrigues(rvec, rotation);
  Eigen::Isometry3d optical_from_tag = Eigen::Isometry3d::Identity();
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) optical_from_tag.linear()(r, c) = rotation(r, c);
    optical_from_tag.translation()(r) = tvec(r);
  }
  Eigen::Isometry3d camera_from_optical = Eigen::Isometry3d::Identity();
  camera_from_optical.linear() << 0, 0, 1, -1, 0, 0, 0, -1, 0;
  return camera_from_optical * optical_from_tag;
}

void validate(const RefinementInput& input) {
  const common::CameraIntrinsics& camera = input.intrinsics;
  if (!(camera.fx > 0 && camera.fy > 0 && std::isfinite(camera.cx) && std::isfinite(camera.cy))) {
    throw std::invalid_argument("Board refinement needs positive focal lengths");
  }
  if (!(input.tag_size_m > 0)) {
    throw std::invalid_argument("Board refinement needs a positive tag size");
  }
  if (input.frames.size() < 2) {
    throw std::invalid_argument("Board refinement needs at least two frames");
  }
  if (!input.initial_vec6.allFinite()) {
    throw std::invalid_argument("Board refinement needs a finite initial extrinsic");
  }
}

// The square root of a cloud's moment matrix, divided by the height sigma.
Eigen::Matrix4d floor_root(const Points3d& points, double sigma) {
  Eigen::Matrix<double, Eigen::Dynamic, 4> homogeneous(points.rows(), 4);
  homogeneous << points, Eigen::VectorXd::Ones(points.rows());
  const Eigen::Matrix4d moments = homogeneous.transpose() * homogeneous;
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix4d> eigen(moments);
  const Eigen::Vector4d roots = eigen.eigenvalues().cwiseMax(0.0).cwiseSqrt();
  return roots.asDiagonal() * eigen.eigenvectors().transpose() / sigma;
}

struct CornerObservation {
  std::size_t frame;
  ceres::ResidualBlockId block;
};

// The residuals of one kind (the corners, the floor). Their stated noise is a guess; the
// group's variance factor says how much larger (or smaller) the residuals showed it to be, and
// the shared loss divides the group's cost by it, so that each kind weighs by its real noise.
struct ResidualGroup {
  // `robust_scale`: the Cauchy loss's scale in stated sigmas; 0 for plain least squares.
  explicit ResidualGroup(double robust_scale = 0.0)
      : robust_scale(robust_scale),
        loss(std::make_unique<ceres::LossFunctionWrapper>(scaled(1.0), ceres::TAKE_OWNERSHIP)) {}

  // The group's loss for a variance factor: the cost is divided by the factor, and a robust
  // loss's scale grows with the noise, so that an outlier's pull stays the same however
  // precise the good residuals turn out to be.
  ceres::LossFunction* scaled(double factor) const {
    ceres::LossFunction* robust =
        robust_scale > 0.0 ? new ceres::CauchyLoss(robust_scale * std::sqrt(factor)) : nullptr;
    return new ceres::ScaledLoss(robust, 1.0 / factor, ceres::TAKE_OWNERSHIP);
  }

  double robust_scale;
  std::unique_ptr<ceres::LossFunctionWrapper> loss;  // shared by the group's blocks
  std::vector<ceres::ResidualBlockId> blocks;
  double variance_factor = 1.0;
};

// A tag that the image's edge cuts still comes out of the detector at times, its clipped
// corners several pixels inside the image; such a tag passes through the same places of every
// drive past the board, so its error would not average out.
bool near_image_border(const Eigen::MatrixX2f& pixels, const common::CameraIntrinsics& intrinsics,
                       double margin_px) {
  if (intrinsics.width <= 0 || intrinsics.height <= 0) return false;
  for (int c = 0; c < 4 && c < pixels.rows(); ++c) {
    const double x = pixels(c, 0);
    const double y = pixels(c, 1);
    if (x < margin_px || y < margin_px || x > intrinsics.width - 1 - margin_px ||
        y > intrinsics.height - 1 - margin_px) {
      return true;
    }
  }
  return false;
}

ceres::Problem::Options problem_options() {
  ceres::Problem::Options options;
  options.loss_function_ownership = ceres::DO_NOT_TAKE_OWNERSHIP;  // the groups own them
  return options;
}

class BoardRefinement {
 public:
  BoardRefinement(const RefinementInput& input, const RefinementOptions& options)
      : input_(input),
        options_(options),
        frames_(input.frames),
        corner_group_(options.robust_loss_scale_px / options.pixel_sigma),
        problem_(problem_options()) {
    std::sort(frames_.begin(), frames_.end(),
              [](const auto& a, const auto& b) { return a.image_stamp_ns < b.image_stamp_ns; });
    for (RefinementFrame& frame : frames_) {
      apriltag::TagMap& tags = frame.tags;
      tags.erase(std::remove_if(tags.begin(), tags.end(),
                                [&](const auto& tag) {
                                  return near_image_border(tag.second, input.intrinsics,
                                                           options.image_border_margin_px);
                                }),
                 tags.end());
    }
    for (std::size_t k = 1; k < frames_.size(); ++k) {
      if (frames_[k].image_stamp_ns == frames_[k - 1].image_stamp_ns) {
        throw std::invalid_argument(
            fmt::format("Two frames share the image stamp {}", frames_[k].image_stamp_ns));
      }
    }
    start_ns_ = frames_.front().image_stamp_ns;
    track_ = std::make_unique<OdometryTrack>(odometry_samples());
    vec6_ = input.initial_vec6;
    time_offset_ = options.initial_time_offset_s;
    determined_[6] = options.estimate_time_offset;
  }

  RefinementResult run() {
    RefinementResult result;
    initialise_poses();
    if (tag_poses_.empty()) {
      result.failure_reason = "no tag could be located in any frame";
      return result;
    }
    build_problem();

    ceres::Solver::Summary summary = solve();
    for (int round = 0; round < kMaxVarianceRounds && reweight_by_residuals(); ++round) {
      summary = solve();
    }
    std::optional<Eigen::Matrix<double, 7, 7>> covariance = covariance_of_extrinsic();
    if (covariance && hold_undetermined(*covariance)) {
      summary = solve();
      covariance = covariance_of_extrinsic();
    }

    result.converged = summary.termination_type == ceres::CONVERGENCE;
    result.solver_message = summary.message;
    result.iterations = static_cast<int>(summary.iterations.size()) - 1;
    result.vec6 = vec6_;
    result.extrinsic = TransformUtils::vector6_to_transform_matrix(vec6_);
    result.time_offset_s = time_offset_;
    report_sigmas(covariance, result);
    report_noise(result);
    report_reprojection(result);
    judge(result);
    return result;
  }

 private:
  std::vector<OdometrySample> odometry_samples() const {
    std::map<std::int64_t, PlanarPose> by_stamp;
    if (input_.odometry.size() >= 2) {
      for (const StampedPlanarPose& sample : input_.odometry) {
        by_stamp.emplace(sample.stamp_ns, sample.pose);
      }
    } else {
      for (const RefinementFrame& frame : frames_) {
        by_stamp.emplace(frame.odometry_stamp_ns, frame.base_in_odom);
      }
    }
    std::vector<OdometrySample> samples;
    for (const auto& [stamp, pose] : by_stamp) {
      samples.push_back({seconds_between(start_ns_, stamp), pose});
    }
    return samples;
  }

  double frame_time(std::size_t k) const {
    return seconds_between(start_ns_, frames_[k].image_stamp_ns);
  }

  // Frame poses from the odometry at the offset stamps; each tag from the first frame that
  // locates it, carried into odom through that frame's pose and X.
  void initialise_poses() {
    const Eigen::Isometry3d base_from_camera = isometry_of_vec6(vec6_);
    base_poses_.resize(frames_.size());
    for (std::size_t k = 0; k < frames_.size(); ++k) {
      track_->pose_at(frame_time(k) + time_offset_, base_poses_[k].data());
      for (const auto& [id, pixels] : frames_[k].tags) {
        if (pixels.rows() < 4 || tag_poses_.count(id) != 0) continue;
        const std::optional<Eigen::Isometry3d> camera_from_tag = tag_in_camera(pixels, input_);
        if (!camera_from_tag) continue;
        const Eigen::Isometry3d odom_from_tag =
            isometry_of_planar(base_poses_[k].data()) * base_from_camera * *camera_from_tag;
        const Eigen::AngleAxisd rotation(odom_from_tag.linear());
        Vector6d pose;
        pose << rotation.angle() * rotation.axis(), odom_from_tag.translation();
        tag_poses_.emplace(id, pose);
      }
    }
  }

  void build_problem() {
    problem_.AddParameterBlock(vec6_.data(), 6);
    problem_.AddParameterBlock(&time_offset_, 1);
    if (!options_.estimate_time_offset) problem_.SetParameterBlockConstant(&time_offset_);
    problem_.AddParameterBlock(odometry_scale_errors_.data(), 2);

    const auto corners = corners_in_tag(input_.tag_size_m);
    const common::CameraIntrinsics& intrinsics = input_.intrinsics;
    for (std::size_t k = 0; k < frames_.size(); ++k) {
      problem_.AddParameterBlock(base_poses_[k].data(), 3);
      for (const auto& [id, pixels] : frames_[k].tags) {
        const auto tag = tag_poses_.find(id);
        if (pixels.rows() < 4 || tag == tag_poses_.end()) continue;
        for (int c = 0; c < 4; ++c) {
          auto* cost = new ceres::AutoDiffCostFunction<residuals::CornerReprojection, 2, 6, 3, 6>(
              new residuals::CornerReprojection{intrinsics, corners[c],
                                                Eigen::Vector2d(pixels(c, 0), pixels(c, 1)),
                                                options_.pixel_sigma});
          const ceres::ResidualBlockId block =
              problem_.AddResidualBlock(cost, corner_group_.loss.get(), vec6_.data(),
                                        base_poses_[k].data(), tag->second.data());
          corners_.push_back({k, block});
          corner_group_.blocks.push_back(block);
        }
      }
    }
    // The odometry frame is only known up to where the first frame stands.
    problem_.SetParameterBlockConstant(base_poses_.front().data());

    for (std::size_t k = 0; k + 1 < frames_.size(); ++k) {
      auto* functor = new residuals::OdometryBetween{track_.get(), frame_time(k), frame_time(k + 1),
                                                     step_sigma(k)};
      problem_.AddResidualBlock(
          new ceres::AutoDiffCostFunction<residuals::OdometryBetween, 3, 3, 3, 1, 2>(functor),
          nullptr, base_poses_[k].data(), base_poses_[k + 1].data(), &time_offset_,
          odometry_scale_errors_.data());
    }

    for (const Points3d& cloud : input_.floor_points) {
      if (cloud.rows() < 3) continue;
      floor_group_.blocks.push_back(problem_.AddResidualBlock(
          new ceres::AutoDiffCostFunction<residuals::FloorHeights, 4, 6>(
              new residuals::FloorHeights{floor_root(cloud, options_.floor_sigma_m)}),
          floor_group_.loss.get(), vec6_.data()));
      floor_point_count_ += static_cast<int>(cloud.rows());
    }

    Vector6d prior_sigma;
    prior_sigma << Eigen::Vector3d::Constant(kPriorRotationSigma),
        Eigen::Vector3d::Constant(kPriorTranslationSigma);
    problem_.AddResidualBlock(new ceres::AutoDiffCostFunction<residuals::WeakPrior<6>, 6, 6>(
                                  new residuals::WeakPrior<6>{vec6_, prior_sigma}),
                              nullptr, vec6_.data());
    problem_.AddResidualBlock(
        new ceres::AutoDiffCostFunction<residuals::WeakPrior<1>, 1, 1>(
            new residuals::WeakPrior<1>{Eigen::Matrix<double, 1, 1>(time_offset_),
                                        Eigen::Matrix<double, 1, 1>(kPriorTimeOffsetSigma)}),
        nullptr, &time_offset_);
    // A drive without turns says nothing about the turn's error.
    problem_.AddResidualBlock(
        new ceres::AutoDiffCostFunction<residuals::WeakPrior<2>, 2, 2>(new residuals::WeakPrior<2>{
            Eigen::Vector2d::Zero(), Eigen::Vector2d::Constant(kPriorOdometryScaleSigma)}),
        nullptr, odometry_scale_errors_.data());
  }

  // Odometry noise grows as a random walk with the distance driven and the angle turned, so a
  // step's variance is proportional to its length, whatever the frame rate.
  Eigen::Vector3d step_sigma(std::size_t k) const {
    const PlanarPose from = track_->pose_at(frame_time(k) + time_offset_);
    const PlanarPose to = track_->pose_at(frame_time(k + 1) + time_offset_);
    const double distance = std::hypot(to.x - from.x, to.y - from.y);
    const double turn = std::abs(to.yaw - from.yaw);
    const double translation = std::sqrt(std::pow(options_.odometry_noise_per_metre, 2) * distance +
                                         std::pow(kStepSigmaFloorM, 2));
    const double yaw = std::sqrt(std::pow(options_.odometry_yaw_noise_per_radian, 2) * turn +
                                 std::pow(options_.odometry_yaw_noise_per_metre, 2) * distance +
                                 std::pow(kStepSigmaFloorRad, 2));
    // A base whose wheels do not slide sideways errs sideways only through the heading's
    // error within the step (a random walk over the step's length).
    const double across =
        std::sqrt(std::pow(distance * yaw, 2) / 3.0 +
                  std::pow(options_.odometry_sideways_noise_per_metre, 2) * distance +
                  std::pow(kStepSigmaFloorM, 2));
    return {translation, across, yaw};
  }

  // The floor clouds' sum of squared whitened heights, before any loss.
  double floor_squared_sum() const {
    double sum = 0.0;
    double residual[4];
    for (const ceres::ResidualBlockId block : floor_group_.blocks) {
      problem_.EvaluateResidualBlock(block, false, nullptr, residual, nullptr);
      for (const double value : residual) sum += value * value;
    }
    return sum;
  }

  // The corners' noise per coordinate, in stated sigmas squared, from the median of their
  // squared whitened coordinates (that of a unit normal's square is 0.4549), so that outliers
  // cannot inflate the noise every good corner is weighted by.
  double corner_variance() const {
    std::vector<double> squared;
    squared.reserve(2 * corner_group_.blocks.size());
    double residual[2];
    for (const ceres::ResidualBlockId block : corner_group_.blocks) {
      problem_.EvaluateResidualBlock(block, false, nullptr, residual, nullptr);
      squared.push_back(residual[0] * residual[0]);
      squared.push_back(residual[1] * residual[1]);
    }
    const auto middle = squared.begin() + static_cast<std::ptrdiff_t>(squared.size() / 2);
    std::nth_element(squared.begin(), middle, squared.end());
    constexpr double kMedianOfChiSquare1 = 0.4549;
    return *middle / kMedianOfChiSquare1;
  }

  // Variance components in their simplest form: each kind's factor is its whitened sum of
  // squares over its redundancy, bounded below (see above), and its loss divides by it. The
  // odometry keeps its stated model: its residuals are as many as the frame poses they hold,
  // so their size says little about its noise. True while some factor still moved, so that
  // the problem must be solved again.
  bool reweight_by_residuals() {
    corner_variance_ = corner_variance();
    const double observations = 2.0 * corner_group_.blocks.size();
    const double unknowns = 6.0 * tag_poses_.size() + 3.0 * (frames_.size() - 1);
    bool moved = set_variance_factor(
        corner_group_, corner_variance_ * observations / std::max(1.0, observations - unknowns),
        std::pow(kMinCornerNoisePx / options_.pixel_sigma, 2));
    if (!floor_group_.blocks.empty()) {
      // Each cloud's few residuals stand for all its points; three of their unknowns (the
      // floor's tilt and height) are the floor's own.
      floor_variance_ = floor_squared_sum() / std::max(1.0, floor_point_count_ - 3.0);
      moved = set_variance_factor(floor_group_, floor_variance_,
                                  std::pow(kMinFloorNoiseM / options_.floor_sigma_m, 2)) ||
              moved;
    }
    return moved;
  }

  static bool set_variance_factor(ResidualGroup& group, double factor, double min_factor) {
    factor = std::clamp(factor, min_factor, kMaxVarianceFactor);
    const bool moved = std::abs(factor / group.variance_factor - 1.0) > kSettledVarianceChange;
    group.variance_factor = factor;
    group.loss->Reset(group.scaled(factor), ceres::TAKE_OWNERSHIP);
    return moved;
  }

  ceres::Solver::Summary solve() {
    ceres::Solver::Options solver;
    solver.linear_solver_type = ceres::SPARSE_NORMAL_CHOLESKY;
    solver.max_num_iterations = options_.max_iterations;
    solver.num_threads = std::max(1, options_.threads);
    // Exact data must come out exact: stop on the parameters, not on a relative cost change.
    solver.function_tolerance = 1e-14;
    solver.gradient_tolerance = 1e-14;
    solver.parameter_tolerance = 1e-12;
    solver.logging_type = ceres::SILENT;
    ceres::Solver::Summary summary;
    ceres::Solve(solver, &problem_, &summary);
    return summary;
  }

  // Unscaled covariance of (rx, ry, rz, tx, ty, tz, time offset), or nothing when the solver
  // cannot invert the normal equations.
  std::optional<Eigen::Matrix<double, 7, 7>> covariance_of_extrinsic() {
    ceres::Covariance::Options covariance_options;
    covariance_options.algorithm_type = ceres::SPARSE_QR;
    covariance_options.num_threads = std::max(1, options_.threads);
    ceres::Covariance covariance(covariance_options);
    const std::vector<std::pair<const double*, const double*>> blocks = {
        {vec6_.data(), vec6_.data()},
        {vec6_.data(), &time_offset_},
        {&time_offset_, &time_offset_}};
    if (!covariance.Compute(blocks, &problem_)) return std::nullopt;
    Eigen::Matrix<double, 7, 7> result = Eigen::Matrix<double, 7, 7>::Zero();
    Eigen::Matrix<double, 6, 6, Eigen::RowMajor> extrinsic;
    Eigen::Matrix<double, 6, 1> cross;
    covariance.GetCovarianceBlock(vec6_.data(), vec6_.data(), extrinsic.data());
    covariance.GetCovarianceBlock(vec6_.data(), &time_offset_, cross.data());
    covariance.GetCovarianceBlock(&time_offset_, &time_offset_, &result(6, 6));
    result.topLeftCorner<6, 6>() = extrinsic;
    result.block<6, 1>(0, 6) = cross;
    result.block<1, 6>(6, 0) = cross.transpose();
    return result;
  }

  static Eigen::Matrix<double, 7, 1> determined_sigmas() {
    Eigen::Matrix<double, 7, 1> sigma;
    sigma << Eigen::Vector3d::Constant(kDeterminedRotationSigma),
        Eigen::Vector3d::Constant(kDeterminedTranslationSigma), kDeterminedTimeOffsetSigma;
    return sigma;
  }

  // Holds every parameter that the data leave undetermined at its starting value, so that the
  // prior's value stands rather than a guess the weak prior happened to settle on. True when
  // something changed and the problem must be solved again.
  bool hold_undetermined(const Eigen::Matrix<double, 7, 7>& covariance) {
    const Eigen::Matrix<double, 7, 1> share = sigmas(covariance).cwiseQuotient(determined_sigmas());
    std::vector<int> held;
    for (int i = 0; i < 6; ++i) {
      determined_[i] = share(i) < 1.0;
      if (!determined_[i]) {
        held.push_back(i);
        vec6_(i) = input_.initial_vec6(i);
      }
    }
    determined_[6] = options_.estimate_time_offset && share(6) < 1.0;
    bool changed = !held.empty();
    if (changed) {
      problem_.SetManifold(vec6_.data(), new ceres::SubsetManifold(6, held));
    }
    if (options_.estimate_time_offset && !determined_[6]) {
      time_offset_ = options_.initial_time_offset_s;
      problem_.SetParameterBlockConstant(&time_offset_);
      changed = true;
    }
    return changed;
  }

  // One standard deviation per parameter: every kind is weighted by the noise it showed, within
  // the bounds above, so the covariance needs no further scaling.
  static Eigen::Matrix<double, 7, 1> sigmas(const Eigen::Matrix<double, 7, 7>& covariance) {
    return covariance.diagonal().cwiseMax(0.0).cwiseSqrt();
  }

  void report_sigmas(const std::optional<Eigen::Matrix<double, 7, 7>>& covariance,
                     RefinementResult& result) const {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (!covariance) {
      result.vec6_sigma.setConstant(nan);
      result.time_offset_sigma_s = nan;
      return;
    }
    const Eigen::Matrix<double, 7, 1> sigma = sigmas(*covariance);
    for (int i = 0; i < 6; ++i) {
      result.vec6_determined[i] = determined_[i];
      result.vec6_sigma(i) = determined_[i] ? sigma(i) : nan;
    }
    result.time_offset_determined = determined_[6];
    result.time_offset_sigma_s = determined_[6] ? sigma(6) : nan;
  }

  void report_noise(RefinementResult& result) const {
    result.corner_noise_px = options_.pixel_sigma * std::sqrt(corner_variance_);
    result.floor_noise_m =
        floor_group_.blocks.empty() ? 0.0 : options_.floor_sigma_m * std::sqrt(floor_variance_);
    result.odometry_scale_errors = odometry_scale_errors_;
  }

  void report_reprojection(RefinementResult& result) const {
    std::vector<double> frame_sum(frames_.size(), 0.0);
    std::vector<int> frame_count(frames_.size(), 0);
    double inlier_sum = 0.0;
    int inliers = 0;
    double residual[2];
    for (const CornerObservation& corner : corners_) {
      problem_.EvaluateResidualBlock(corner.block, false, nullptr, residual, nullptr);
      const double squared_px = (residual[0] * residual[0] + residual[1] * residual[1]) *
                                options_.pixel_sigma * options_.pixel_sigma;
      frame_sum[corner.frame] += squared_px;
      ++frame_count[corner.frame];
      if (squared_px <= options_.outlier_threshold_px * options_.outlier_threshold_px) {
        inlier_sum += squared_px;
        ++inliers;
      }
    }
    result.corners_used = static_cast<int>(corners_.size());
    result.outlier_corners = result.corners_used - inliers;
    result.tags_used = static_cast<int>(tag_poses_.size());
    result.reprojection_rms_px = inliers > 0 ? std::sqrt(inlier_sum / inliers) : 0.0;
    for (std::size_t k = 0; k < frames_.size(); ++k) {
      if (frame_count[k] == 0) continue;
      ++result.frames_used;
      const double rms = std::sqrt(frame_sum[k] / frame_count[k]);
      result.frame_rms_px.emplace_back(frames_[k].image_stamp_ns, rms);
      if (rms >= result.worst_frame_rms_px) {
        result.worst_frame_rms_px = rms;
        result.worst_frame_stamp_ns = frames_[k].image_stamp_ns;
      }
    }
  }

  void judge(RefinementResult& result) const {
    if (!result.converged) {
      result.failure_reason = "the solver did not converge: " + result.solver_message;
    } else if (result.corners_used == 0 || result.corners_used - result.outlier_corners <
                                               kMinInlierShare * result.corners_used) {
      result.failure_reason =
          fmt::format("{} of {} corners are more than {:.1f} px off, too many for one static board",
                      result.outlier_corners, result.corners_used, options_.outlier_threshold_px);
    } else if (result.reprojection_rms_px > options_.max_rms_px) {
      result.failure_reason = fmt::format("reprojection RMS {:.3f} px exceeds {:.3f} px",
                                          result.reprojection_rms_px, options_.max_rms_px);
    } else if (std::abs(result.odometry_scale_errors(0)) > kMaxOdometryDistanceError) {
      result.failure_reason = fmt::format(
          "the odometry's distances are {:+.1f} % off the board's (at most {:.0f} % is "
          "plausible): is the tag size right?",
          100.0 * result.odometry_scale_errors(0), 100.0 * kMaxOdometryDistanceError);
    }
    result.success = result.failure_reason.empty();
  }

  const RefinementInput& input_;
  const RefinementOptions& options_;
  std::vector<RefinementFrame> frames_;  // by image stamp
  std::int64_t start_ns_ = 0;
  std::unique_ptr<OdometryTrack> track_;

  Vector6d vec6_;
  double time_offset_ = 0.0;
  Eigen::Vector2d odometry_scale_errors_ = Eigen::Vector2d::Zero();  // of distance, of turn
  std::vector<Eigen::Vector3d> base_poses_;                          // x, y, yaw per frame
  std::map<int, Vector6d> tag_poses_;  // angle-axis, translation: odom_from_tag
  std::array<bool, 7> determined_{true, true, true, true, true, true, true};  // last: offset

  // Declared before the problem, whose blocks use their losses.
  ResidualGroup corner_group_;
  ResidualGroup floor_group_;
  // What the residuals showed, in stated variances, before the bounds.
  double corner_variance_ = 1.0;
  double floor_variance_ = 1.0;
  int floor_point_count_ = 0;

  ceres::Problem problem_;
  std::vector<CornerObservation> corners_;
};

}  // namespace

RefinementResult refine_with_board(const RefinementInput& input, const RefinementOptions& options) {
  validate(input);
  return BoardRefinement(input, options).run();
}

}  // namespace orvalt::calibration
