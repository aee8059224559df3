#include "orvalt/calibration/pellitor/varnholt_optimizer.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <tuple>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <open3d/geometry/PointCloud.h>
#include <open3d/io/PointCloudIO.h>
#include <Eigen/LU>
#include <Eigen/SVD>

#include "orvalt/common/angles.hpp"
#include "orvalt/common/logger.hpp"

namespace orvalt::calibration {
namespace {

using common::kPi;

// A run ends when a fresh pass of the minimiser moves no parameter by more than this (radians
// or metres): far below what a calibration can resolve (1e-6 rad is 6e-5 degrees), yet above
// the wander that the rounding noise of finite-difference gradients allows at the minimum.
constexpr double kSettledStep = 1e-6;

// Iterations over which the relative decrease is measured: one per parameter.
constexpr int kDecreaseWindow = 6;

std::shared_ptr<spdlog::logger> module_logger() {
  return common::logger("orvalt.calibration.pellitor");
}

std::string shape_text(const Eigen::Index size) { return fmt::format("({},)", size); }

void check_vec6(const VarnholtOptimizer::VectorRef& vec6) {
  if (vec6.size() != 6) {
    throw std::invalid_argument("Input vector must be (6,), got " + shape_text(vec6.size()));
  }
}

// numpy.isclose with its default tolerances.
bool is_close(double value, double expected) {
  return std::abs(value - expected) <= 1e-8 + 1e-5 * std::abs(expected);
}

void check_homogeneous(const Eigen::Matrix4d& motion, const char* kind, std::size_t index) {
  const std::string name = fmt::format("{} matrix {}", kind, index);
  if (!is_close(motion(3, 0), 0.0) || !is_close(motion(3, 1), 0.0) ||
      !is_close(motion(3, 2), 0.0) || !is_close(motion(3, 3), 1.0)) {
    throw std::invalid_argument(name + " must be a valid homogeneous transformation matrix");
  }
}

// The angle of a rotation, arccos((trace - 1) / 2), taken as atan2(sin, cos) with the sine
// from the antisymmetric part. Near zero, where every pair of a good calibration sits, arccos
// of a cosine rounded to 1e-16 is off by 1e-8 rad; that rounding noise, divided by the 1e-8
// gradient step, swamped the gradient of weakly held parameters such as yaw. The sine is
// exact to 1e-16 absolute there. Rounding beyond 1 cannot produce an invalid angle either.
double rotation_angle(const Eigen::Matrix3d& R) {
  const Eigen::Vector3d twice_sine_axis(R(2, 1) - R(1, 2), R(0, 2) - R(2, 0), R(1, 0) - R(0, 1));
  return std::atan2(twice_sine_axis.norm() / 2.0, (R.trace() - 1.0) / 2.0);
}

// Cauchy loss with scale c: about r^2 for |r| << c, logarithmic beyond.
double cauchy(double r, double c) { return c * c * std::log(1.0 + r * r / (c * c)); }

// theta^2 + 0.1 |dt|^2 of one motion pair at X: theta the angle of R_AX R_XB^T, dt = t_AX - t_XB.
double pair_error(const Eigen::Matrix4d& A, const Eigen::Matrix4d& B, const Eigen::Matrix4d& X) {
  const Eigen::Matrix3d R_X = X.block<3, 3>(0, 0);
  const Eigen::Vector3d t_X = X.block<3, 1>(0, 3);
  const Eigen::Matrix3d R_AX = A.block<3, 3>(0, 0) * R_X;
  const Eigen::Matrix3d R_XB = R_X * B.block<3, 3>(0, 0);
  const Eigen::Vector3d t_AX = A.block<3, 3>(0, 0) * t_X + A.block<3, 1>(0, 3);
  const Eigen::Vector3d t_XB = R_X * B.block<3, 1>(0, 3) + t_X;
  const double theta = rotation_angle(R_AX * R_XB.transpose());
  return theta * theta + 0.1 * (t_AX - t_XB).squaredNorm();
}

// rho_c(1 - |n_z|) of one ground plane, n its normal rotated into the base frame by R.
double plane_error(const Eigen::Vector3d& camera_normal, const Eigen::Matrix3d& R, double c) {
  Eigen::Vector3d n = R * camera_normal;
  n /= n.norm() + 1e-8;
  const double cos = std::clamp(n.z(), -1.0, 1.0);
  return cauchy(1.0 - std::abs(cos), c);
}

Eigen::Matrix4d transform_of(const VarnholtOptimizer::VectorRef& vec6) {
  return TransformUtils::vector6_to_transform_matrix(Vector6d(vec6));
}

// The finite points of a ground cloud. A point that is not a number (a depth camera marks
// pixels without depth so) would make every term of the objective NaN, and the minimiser would
// hand back its start point as if it had converged; it is dropped with a warning instead.
Points3d read_ground_points(const std::filesystem::path& file) {
  open3d::geometry::PointCloud cloud;
  open3d::io::ReadPointCloud(file.string(), cloud);
  const auto finite_end = std::remove_if(cloud.points_.begin(), cloud.points_.end(),
                                         [](const Eigen::Vector3d& p) { return !p.allFinite(); });
  const auto dropped = std::distance(finite_end, cloud.points_.end());
  if (dropped > 0) {
    module_logger()->warn("Dropped {} of {} points of {}: not finite numbers", dropped,
                          cloud.points_.size(), file.string());
    cloud.points_.erase(finite_end, cloud.points_.end());
  }
  const auto count = static_cast<Eigen::Index>(cloud.points_.size());
  if (count == 0) return Points3d(0, 3);
  return Eigen::Map<const Eigen::Matrix<double, 3, Eigen::Dynamic>>(cloud.points_[0].data(), 3,
                                                                    count)
      .transpose();
}

double mean_or(const std::vector<double>& values, double empty_value) {
  if (values.empty()) return empty_value;
  double sum = 0.0;
  for (const double value : values) sum += value;
  return sum / static_cast<double>(values.size());
}

double weighted_total(const ResidualTerms& terms, const CalibOptimizerConfig& cfg) {
  return cfg.w_axxb * terms.axxb + cfg.w_normal * terms.ground_normal + cfg.w_z * terms.ground_z +
         cfg.w_xy * terms.xy_prior;
}

// A NaN objective stops L-BFGS-B at its start point, which would otherwise pass for a result:
// throws std::runtime_error naming the terms that are not finite when the minimiser ended on
// an objective, point or gradient that is not finite.
void check_finite_objective(const MinimizeResult& result, const ResidualTerms& terms) {
  if (std::isfinite(result.fun) && result.x.allFinite() && result.jac.allFinite()) return;
  const std::array<std::pair<const char*, double>, 4> named_terms = {
      std::pair{"AX=XB term (the motion pairs)", terms.axxb},
      {"ground normal term (the ground clouds)", terms.ground_normal},
      {"ground height term (the ground clouds)", terms.ground_z},
      {"prior term (the initial extrinsic)", terms.xy_prior}};
  std::vector<std::string> culprits;
  for (const auto& [name, value] : named_terms) {
    if (!std::isfinite(value)) culprits.push_back(fmt::format("the {} is {}", name, value));
  }
  if (culprits.empty()) culprits.emplace_back("its gradient is not finite near the result");
  throw std::runtime_error(fmt::format(
      "The objective is not a finite number ({}): {}; the inputs hold values that are not "
      "finite numbers, so there is no result",
      result.fun, fmt::join(culprits, ", ")));
}

// A non-finite vector is not reported: its single warning says all there is.
void log_validation(const Vector6d& vec6, const ValidationResult& record) {
  if (!vec6.allFinite()) return;
  const auto logger = module_logger();
  if (record.warnings.empty()) {
    logger->info("✓ Result validation passed");
  } else {
    logger->info("⚠ Validation Warnings:");
    for (const auto& warning : record.warnings) logger->info("  - {}", warning);
  }
}

void log_accuracy(const AccuracyMetrics& metrics) {
  const auto logger = module_logger();
  logger->info("Accuracy Metrics:");
  logger->info("  AX=XB Rotation RMSE: {:.6f}", metrics.axxb_rotation_rmse);
  logger->info("  AX=XB Translation RMSE: {:.6f}", metrics.axxb_translation_rmse);
  logger->info("  Ground Normal RMSE: {:.6f} (rad), deg={:.6f}(deg)", metrics.ground_normal_rmse,
               common::rad_to_deg(metrics.ground_normal_rmse));
  logger->info("  Ground Z RMSE: {:.6f} (m)", metrics.ground_z_rmse);
  logger->info("  Valid Ground Planes: {}", metrics.num_valid_ground_planes);
}

}  // namespace

std::string gradient_grade(double largest_gradient) {
  if (largest_gradient < 1e-6) return "Excellent";
  if (largest_gradient < 1e-5) return "Good";
  if (largest_gradient < 1e-4) return "Qualified";
  if (largest_gradient < 1e-3) return "Marginal";
  return "Poor";
}

ValidationResult validation_record(const Vector6d& vec6) {
  ValidationResult record;
  if (!vec6.allFinite()) {
    record.valid = false;
    record.warnings.push_back("Result contains NaN or infinite values");
    return record;
  }
  record.rotation_norm = vec6.head<3>().norm();
  record.translation_norm = vec6.tail<3>().norm();
  if (*record.rotation_norm > kPi) {
    record.warnings.push_back(
        fmt::format("Large rotation magnitude: {:.3f} rad", *record.rotation_norm));
  }
  if (*record.translation_norm > 3.0) {
    record.warnings.push_back(
        fmt::format("Large translation magnitude: {:.3f} m", *record.translation_norm));
  }
  try {
    const Eigen::Matrix4d X = TransformUtils::vector6_to_transform_matrix(vec6);
    record.transformation_matrix = X;
    const Eigen::Matrix3d R = X.block<3, 3>(0, 0);
    const double determinant = R.determinant();
    if (std::abs(determinant - 1.0) > 1e-4) {
      record.warnings.push_back(
          fmt::format("Rotation determinant deviates from 1: {:.6f}", determinant));
    }
    const double orthogonality = (R * R.transpose() - Eigen::Matrix3d::Identity()).norm();
    if (orthogonality > 1e-6) {
      record.warnings.push_back(
          fmt::format("Rotation matrix not orthogonal: error {:.6f}", orthogonality));
    }
  } catch (const std::exception& error) {
    record.valid = false;
    record.warnings.push_back(std::string("Failed to create transformation matrix: ") +
                              error.what());
  }
  return record;
}

void log_optimization_summary(const OptimizationSummary& summary) {
  const MinimizeResult& result = summary.minimization;
  const auto logger = module_logger();
  logger->info("\n=============== Optimize Done ===============");
  logger->info("Optimization results:");
  logger->info("Optimization successful: {}", result.success ? "True" : "False");
  logger->info("Iterations: {}", result.nit);
  logger->info("Objective function value: {:.6f}", result.fun);
  logger->info("Number of iterations: {}", result.nit);
  logger->info("Function Evaluations: {}", result.nfev);
  logger->info("Message: {}", result.message);
  const Vector6d& x = summary.vec6;
  logger->info("Optimized vector6: [{:.8f}]", fmt::join(x.data(), x.data() + 6, " "));
  if (!result.success) logger->error("Optimization failed: {}", result.message);
  if (result.jac.size() > 0) {
    logger->info("Gradient Convergence = {:.6e}, [{}]", summary.largest_gradient,
                 gradient_grade(summary.largest_gradient));
  }
  log_validation(summary.vec6, summary.validation);
  log_accuracy(summary.accuracy);
}

VarnholtOptimizer::VarnholtOptimizer(std::vector<Eigen::Matrix4d> odom_data_list,
                                     std::vector<Eigen::Matrix4d> camera_data_list,
                                     const std::filesystem::path& camera_ground_points_dir,
                                     const Vector6dBounds& extrinsic_bound,
                                     const Vector6d& extrinsic_init_vec6)
    : initial_vec6_(extrinsic_init_vec6), extrinsic_bound_(extrinsic_bound) {
  if (odom_data_list.size() != camera_data_list.size()) {
    throw std::invalid_argument("A and B motion pairs must match");
  }
  for (std::size_t i = 0; i < camera_data_list.size(); ++i) {
    check_homogeneous(camera_data_list[i], "Camera", i);
  }
  for (std::size_t i = 0; i < odom_data_list.size(); ++i) {
    check_homogeneous(odom_data_list[i], "Odom", i);
  }
  const Vector6d& init = extrinsic_init_vec6;
  if ((init.head<3>().array() < -kPi).any() || (init.head<3>().array() > kPi).any()) {
    throw std::invalid_argument(
        fmt::format("Rotation angles must be in [-π, π] 内！\nrx={:.4f}, ry={:.4f}, rz={:.4f}",
                    init(0), init(1), init(2)));
  }
  for (std::size_t i = 0; i < extrinsic_bound.size(); ++i) {
    const auto [low, high] = extrinsic_bound[i];
    if (low > high) {
      throw std::invalid_argument(
          fmt::format("extrinsic_bound[{}] must be a tuple (min, max), got low={:.4f}, high={:.4f}",
                      i, low, high));
    }
  }
  for (int i = 0; i < 6; ++i) {
    const auto [low, high] = extrinsic_bound[i];
    if (!(low <= init(i) && init(i) <= high)) {
      throw std::invalid_argument(fmt::format(
          "Initial value out of bounds! Parameter[{}] = {:.4f}, Bound: [{:.4f}, {:.4f}]", i,
          init(i), low, high));
    }
  }

  if (!std::filesystem::is_directory(camera_ground_points_dir)) {
    throw std::invalid_argument("Camera ground points directory " +
                                camera_ground_points_dir.string() + " does not exist");
  }
  std::vector<std::filesystem::path> ground_files;
  for (const auto& entry : std::filesystem::directory_iterator(camera_ground_points_dir)) {
    const std::string name = entry.path().filename().string();
    if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".ply") == 0) {
      ground_files.push_back(entry.path());
    }
  }
  if (ground_files.size() < 3) {
    throw std::invalid_argument(
        fmt::format("Camera ground points directory {} must contain at least 3 files, got {}",
                    camera_ground_points_dir.string(), ground_files.size()));
  }
  for (const auto& file : ground_files) camera_ground_points_.push_back(read_ground_points(file));
  for (std::size_t i = 0; i < camera_ground_points_.size(); ++i) {
    if (camera_ground_points_[i].rows() < 3) {
      throw std::invalid_argument(
          fmt::format("Ground points {} must have at least 3 points, got {}", i,
                      camera_ground_points_[i].rows()));
    }
  }

  A_list_ = std::move(odom_data_list);
  B_list_ = std::move(camera_data_list);
  num_motions_ = static_cast<int>(A_list_.size());
  iter_ = 0;

  // The base-frame points of a cloud are R p + t, so their centred matrix is the camera one
  // times R^T and its right singular vectors are R times the camera ones: the plane normal
  // needs one decomposition here instead of one per evaluation.
  Eigen::Index total_points = 0;
  for (const auto& points : camera_ground_points_) {
    const Eigen::MatrixXd centred = points.rowwise() - points.colwise().mean();
    const Eigen::JacobiSVD<Eigen::MatrixXd> svd(centred, Eigen::ComputeThinV);
    camera_plane_normals_.push_back(svd.matrixV().col(2));
    total_points += points.rows();
  }
  ground_x_.resize(total_points);
  ground_y_.resize(total_points);
  ground_z_.resize(total_points);
  Eigen::Index offset = 0;
  for (const auto& points : camera_ground_points_) {
    ground_x_.segment(offset, points.rows()) = points.col(0);
    ground_y_.segment(offset, points.rows()) = points.col(1);
    ground_z_.segment(offset, points.rows()) = points.col(2);
    offset += points.rows();
  }
}

double VarnholtOptimizer::_residual_axxb(const VectorRef& vec6) const {
  check_vec6(vec6);
  const Eigen::Matrix4d X = transform_of(vec6);
  double err = 0.0;
  for (std::size_t i = 0; i < A_list_.size(); ++i) err += pair_error(A_list_[i], B_list_[i], X);
  return err / std::max(num_motions_, 1);
}

std::vector<double> VarnholtOptimizer::axxb_pair_errors(const VectorRef& vec6) const {
  check_vec6(vec6);
  const Eigen::Matrix4d X = transform_of(vec6);
  std::vector<double> errors;
  for (std::size_t i = 0; i < A_list_.size(); ++i) {
    errors.push_back(pair_error(A_list_[i], B_list_[i], X));
  }
  return errors;
}

double VarnholtOptimizer::_residual_xy_prior(const VectorRef& vec6, double tx_prior,
                                             double ty_prior) const {
  if (vec6.size() < 5) {
    throw std::invalid_argument("Input vector must be (6,), got " + shape_text(vec6.size()));
  }
  return (vec6(3) - tx_prior) * (vec6(3) - tx_prior) + (vec6(4) - ty_prior) * (vec6(4) - ty_prior);
}

double VarnholtOptimizer::_residual_ground_normal(const VectorRef& vec6, double c) const {
  check_vec6(vec6);
  const Eigen::Matrix3d R = transform_of(vec6).block<3, 3>(0, 0);
  double total = 0.0;
  for (const auto& camera_normal : camera_plane_normals_) total += plane_error(camera_normal, R, c);
  return total / std::max<double>(static_cast<double>(camera_plane_normals_.size()), 1.0);
}

std::vector<double> VarnholtOptimizer::ground_normal_errors(const VectorRef& vec6, double c) const {
  check_vec6(vec6);
  const Eigen::Matrix3d R = transform_of(vec6).block<3, 3>(0, 0);
  std::vector<double> errors;
  for (const auto& camera_normal : camera_plane_normals_) {
    errors.push_back(plane_error(camera_normal, R, c));
  }
  return errors;
}

double VarnholtOptimizer::_residual_ground_z(const VectorRef& vec6, double c) const {
  check_vec6(vec6);
  const Eigen::Index count = ground_x_.size();
  return c * c * height_log_sum(transform_of(vec6), c, 0, count) /
         std::max<double>(static_cast<double>(count), 1.0);
}

std::vector<double> VarnholtOptimizer::ground_z_cloud_sums(const VectorRef& vec6, double c) const {
  check_vec6(vec6);
  const Eigen::Matrix4d X = transform_of(vec6);
  std::vector<double> sums;
  Eigen::Index offset = 0;
  for (const auto& points : camera_ground_points_) {
    sums.push_back(c * c * height_log_sum(X, c, offset, points.rows()));
    offset += points.rows();
  }
  return sums;
}

double VarnholtOptimizer::height_log_sum(const Eigen::Matrix4d& X, double c, Eigen::Index first,
                                         Eigen::Index count) const {
  const double c2 = c * c;
  // The logarithms dominate the objective's cost, so the sum of ln(1 + z^2 / c^2) is taken as
  // the logarithm of products of eight factors (equal up to rounding). Every factor is at
  // least 1, so a product can only overflow for absurd heights; such a block is summed point
  // by point. The blocks live on the stack: no allocation per evaluation.
  constexpr Eigen::Index kGroup = 8;
  constexpr Eigen::Index kBlock = 1024;
  Eigen::Array<double, kBlock, 1> factors;
  double sum = 0.0;
  const Eigen::Index end = first + count;
  for (Eigen::Index start = first; start < end; start += kBlock) {
    const Eigen::Index length = std::min(kBlock, end - start);
    auto block = factors.head(length);
    // z = row 2 of R times p, plus t_z.
    block =
        (X(2, 0) * ground_x_.segment(start, length) + X(2, 1) * ground_y_.segment(start, length) +
         X(2, 2) * ground_z_.segment(start, length) + X(2, 3))
                .square() /
            c2 +
        1.0;
    const Eigen::Index groups = length / kGroup;
    const Eigen::Map<const Eigen::Array<double, Eigen::Dynamic, kGroup>> grouped(block.data(),
                                                                                 groups, kGroup);
    double block_sum =
        grouped.rowwise().prod().log().sum() + block.tail(length - groups * kGroup).log().sum();
    if (!std::isfinite(block_sum)) block_sum = block.log().sum();
    sum += block_sum;
  }
  return sum;
}

double VarnholtOptimizer::objective_function(const VectorRef& vec6,
                                             const CalibOptimizerConfig& cfg) {
  if (vec6.size() != 6) throw std::invalid_argument("Require 6D SE3 vector");
  const ResidualTerms terms = residual_terms(vec6, cfg);
  const double total = weighted_total(terms, cfg);
  if (iter_ % 10 == 0) {
    const auto logger = module_logger();
    logger->info("[Iter {:3d}] ==============================================", iter_);
    logger->info("      Loss    | Total={:8.5f}  AXXB={:7.5f}  Normal={:7.5f}  Z={:7.5f}", total,
                 terms.axxb, terms.ground_normal, terms.ground_z);
    logger->info(
        "      Params  | rx={:7.5f}  ry={:7.5f}  rz={:7.5f}  | tx={:7.5f}  ty={:7.5f}  "
        "tz={:7.5f}",
        vec6(0), vec6(1), vec6(2), vec6(3), vec6(4), vec6(5));
  }
  ++iter_;
  return total;
}

ResidualTerms VarnholtOptimizer::residual_terms(const Vector6d& vec6,
                                                const CalibOptimizerConfig& cfg) const {
  ResidualTerms terms;
  terms.axxb = _residual_axxb(vec6);
  terms.ground_normal = _residual_ground_normal(vec6, cfg.cauchy_normal);
  terms.ground_z = _residual_ground_z(vec6, cfg.cauchy_z);
  terms.xy_prior = _residual_xy_prior(vec6, initial_vec6_(3), initial_vec6_(4));
  return terms;
}

OptimizationSummary VarnholtOptimizer::optimize(const CalibOptimizerConfig& cfg,
                                                const std::optional<Vector6d>& initial_vec6) {
  if (cfg.method != "L-BFGS-B") {
    throw std::invalid_argument("Unsupported minimisation method " + cfg.method +
                                ": only L-BFGS-B is available");
  }
  iter_ = 0;
  module_logger()->info("\n===== Camera-Base Extrinsic Calibration Start =====");

  const Eigen::VectorXd x0 = initial_vec6 ? *initial_vec6 : initial_vec6_;
  Eigen::VectorXd lower(6);
  Eigen::VectorXd upper(6);
  for (int i = 0; i < 6; ++i) std::tie(lower(i), upper(i)) = extrinsic_bound_[i];
  LbfgsbOptions options;
  options.ftol = cfg.ftol;
  options.gtol = cfg.gtol;
  options.maxiter = cfg.maxiter;
  options.disp = cfg.disp;
  options.ftol_window = kDecreaseWindow;
  OptimizationSummary summary;
  summary.minimization = minimize_lbfgsb_until_settled(
      [&](const Eigen::VectorXd& x) { return objective_function(x, cfg); }, x0, lower, upper,
      options, kSettledStep);
  const MinimizeResult& result = summary.minimization;
  // A result point that is not finite has no terms; those at the start say which input is.
  summary.terms = residual_terms(result.x.allFinite() ? Vector6d(result.x) : initial_vec6_, cfg);
  check_finite_objective(result, summary.terms);

  summary.vec6 = result.x;
  summary.largest_gradient = result.jac.size() > 0 ? result.jac.cwiseAbs().maxCoeff() : 0.0;
  summary.validation = validation_record(summary.vec6);
  summary.accuracy = accuracy_metrics(summary.vec6);
  log_optimization_summary(summary);
  return summary;
}

ValidationResult VarnholtOptimizer::validate_optimization_result(const Vector6d& vec6) const {
  ValidationResult record = validation_record(vec6);
  log_validation(vec6, record);
  return record;
}

AccuracyMetrics VarnholtOptimizer::compute_calibration_accuracy(const Vector6d& vec6) const {
  const AccuracyMetrics metrics = accuracy_metrics(vec6);
  log_accuracy(metrics);
  return metrics;
}

AccuracyMetrics VarnholtOptimizer::accuracy_metrics(const Vector6d& vec6) const {
  const Eigen::Matrix4d X = TransformUtils::vector6_to_transform_matrix(vec6);
  std::vector<double> rotation_errors;
  std::vector<double> translation_errors;
  for (std::size_t i = 0; i < A_list_.size(); ++i) {
    const Eigen::Matrix4d AX = A_list_[i] * X;
    const Eigen::Matrix4d XB = X * B_list_[i];
    rotation_errors.push_back((AX.block<3, 3>(0, 0) - XB.block<3, 3>(0, 0)).norm());
    translation_errors.push_back((AX.block<3, 1>(0, 3) - XB.block<3, 1>(0, 3)).norm());
  }
  std::vector<double> normal_errors;
  std::vector<double> height_errors;
  for (const auto& points : camera_ground_points_) {
    const Points3d base = TransformUtils::transform_camera_points_to_base(points, X);
    if (base.rows() >= 10) {
      // An uncentred fit: the plane (a, b, c, d) with a x + b y + c z + d = 0.
      Eigen::MatrixXd homogeneous(base.rows(), 4);
      homogeneous << base, Eigen::VectorXd::Ones(base.rows());
      const Eigen::JacobiSVD<Eigen::MatrixXd> svd(homogeneous, Eigen::ComputeThinV);
      const Eigen::Vector3d normal = svd.matrixV().col(3).head<3>().normalized();
      normal_errors.push_back(std::acos(std::min(std::abs(normal.z()), 1.0)));
    }
    height_errors.push_back(
        std::sqrt(base.col(2).squaredNorm() / static_cast<double>(base.rows())));
  }

  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  AccuracyMetrics metrics;
  metrics.axxb_rotation_rmse = mean_or(rotation_errors, nan);
  metrics.axxb_translation_rmse = mean_or(translation_errors, nan);
  metrics.ground_normal_rmse = mean_or(normal_errors, inf);
  metrics.ground_z_rmse = mean_or(height_errors, inf);
  metrics.num_valid_ground_planes = static_cast<int>(normal_errors.size());
  return metrics;
}

}  // namespace orvalt::calibration
