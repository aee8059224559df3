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
  const double factr = options.ftol / std::numeric_limits<double>::epsilon();
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

  const auto evaluate = [&] {
    f = objective(x);
    ++result.nfev;
    for (int i = 0; i < n; ++i) {
      if (lower(i) == upper(i)) {
        g(i) = 0.0;
        continue;
      }
      probe = x;
      probe(i) += difference_step(x(i), lower(i), upper(i), options.gradient_step);
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
    } else if (task.starts_with("NEW_X")) {
      ++result.nit;
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

}  // namespace orvalt::calibration
