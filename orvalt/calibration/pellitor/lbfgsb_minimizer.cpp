#include "orvalt/calibration/pellitor/lbfgsb_minimizer.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

// The reverse-communication entry of L-BFGS-B 3.0 (gfortran: LOGICAL is a 4-byte integer,
// the lengths of the CHARACTER arguments follow as hidden trailing arguments).
extern "C" void setulb_(const int* n, const int* m, double* x, const double* l, const double* u,
                        const int* nbd, double* f, double* g, const double* factr,
                        const double* pgtol, double* wa, int* iwa, char* task, const int* iprint,
                        char* csave, int* lsave, int* isave, double* dsave, std::size_t task_len,
                        std::size_t csave_len);

namespace orvalt::calibration {
namespace {

constexpr std::size_t kTextLength = 60;

// The library's task text: 60 characters, blank-padded.
class Task {
 public:
  explicit Task(const char* text) { set(text); }
  void set(const char* text) {
    std::fill(text_, text_ + kTextLength, ' ');
    std::memcpy(text_, text, std::min(std::strlen(text), kTextLength));
  }
  bool starts_with(const char* prefix) const {
    return std::strncmp(text_, prefix, std::strlen(prefix)) == 0;
  }
  std::string trimmed() const {
    std::string text(text_, kTextLength);
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
  }
  char* data() { return text_; }

 private:
  char text_[kTextLength];
};

int bound_kind(double lower, double upper) {
  const bool has_lower = std::isfinite(lower);
  const bool has_upper = std::isfinite(upper);
  if (has_lower && has_upper) return 2;
  if (has_lower) return 1;
  if (has_upper) return 3;
  return 0;
}

// The step for component i at x: forward unless that leaves the box; backward if that stays
// inside; otherwise (a box narrower than the step) to the farther bound. Zero for a pinned one.
double difference_step(double x, double lower, double upper, double step) {
  if (x + step <= upper) return step;
  if (x - step >= lower) return -step;
  return upper - x >= x - lower ? upper - x : lower - x;
}

}  // namespace

MinimizeResult minimize_lbfgsb(const std::function<double(const Eigen::VectorXd&)>& objective,
                               const Eigen::VectorXd& x0, const Eigen::VectorXd& lower,
                               const Eigen::VectorXd& upper, const LbfgsbOptions& options) {
  if (lower.size() != x0.size() || upper.size() != x0.size()) {
    throw std::invalid_argument("minimize_lbfgsb: x0 and the bounds must have the same size");
  }
  const int n = static_cast<int>(x0.size());
  const int m = options.history;
  // With a window of our own the library's test only stops on no decrease at all.
  const double factr =
      options.ftol_window > 0 ? 0.0 : options.ftol / std::numeric_limits<double>::epsilon();
  const double pgtol = options.gtol;
  const int iprint = options.disp ? 1 : -1;

  Eigen::VectorXd x = x0;
  Eigen::VectorXd g = Eigen::VectorXd::Zero(n);
  Eigen::VectorXd probe(n);
  std::vector<int> nbd(n);
  for (int i = 0; i < n; ++i) nbd[i] = bound_kind(lower(i), upper(i));
  std::vector<double> wa(static_cast<std::size_t>((2 * m + 5) * n + 11 * m * m + 8 * m));
  std::vector<int> iwa(static_cast<std::size_t>(3 * n));
  char csave[kTextLength];
  int lsave[4] = {};
  int isave[44] = {};
  double dsave[29] = {};
  double f = 0.0;
  Task task("START");
  MinimizeResult result;
  std::vector<double> iterate_values;  // f at x0 and after every iteration

  const auto evaluate = [&] {
    f = objective(x);
    ++result.nfev;
    for (int i = 0; i < n; ++i) {
      if (lower(i) == upper(i)) {
        g(i) = 0.0;
        continue;
      }
      const double h = options.gradient_step;
      if (options.central_differences && x(i) - h >= lower(i) && x(i) + h <= upper(i)) {
        probe = x;
        probe(i) = x(i) + h;
        const double forward = objective(probe);
        const double dx_forward = probe(i) - x(i);
        probe(i) = x(i) - h;
        const double backward = objective(probe);
        g(i) = (forward - backward) / (dx_forward + (x(i) - probe(i)));
        result.nfev += 2;
        continue;
      }
      probe = x;
      probe(i) += difference_step(x(i), lower(i), upper(i), h);
      // The step actually taken, after rounding of x + h.
      const double dx = probe(i) - x(i);
      g(i) = (objective(probe) - f) / dx;
      ++result.nfev;
    }
  };

  while (true) {
    setulb_(&n, &m, x.data(), lower.data(), upper.data(), nbd.data(), &f, g.data(), &factr, &pgtol,
            wa.data(), iwa.data(), task.data(), &iprint, csave, lsave, isave, dsave, kTextLength,
            kTextLength);
    if (task.starts_with("FG")) {
      evaluate();
      if (iterate_values.empty()) {
        iterate_values.push_back(f);
        // No iteration allowed: the start point (projected into the box) is the answer, with
        // its value and gradient.
        if (options.maxiter <= 0) {
          task.set("STOP: TOTAL NO. of ITERATIONS REACHED LIMIT");
          break;
        }
      }
    } else if (task.starts_with("NEW_X")) {
      ++result.nit;
      iterate_values.push_back(f);
      if (options.ftol_window > 0 && result.nit >= options.ftol_window) {
        const double earlier = iterate_values[iterate_values.size() - 1 - options.ftol_window];
        if (earlier - f <= options.ftol * std::max(std::abs(earlier), std::abs(f))) {
          // Not handed back to the library, which would take an unknown task for a fresh
          // start; x, f and g are those of the accepted iterate.
          task.set("CONVERGENCE: REL_REDUCTION_OF_F_<=_FACTR*EPSMCH");
          break;
        }
      }
      // A stop set here takes effect at the next call, which only finishes the library's
      // report and leaves x, f and g as they are.
      if (result.nit >= options.maxiter) {
        task.set("STOP: TOTAL NO. of ITERATIONS REACHED LIMIT");
      } else if (result.nfev > options.maxfun) {
        task.set("STOP: TOTAL NO. of f AND g EVALUATIONS EXCEEDS LIMIT");
      }
    } else {
      break;  // CONVERGENCE, ABNORMAL_TERMINATION_IN_LNSRCH, ERROR, WARNING or our STOP
    }
  }
  result.x = x;
  result.fun = f;
  result.jac = g;
  result.success = task.starts_with("CONV");
  result.message = task.trimmed();
  return result;
}

MinimizeResult minimize_lbfgsb_until_settled(
    const std::function<double(const Eigen::VectorXd&)>& objective, const Eigen::VectorXd& x0,
    const Eigen::VectorXd& lower, const Eigen::VectorXd& upper, const LbfgsbOptions& options,
    double step_tolerance) {
  MinimizeResult total;
  total.x = x0;
  bool line_search_failed = false;
  for (bool first = true;; first = false) {
    // The first pass always runs, so that the result holds a computed value and gradient even
    // when no iteration is allowed.
    if (!first && total.nit >= options.maxiter) {
      total.success = false;
      total.message = "STOP: TOTAL NO. of ITERATIONS REACHED LIMIT";
      return total;
    }
    LbfgsbOptions pass_options = options;
    pass_options.maxiter = options.maxiter - total.nit;
    pass_options.maxfun = options.maxfun - total.nfev;
    // After a failed line search the same gradient would fail the same way; central
    // differences, free of the forward difference's bias, tell a minimum from a bad gradient.
    pass_options.central_differences = options.central_differences || line_search_failed;
    const MinimizeResult pass = minimize_lbfgsb(objective, total.x, lower, upper, pass_options);
    const bool settled = !first && (pass.x - total.x).cwiseAbs().maxCoeff() <= step_tolerance;
    total.x = pass.x;
    total.fun = pass.fun;
    total.jac = pass.jac;
    total.nit += pass.nit;
    total.nfev += pass.nfev;
    total.success = pass.success;
    total.message = pass.message;
    if (pass.message.rfind("ABNORMAL_TERMINATION_IN_LNSRCH", 0) == 0) {
      if (!pass_options.central_differences) {
        line_search_failed = true;
        continue;
      }
      if (!settled) continue;
      if (std::isfinite(pass.fun)) {
        // Not even the central-difference gradient leads anywhere lower: f no longer
        // decreases.
        total.success = true;
        total.message = "CONVERGENCE: REL_REDUCTION_OF_F_<=_FACTR*EPSMCH";
      }
      return total;
    }
    if (settled || !pass.success) return total;
  }
}

}  // namespace orvalt::calibration
