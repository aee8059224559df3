#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Core>

#include "orvalt/calibration/pellitor/calib_optimizer_config.hpp"
#include "orvalt/calibration/pellitor/lbfgsb_minimizer.hpp"
#include "orvalt/calibration/utils/transform_utils.hpp"

namespace orvalt::calibration {

// Findings of validate_optimization_result, in the order they were made.
struct ValidationResult {
  bool valid = true;  // false only for non-finite values or when X cannot be built
  std::vector<std::string> warnings;
  std::optional<double> rotation_norm;     // |vec6[0:3]|
  std::optional<double> translation_norm;  // |vec6[3:6]|, metres
  std::optional<Eigen::Matrix4d> transformation_matrix;
};

// How well an extrinsic explains the data. The AX = XB and normal figures are plain means of
// per-item errors despite their names; only the per-plane height is a root mean square.
struct AccuracyMetrics {
  double axxb_rotation_rmse = 0.0;     // mean Frobenius norm of R_AX - R_XB (NaN without pairs)
  double axxb_translation_rmse = 0.0;  // mean |t_AX - t_XB|, metres (NaN without pairs)
  double ground_normal_rmse = 0.0;     // mean tilt of usable planes, rad (+inf without any)
  double ground_z_rmse = 0.0;          // mean per-plane RMS height, metres (+inf without planes)
  int num_valid_ground_planes = 0;     // planes of at least 10 points
};

// "Excellent", "Good", "Qualified", "Marginal" or "Poor" for the largest absolute gradient
// component (strict thresholds 1e-6, 1e-5, 1e-4, 1e-3).
std::string gradient_grade(double largest_gradient);

// The four terms of the objective at one vector, unweighted.
struct ResidualTerms {
  double axxb = 0.0;
  double ground_normal = 0.0;
  double ground_z = 0.0;
  double xy_prior = 0.0;
};

// Everything one optimize run found, each figure computed once; the log and
// calibration_report.json format it each in their own way.
struct OptimizationSummary {
  Vector6d vec6 = Vector6d::Zero();  // the result, [rx, ry, rz, tx, ty, tz]
  MinimizeResult minimization;       // solver outcome, evaluations, objective and gradient
  double largest_gradient = 0.0;     // max |jac|, 0 without a gradient
  ResidualTerms terms;               // at vec6
  ValidationResult validation;       // of vec6
  AccuracyMetrics accuracy;          // of vec6
};

// The plausibility findings for vec6 (validate_optimization_result without its log lines).
ValidationResult validation_record(const Vector6d& vec6);

// The log lines of a run, in their order: the solver outcome, the vector, the failure (error
// level) when it did not converge, the gradient grade, the validation and the accuracy.
void log_optimization_summary(const OptimizationSummary& summary);

class VarnholtOptimizer {
 public:
  using VectorRef = Eigen::Ref<const Eigen::VectorXd>;

  // Checks every input (std::invalid_argument with the first failing check's message): the
  // motion lists (equal length, homogeneous last rows, camera list first), the initial
  // rotations (within [-pi, pi]), the bounds (low <= high) and the initial vector inside them,
  // then reads every "*.ply" file of camera_ground_points_dir (at least 3, each of at least 3
  // finite points) as camera-frame ground points, in listing order; points that are not finite
  // are dropped with a warning. odom_data_list holds base_k_from_base_k1, camera_data_list
  // cam_k_from_cam_k1, index-aligned.
  VarnholtOptimizer(std::vector<Eigen::Matrix4d> odom_data_list,
                    std::vector<Eigen::Matrix4d> camera_data_list,
                    const std::filesystem::path& camera_ground_points_dir,
                    const Vector6dBounds& extrinsic_bound, const Vector6d& extrinsic_init_vec6);

  // Mean over pairs of theta^2 + 0.1 |dt|^2 (theta the angle of R_AX R_XB^T, dt = t_AX - t_XB).
  // These three residuals throw std::invalid_argument unless vec6 has six entries.
  double _residual_axxb(const VectorRef& vec6) const;
  // Mean over planes of rho_c(1 - |n_z|), n the plane normal in the base frame.
  double _residual_ground_normal(const VectorRef& vec6, double c) const;
  // Mean over all ground points of rho_c(z), z the height in the base frame.
  double _residual_ground_z(const VectorRef& vec6, double c) const;
  // The data terms item by item, for the uncertainty of a result: the AX = XB error of each
  // pair, rho_c(1 - |n_z|) of each ground plane, and the sum of rho_c(z) over each cloud's
  // points, in list order. The residuals above are their means (over pairs, planes and all
  // points). Throw std::invalid_argument unless vec6 has six entries.
  std::vector<double> axxb_pair_errors(const VectorRef& vec6) const;
  std::vector<double> ground_normal_errors(const VectorRef& vec6, double c) const;
  std::vector<double> ground_z_cloud_sums(const VectorRef& vec6, double c) const;
  // (tx - tx_prior)^2 + (ty - ty_prior)^2. Throws std::invalid_argument with fewer than five
  // entries.
  double _residual_xy_prior(const VectorRef& vec6, double tx_prior, double ty_prior) const;

  // The weighted sum of the four residuals (the prior centred on the initial tx, ty). Logs
  // losses and parameters on every tenth call and counts calls in iter(). Throws
  // std::invalid_argument unless vec6 has six entries (iter() unchanged then).
  double objective_function(const VectorRef& vec6, const CalibOptimizerConfig& cfg);

  // Minimises the objective from initial_vec6 (or the stored initial vector) within the
  // bounds, validates and measures the result, logs the summary (log_optimization_summary) and
  // returns it. A run that stops without converging is logged as an error,
  // not thrown. Throws std::invalid_argument for a method other than "L-BFGS-B", and
  // std::runtime_error, before any result is logged, when the objective is not finite.
  //
  // The run does not stop while the data still move a parameter. The objective of a good
  // calibration lies far below 1 (about 1e-3), where L-BFGS-B's own decrease test, relative to
  // max(|f|, 1), turns into an absolute 1e-8: a yaw error of 3 degrees, worth a few 1e-7 of
  // objective, passed for converged after one iteration that happened to gain little. So the
  // decrease test is ours: cfg.ftol relative to f itself (no floor), over the last six
  // iterations rather than one, as a quasi-Newton search needs about as many steps as there are
  // parameters to work through every direction of a quadratic bowl; dividing f by its start
  // value instead (one fixed scale) was tried and still stopped in the narrow valley of yaw.
  // Then the minimiser restarts from its stopping point until a fresh pass moves no parameter
  // by more than 1e-6 (minimize_lbfgsb_until_settled), so the result is checked rather than
  // hoped to be still; a line search that fails in the rounding noise at the minimum is
  // followed by a pass with central-difference gradients and counts as converged when that
  // cannot move either. cfg.gtol bounds the projected gradient as before. Nothing is rescaled:
  // fun, jac, the log lines and the gradient grade are the objective's own.
  OptimizationSummary optimize(const CalibOptimizerConfig& cfg,
                               const std::optional<Vector6d>& initial_vec6 = {});

  // validation_record of a result; never throws. Logs the warnings or "✓ Result validation
  // passed", except for a non-finite vector.
  ValidationResult validate_optimization_result(const Vector6d& vec6) const;

  // Accuracy figures of vec6 against the motion pairs and ground points; logs a report.
  AccuracyMetrics compute_calibration_accuracy(const Vector6d& vec6) const;

  // The four unweighted terms of the objective at vec6 (the prior centred on the initial tx,
  // ty), without counting or logging an evaluation.
  ResidualTerms residual_terms(const Vector6d& vec6, const CalibOptimizerConfig& cfg) const;

  const Vector6d& initial_vec6() const { return initial_vec6_; }
  const Vector6dBounds& extrinsic_bound() const { return extrinsic_bound_; }
  const std::vector<Points3d>& camera_ground_points() const { return camera_ground_points_; }
  const std::vector<Eigen::Matrix4d>& A_list() const { return A_list_; }
  const std::vector<Eigen::Matrix4d>& B_list() const { return B_list_; }
  int num_motions() const { return num_motions_; }
  // Objective evaluations since construction or the start of the last optimize run.
  int iter() const { return iter_; }

 private:
  Vector6d initial_vec6_;
  Vector6dBounds extrinsic_bound_;
  std::vector<Points3d> camera_ground_points_;
  std::vector<Eigen::Matrix4d> A_list_;
  std::vector<Eigen::Matrix4d> B_list_;
  int num_motions_ = 0;
  int iter_ = 0;

  AccuracyMetrics accuracy_metrics(const Vector6d& vec6) const;

  // Sum of ln(1 + z^2 / c^2) over the ground points first .. first + count - 1 at X.
  double height_log_sum(const Eigen::Matrix4d& X, double c, Eigen::Index first,
                        Eigen::Index count) const;

  // Precomputed from the data alone, for the objective's many evaluations: the plane normal
  // of every ground cloud in camera coordinates (the base-frame normal is R times it), and
  // all ground points as contiguous coordinate arrays.
  std::vector<Eigen::Vector3d> camera_plane_normals_;
  Eigen::ArrayXd ground_x_;
  Eigen::ArrayXd ground_y_;
  Eigen::ArrayXd ground_z_;
};

}  // namespace orvalt::calibration
