#pragma once

#include <functional>
#include <string>

#include <Eigen/Core>

namespace orvalt::calibration {

// What a minimisation ended with. `message` is the minimiser's own stopping reason, for
// example "CONVERGENCE: REL_REDUCTION_OF_F_<=_FACTR*EPSMCH"; `success` is true exactly when a
// convergence test was met.
struct MinimizeResult {
  Eigen::VectorXd x;    // final parameters
  double fun = 0.0;     // objective at x
  Eigen::VectorXd jac;  // finite-difference gradient at x
  int nit = 0;          // iterations
  int nfev = 0;         // objective evaluations, those of the gradients included
  bool success = false;
  std::string message;
};

struct LbfgsbOptions {
  int history = 10;             // corrections kept in the limited-memory matrix
  double ftol = 1e-8;           // stop when (f_k - f_k+1) / max(|f_k|, |f_k+1|, 1) <= ftol
  double gtol = 1e-8;           // stop when the largest projected-gradient component <= gtol
  int maxiter = 1000;           // stop after this many iterations (success false); the start
                                // point is evaluated even when this is 0 or less
  int maxfun = 15000;           // stop after the iteration that passed this many evaluations
  bool disp = false;            // let the library print its progress to stdout
  double gradient_step = 1e-8;  // forward-difference step
  // Central differences (two probes per component) where both stay inside the box.
  bool central_differences = false;
  // 0: the library's own decrease test above. k > 0: instead, stop when the decrease over the
  // last k iterations is at most ftol relative to |f| alone, without the floor at 1.
  int ftol_window = 0;
};

// Minimises `objective` over the box lower <= x <= upper (entries may be infinite) with the
// L-BFGS-B 3.0 code of Nocedal and Morales, from x0 (projected into the box by the library).
// Gradients are forward differences; where a forward step would leave the box the step goes
// backward instead, so the objective is never evaluated outside it. A parameter with equal
// bounds is held and gets a zero gradient. The library stops a line search after 20
// evaluations. Exceptions from the objective pass through. Throws std::invalid_argument when
// the sizes of x0 and the bounds differ.
MinimizeResult minimize_lbfgsb(const std::function<double(const Eigen::VectorXd&)>& objective,
                               const Eigen::VectorXd& x0, const Eigen::VectorXd& lower,
                               const Eigen::VectorXd& upper, const LbfgsbOptions& options);

// minimize_lbfgsb in passes, each starting afresh (empty limited-memory matrix) where the last
// one stopped, until a pass moves no parameter by more than step_tolerance: the last pass
// confirms that nothing moves any more. A pass that ends in a failed line search (the usual
// end once forward-difference gradients reach their rounding noise) is followed by one with
// central-difference gradients; when that cannot move either, the point is a minimum to the
// precision of the objective and the run counts as converged ("CONVERGENCE:
// REL_REDUCTION_OF_F_<=_FACTR*EPSMCH", the decrease being nil). Limits (maxiter, maxfun) count
// over all passes and end the run with success false; nit and nfev are summed.
MinimizeResult minimize_lbfgsb_until_settled(
    const std::function<double(const Eigen::VectorXd&)>& objective, const Eigen::VectorXd& x0,
    const Eigen::VectorXd& lower, const Eigen::VectorXd& upper, const LbfgsbOptions& options,
    double step_tolerance);

}  // namespace orvalt::calibration
