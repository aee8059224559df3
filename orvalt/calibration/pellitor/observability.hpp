#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "orvalt/calibration/pellitor/calib_optimizer_config.hpp"
#include "orvalt/calibration/utils/transform_utils.hpp"

namespace orvalt::calibration {

class VarnholtOptimizer;

// How a parameter of a calibration result came about.
enum class Determination {
  kData,          // the recording determines it
  kPrior,         // the horizontal prior outweighs the data: over 10 times their curvature
  kUndetermined,  // nothing holds it within its search range
  kBounds,        // its bounds are equal, so it was never searched
  kAtBound,       // the data would take it past an edge of its search range, where it stopped
};

// "data", "prior", "undetermined", "bounds" or "at_bound".
std::string determination_name(Determination determination);

// The weighted terms of the objective, in the order of ParameterFinding::curvature.
inline constexpr std::array<const char*, 4> kTermNames = {"AX=XB", "ground normal", "ground height",
                                                          "prior"};

struct ParameterFinding {
  std::string name;      // rx, ry, rz (radians), tx, ty, tz (metres)
  double value = 0.0;    // the result
  double initial = 0.0;  // where the search started; the prior's centre for tx and ty
  // d^2/dp^2 of each weighted term at the result (per rad^2 or per m^2), order of kTermNames.
  std::array<double, 4> curvature{};
  // The same with the other searched parameters free to follow, so that each term keeps its
  // smallest value (the Schur complement of the term's Hessian onto this parameter): what the
  // term alone can tell about it. A term that couples it to another parameter (the ground's
  // height, over a narrow strip of floor, to pitch) holds it far less than its diagonal says.
  std::array<double, 4> free_curvature{};
  Determination determination = Determination::kData;
  std::string determined_by;    // the data term of largest free curvature, for kData
  std::optional<double> sigma;  // 1-sigma uncertainty (radians or metres), for kData
  std::string message;          // for the others: what it means for the user and what to do
};

// What the accepted motion pairs and ground clouds held.
struct MotionCoverage {
  double yaw_span = 0.0;        // radians: range of the base heading accumulated over the pairs
  double total_distance = 0.0;  // metres: the pairs' odometry translations added up
  int accepted_pairs = 0;
  int ground_clouds = 0;
  std::vector<std::string> warnings;  // each with its advice
};

struct ObservabilityReport {
  std::array<ParameterFinding, 6> parameters;
  MotionCoverage motion;
};

// Which term determines each parameter of vec6 (the result of optimizer.optimize(cfg)), its
// uncertainty, and what motion the data held.
//
// Curvatures: each weighted term's Hessian at vec6 by central differences (step 1e-4 rad or
// m). A parameter is held by the prior when the prior's curvature exceeds 10 times the data
// terms' together; undetermined when moving it across its whole search range (half the bound
// width) changes the data terms by less than the minimiser resolves (cfg.ftol times the
// objective), or when its uncertainty exceeds that range; at its bound when it is otherwise
// determined but ended on an edge of its search range. A data-determined parameter is
// credited to the term of largest free curvature.
//
// Uncertainty: the sandwich estimate H^-1 M H^-1 over the data-determined parameters, with
// the others held at their values. H is the objective's curvature (all terms, prior
// included); M = sum over independent data items of g g^T, g the gradient of one item's
// weighted share of the objective: one item per motion pair, one per ground cloud (its plane
// and its points together, as they share the cloud's errors). The spread of the residuals thus
// enters through the spread of these gradients, which needs no assumption on how noisy each
// term is or how the terms are weighted.
ObservabilityReport analyze_observability(const VarnholtOptimizer& optimizer,
                                          const CalibOptimizerConfig& cfg, const Vector6d& vec6);

// Heading range, distance and counts of the pairs (A the odometry motions, in time order),
// with a warning when the heading spans under 30 degrees or fewer than 20 pairs were accepted.
MotionCoverage motion_coverage(const std::vector<Eigen::Matrix4d>& A_list, int ground_clouds);

// The parameters whose result is no measurement, undetermined or stopped at a bound, as
// "rz stopped at its search bound" and "tx is undetermined", in parameter order.
std::vector<std::string> unusable_parameters(const ObservabilityReport& report);

// "" when unusable_parameters is empty, else one sentence that says the result is not usable
// as it stands, names those parameters and points to the advice of observability_lines.
std::string usability_verdict(const ObservabilityReport& report);

// The report as log lines: a heading, one line per parameter, one for the motion.
std::vector<std::string> observability_lines(const ObservabilityReport& report);

// Logs observability_lines at info level and the motion warnings at warning level.
void log_observability(const ObservabilityReport& report);

}  // namespace orvalt::calibration
