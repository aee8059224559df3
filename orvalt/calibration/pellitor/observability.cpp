#include "orvalt/calibration/pellitor/observability.hpp"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <Eigen/Cholesky>
#include <Eigen/Eigenvalues>

#include "orvalt/calibration/pellitor/varnholt_optimizer.hpp"
#include "orvalt/common/angles.hpp"
#include "orvalt/common/logger.hpp"

namespace orvalt::calibration {
namespace {

using Matrix6d = Eigen::Matrix<double, 6, 6>;
using TermValues = Eigen::Vector4d;

constexpr std::array<const char*, 6> kParameterNames = {"rx", "ry", "rz", "tx", "ty", "tz"};
constexpr double kHessianStep = 1e-4;
constexpr double kGradientStep = 1e-5;
// Curvatures below this share of the largest (or below it absolutely, for small terms) are
// within the noise of second differences at kHessianStep: about 1e-9 for objectives near 1e-3.
constexpr double kFlatCurvature = 1e-8;
constexpr double kPriorDominance = 10.0;
constexpr double kMinYawSpan = common::deg_to_rad(30.0);
constexpr int kMinPairs = 20;

bool is_rotation(int i) { return i < 3; }

std::string value_text(int i, double value) {
  return is_rotation(i) ? fmt::format("{:.3f} deg", common::rad_to_deg(value))
                        : fmt::format("{:.3f} m", value);
}

// What a user can do about parameter i when the recording leaves it open.
const char* undetermined_advice(int i) {
  switch (i) {
    case 2:
      return "drive straight and in arcs in front of the board, or measure it";
    case 3:
    case 4:
      return "record more turning, or measure it";
    default:
      return "keep the floor inside the point-cloud crop region, or measure it";
  }
}

// The prior's curvature (2 w_xy) outweighs what any recording shows of the horizontal offset
// between frames (about 1e-2 over a minute of turning), so recording more cannot help.
std::string prior_advice(double w_xy) {
  return fmt::format(
      "no recording frees it at --w_xy {:g}: measure it and give it in --init_extrinsics, or let "
      "the motions decide with --w_xy 0",
      w_xy);
}

const char* offset_option(int i) {
  return is_rotation(i) ? "--extrinsics_rotate_offset" : "--extrinsics_translate_offset";
}

TermValues weighted_terms(const VarnholtOptimizer& optimizer, const CalibOptimizerConfig& cfg,
                          const Vector6d& x) {
  const Vector6d& prior = optimizer.initial_vec6();
  return TermValues(cfg.w_axxb * optimizer._residual_axxb(x),
                    cfg.w_normal * optimizer._residual_ground_normal(x, cfg.cauchy_normal),
                    cfg.w_z * optimizer._residual_ground_z(x, cfg.cauchy_z),
                    cfg.w_xy * optimizer._residual_xy_prior(x, prior(3), prior(4)));
}

// The Hessian of every term at x by central differences.
std::array<Matrix6d, 4> term_hessians(const VarnholtOptimizer& optimizer,
                                      const CalibOptimizerConfig& cfg, const Vector6d& x) {
  const double h = kHessianStep;
  const auto at = [&](int i, double si, int j, double sj) {
    Vector6d probe = x;
    probe(i) += si * h;
    probe(j) += sj * h;
    return weighted_terms(optimizer, cfg, probe);
  };
  const TermValues centre = weighted_terms(optimizer, cfg, x);
  std::array<Matrix6d, 4> hessians;
  for (int i = 0; i < 6; ++i) {
    const TermValues diagonal = (at(i, 1, i, 0) - 2.0 * centre + at(i, -1, i, 0)) / (h * h);
    for (int t = 0; t < 4; ++t) hessians[t](i, i) = diagonal(t);
    for (int j = i + 1; j < 6; ++j) {
      const TermValues mixed =
          (at(i, 1, j, 1) - at(i, 1, j, -1) - at(i, -1, j, 1) + at(i, -1, j, -1)) / (4.0 * h * h);
      for (int t = 0; t < 4; ++t) hessians[t](i, j) = hessians[t](j, i) = mixed(t);
    }
  }
  return hessians;
}

// The curvature of a term of Hessian H along parameter i when the parameters `others` follow
// to keep the term smallest: the Schur complement H_ii - H_io H_oo^+ H_oi. One term's block is
// often singular (the ground tells nothing of yaw), hence the pseudo-inverse, in which
// directions of curvature within the differencing noise count as flat.
double free_curvature(const Matrix6d& H, int i, const std::vector<int>& others) {
  const auto n = static_cast<Eigen::Index>(others.size());
  Eigen::MatrixXd H_oo(n, n);
  Eigen::VectorXd H_oi(n);
  for (Eigen::Index a = 0; a < n; ++a) {
    H_oi(a) = H(others[a], i);
    for (Eigen::Index b = 0; b < n; ++b) H_oo(a, b) = H(others[a], others[b]);
  }
  const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eigen(H_oo);
  const double flat = kFlatCurvature * std::max(eigen.eigenvalues().cwiseAbs().maxCoeff(), 1.0);
  double schur = H(i, i);
  for (Eigen::Index k = 0; k < n; ++k) {
    const double curvature = eigen.eigenvalues()(k);
    if (curvature > flat) schur -= std::pow(eigen.eigenvectors().col(k).dot(H_oi), 2) / curvature;
  }
  return std::max(schur, 0.0);
}

// Consecutive motion pairs share a frame, so the error of that frame enters one with a plus
// sign and the next with a minus sign, and odometry slip lasts several frames: single pairs
// are not independent. Blocks of about sqrt(n) consecutive pairs (the batch means of time
// series) hold these correlations inside and are nearly independent of one another.
std::size_t pair_block_length(std::size_t pairs) {
  return std::max<std::size_t>(
      1, static_cast<std::size_t>(std::ceil(std::sqrt(static_cast<double>(pairs)))));
}

// Each independent data item's weighted share of the objective at x: one per block of
// consecutive motion pairs, then one per ground cloud.
Eigen::VectorXd item_shares(const VarnholtOptimizer& optimizer, const CalibOptimizerConfig& cfg,
                            const Vector6d& x) {
  const std::vector<double> pairs = optimizer.axxb_pair_errors(x);
  const std::vector<double> planes = optimizer.ground_normal_errors(x, cfg.cauchy_normal);
  const std::vector<double> heights = optimizer.ground_z_cloud_sums(x, cfg.cauchy_z);
  double point_count = 0.0;
  for (const auto& points : optimizer.camera_ground_points()) {
    point_count += static_cast<double>(points.rows());
  }
  const double pair_weight = cfg.w_axxb / std::max<double>(static_cast<double>(pairs.size()), 1.0);
  const double plane_weight =
      cfg.w_normal / std::max<double>(static_cast<double>(planes.size()), 1.0);
  const double height_weight = cfg.w_z / std::max(point_count, 1.0);
  const std::size_t block = pair_block_length(pairs.size());
  const std::size_t blocks = (pairs.size() + block - 1) / block;
  Eigen::VectorXd shares = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(blocks + planes.size()));
  for (std::size_t k = 0; k < pairs.size(); ++k) {
    shares(static_cast<Eigen::Index>(k / block)) += pair_weight * pairs[k];
  }
  for (std::size_t c = 0; c < planes.size(); ++c) {
    shares(static_cast<Eigen::Index>(blocks + c)) =
        plane_weight * planes[c] + height_weight * heights[c];
  }
  return shares;
}

// The gradient of every item's share at x (rows), by central differences.
Eigen::MatrixXd item_gradients(const VarnholtOptimizer& optimizer, const CalibOptimizerConfig& cfg,
                               const Vector6d& x) {
  Eigen::MatrixXd gradients(item_shares(optimizer, cfg, x).size(), 6);
  for (int i = 0; i < 6; ++i) {
    Vector6d forward = x;
    Vector6d backward = x;
    forward(i) += kGradientStep;
    backward(i) -= kGradientStep;
    gradients.col(i) =
        (item_shares(optimizer, cfg, forward) - item_shares(optimizer, cfg, backward)) /
        (2.0 * kGradientStep);
  }
  return gradients;
}

// Where the data alone would put the parameters in `moved` (one Newton step of the data terms
// from x), or x itself when that step is not defined or leaves a search range.
Vector6d data_optimum(const Matrix6d& H_data, const Vector6d& g_data, const Vector6d& x,
                      const std::vector<int>& moved, const std::array<double, 6>& half_range) {
  const auto n = static_cast<Eigen::Index>(moved.size());
  Eigen::MatrixXd H(n, n);
  Eigen::VectorXd g(n);
  for (Eigen::Index a = 0; a < n; ++a) {
    g(a) = g_data(moved[a]);
    for (Eigen::Index b = 0; b < n; ++b) H(a, b) = H_data(moved[a], moved[b]);
  }
  const Eigen::LLT<Eigen::MatrixXd> cholesky(H);
  if (cholesky.info() != Eigen::Success) return x;
  const Eigen::VectorXd step = -cholesky.solve(g);
  Vector6d optimum = x;
  for (Eigen::Index a = 0; a < n; ++a) {
    if (!(std::abs(step(a)) <= half_range[moved[a]])) return x;
    optimum(moved[a]) += step(a);
  }
  return optimum;
}

// 1-sigma of the parameters in `free` (others held), or nothing when their curvature is not
// positive definite.
std::optional<Vector6d> sandwich_sigmas(const Matrix6d& H, const Matrix6d& M,
                                        const std::vector<int>& free) {
  const auto n = static_cast<Eigen::Index>(free.size());
  Eigen::MatrixXd H_free(n, n);
  Eigen::MatrixXd M_free(n, n);
  for (Eigen::Index a = 0; a < n; ++a) {
    for (Eigen::Index b = 0; b < n; ++b) {
      H_free(a, b) = H(free[a], free[b]);
      M_free(a, b) = M(free[a], free[b]);
    }
  }
  const Eigen::LLT<Eigen::MatrixXd> cholesky(H_free);
  if (cholesky.info() != Eigen::Success) return std::nullopt;
  const Eigen::MatrixXd H_inverse = cholesky.solve(Eigen::MatrixXd::Identity(n, n));
  const Eigen::MatrixXd covariance = H_inverse * M_free * H_inverse;
  Vector6d sigmas = Vector6d::Zero();
  for (Eigen::Index a = 0; a < n; ++a) sigmas(free[a]) = std::sqrt(std::max(covariance(a, a), 0.0));
  return sigmas;
}

// A result on the edge of its search range was decided by the bound, not by the data: they
// would have taken it further, and the curvature there says nothing about its uncertainty.
bool on_edge(double value, double low, double high) {
  const double tolerance = 1e-9 * (high - low);
  return value <= low + tolerance || value >= high - tolerance;
}

}  // namespace

std::string determination_name(Determination determination) {
  switch (determination) {
    case Determination::kData:
      return "data";
    case Determination::kPrior:
      return "prior";
    case Determination::kUndetermined:
      return "undetermined";
    case Determination::kBounds:
      return "bounds";
    case Determination::kAtBound:
      return "at_bound";
  }
  return "";
}

ObservabilityReport analyze_observability(const VarnholtOptimizer& optimizer,
                                          const CalibOptimizerConfig& cfg, const Vector6d& vec6) {
  const std::array<Matrix6d, 4> hessians = term_hessians(optimizer, cfg, vec6);
  const Matrix6d H = hessians[0] + hessians[1] + hessians[2] + hessians[3];
  const double objective = weighted_terms(optimizer, cfg, vec6).sum();

  ObservabilityReport report;
  std::vector<int> free;
  std::array<double, 6> half_range{};
  std::vector<int> searched;
  for (int i = 0; i < 6; ++i) {
    const auto& [low, high] = optimizer.extrinsic_bound()[i];
    half_range[i] = (high - low) / 2.0;
    if (half_range[i] > 0.0) searched.push_back(i);
  }
  for (int i = 0; i < 6; ++i) {
    ParameterFinding& finding = report.parameters[i];
    finding.name = kParameterNames[i];
    finding.value = vec6(i);
    finding.initial = optimizer.initial_vec6()(i);
    std::vector<int> others = searched;
    others.erase(std::remove(others.begin(), others.end(), i), others.end());
    for (int t = 0; t < 4; ++t) {
      finding.curvature[t] = hessians[t](i, i);
      finding.free_curvature[t] = free_curvature(hessians[t], i, others);
    }
    const double data = finding.curvature[0] + finding.curvature[1] + finding.curvature[2];
    const auto& [low, high] = optimizer.extrinsic_bound()[i];
    if (half_range[i] == 0.0) {
      finding.determination = Determination::kBounds;
    } else if (finding.curvature[3] > kPriorDominance * std::max(data, 0.0)) {
      finding.determination = Determination::kPrior;
    } else if (0.5 * data * half_range[i] * half_range[i] <= cfg.ftol * objective) {
      finding.determination = Determination::kUndetermined;
    } else if (on_edge(vec6(i), low, high)) {
      finding.determination = Determination::kAtBound;
    } else {
      free.push_back(i);
    }
  }

  // Drop the least determined parameter until the rest have a positive definite curvature
  // and an uncertainty inside their search ranges.
  // The spread is measured where the data alone would put what the prior holds: there the
  // residuals carry the noise, not the misfit that the prior's pull leaves in them.
  Eigen::MatrixXd G = item_gradients(optimizer, cfg, vec6);
  std::vector<int> moved = free;
  for (int i = 0; i < 6; ++i) {
    if (report.parameters[i].determination == Determination::kPrior) moved.push_back(i);
  }
  if (moved.size() > free.size()) {
    const Vector6d g_data = G.colwise().sum().transpose();
    const Vector6d spread_point =
        data_optimum(hessians[0] + hessians[1] + hessians[2], g_data, vec6, moved, half_range);
    if (spread_point != vec6) G = item_gradients(optimizer, cfg, spread_point);
  }
  const Matrix6d M = G.transpose() * G;
  while (!free.empty()) {
    const std::optional<Vector6d> sigmas = sandwich_sigmas(H, M, free);
    const auto worst = std::max_element(free.begin(), free.end(), [&](int a, int b) {
      if (!sigmas)
        return H(a, a) * half_range[a] * half_range[a] > H(b, b) * half_range[b] * half_range[b];
      return (*sigmas)(a) / half_range[a] < (*sigmas)(b) / half_range[b];
    });
    if (sigmas && (*sigmas)(*worst) < half_range[*worst]) {
      for (const int i : free) report.parameters[i].sigma = (*sigmas)(i);
      break;
    }
    report.parameters[*worst].determination = Determination::kUndetermined;
    free.erase(worst);
  }

  for (int i = 0; i < 6; ++i) {
    ParameterFinding& finding = report.parameters[i];
    const std::string& name = finding.name;
    switch (finding.determination) {
      case Determination::kData: {
        const auto largest =
            std::max_element(finding.free_curvature.begin(), finding.free_curvature.begin() + 3);
        finding.determined_by = kTermNames[largest - finding.free_curvature.begin()];
        break;
      }
      case Determination::kPrior:
        finding.message = fmt::format(
            "the recording does not determine {}; the result is your initial value {}; {}", name,
            value_text(i, finding.initial), prior_advice(cfg.w_xy));
        break;
      case Determination::kUndetermined:
        finding.message = fmt::format(
            "the recording does not determine {}; the result {} is not a measurement (your "
            "initial value: {}); {}",
            name, value_text(i, finding.value), value_text(i, finding.initial),
            undetermined_advice(i));
        break;
      case Determination::kBounds:
        finding.message = fmt::format("{} was not searched: its bounds are equal, {}", name,
                                      value_text(i, finding.value));
        break;
      case Determination::kAtBound: {
        const auto& [low, high] = optimizer.extrinsic_bound()[i];
        finding.message = fmt::format(
            "{} stopped at its search bound {} (search range {} to {}, around your initial value "
            "{}): the data would take it further, so the bound decided it; widen {} or correct "
            "--init_extrinsics",
            name, value_text(i, finding.value), value_text(i, low), value_text(i, high),
            value_text(i, finding.initial), offset_option(i));
        break;
      }
    }
  }
  report.motion = motion_coverage(optimizer.A_list(),
                                  static_cast<int>(optimizer.camera_ground_points().size()));
  return report;
}

MotionCoverage motion_coverage(const std::vector<Eigen::Matrix4d>& A_list, int ground_clouds) {
  MotionCoverage coverage;
  coverage.accepted_pairs = static_cast<int>(A_list.size());
  coverage.ground_clouds = ground_clouds;
  double heading = 0.0;
  double lowest = 0.0;
  double highest = 0.0;
  for (const Eigen::Matrix4d& A : A_list) {
    heading += std::atan2(A(1, 0), A(0, 0));
    lowest = std::min(lowest, heading);
    highest = std::max(highest, heading);
    coverage.total_distance += A.block<3, 1>(0, 3).norm();
  }
  coverage.yaw_span = highest - lowest;
  if (coverage.yaw_span < kMinYawSpan) {
    coverage.warnings.push_back(fmt::format(
        "The accepted motions turned through only {:.1f} degrees; turn the robot through at "
        "least 30 degrees, both ways, with the board in view, so that the motions determine "
        "the camera's horizontal position and yaw",
        common::rad_to_deg(coverage.yaw_span)));
  }
  if (coverage.accepted_pairs < kMinPairs) {
    coverage.warnings.push_back(fmt::format(
        "Only {} motion pairs were accepted; record for longer with the board in view (at "
        "least {} pairs), and check that the odometry and the camera agree",
        coverage.accepted_pairs, kMinPairs));
  }
  return coverage;
}

std::vector<std::string> unusable_parameters(const ObservabilityReport& report) {
  std::vector<std::string> unusable;
  for (const ParameterFinding& finding : report.parameters) {
    if (finding.determination == Determination::kUndetermined) {
      unusable.push_back(finding.name + " is undetermined");
    } else if (finding.determination == Determination::kAtBound) {
      unusable.push_back(finding.name + " stopped at its search bound");
    }
  }
  return unusable;
}

std::string usability_verdict(const ObservabilityReport& report) {
  const std::vector<std::string> unusable = unusable_parameters(report);
  if (unusable.empty()) return "";
  return fmt::format(
      "The result is not usable as it stands: {}; see \"What the recording determined\" for "
      "what to do",
      fmt::join(unusable, ", "));
}

std::vector<std::string> observability_lines(const ObservabilityReport& report) {
  std::vector<std::string> lines = {"What the recording determined:"};
  for (int i = 0; i < 6; ++i) {
    const ParameterFinding& finding = report.parameters[i];
    const std::string curvature = fmt::format(
        "curvature: {} {:.2e}, {} {:.2e}, {} {:.2e}, {} {:.2e}; with the others free: {} {:.2e}, "
        "{} {:.2e}, {} {:.2e}",
        kTermNames[0], finding.curvature[0], kTermNames[1], finding.curvature[1], kTermNames[2],
        finding.curvature[2], kTermNames[3], finding.curvature[3], kTermNames[0],
        finding.free_curvature[0], kTermNames[1], finding.free_curvature[1], kTermNames[2],
        finding.free_curvature[2]);
    std::string verdict;
    switch (finding.determination) {
      case Determination::kData:
        verdict = fmt::format("± {}, determined by {}",
                              is_rotation(i)
                                  ? fmt::format("{:.4f} deg", common::rad_to_deg(*finding.sigma))
                                  : fmt::format("{:.2f} mm", *finding.sigma * 1e3),
                              finding.determined_by);
        break;
      case Determination::kPrior:
        verdict = "held by the prior: " + finding.message;
        break;
      case Determination::kUndetermined:
        verdict = "undetermined: " + finding.message;
        break;
      case Determination::kBounds:
        verdict = "fixed: " + finding.message;
        break;
      case Determination::kAtBound:
        verdict = "at its bound: " + finding.message;
        break;
    }
    const std::string value = is_rotation(i)
                                  ? fmt::format("{:9.4f} deg", common::rad_to_deg(finding.value))
                                  : fmt::format("{:9.4f} m  ", finding.value);
    lines.push_back(fmt::format("  {} = {} {} ({})", finding.name, value, verdict, curvature));
  }
  const MotionCoverage& motion = report.motion;
  lines.push_back(fmt::format(
      "Motion in the recording: yaw span {:.1f} deg, distance {:.2f} m, {} accepted pairs, {} "
      "ground clouds",
      common::rad_to_deg(motion.yaw_span), motion.total_distance, motion.accepted_pairs,
      motion.ground_clouds));
  return lines;
}

void log_observability(const ObservabilityReport& report) {
  const auto logger = common::logger("orvalt.calibration.pellitor");
  for (const std::string& line : observability_lines(report)) logger->info("{}", line);
  for (const std::string& warning : report.motion.warnings) logger->warn("⚠ {}", warning);
}

}  // namespace orvalt::calibration
