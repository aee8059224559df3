#pragma once

#include <string>

namespace orvalt::calibration {

// Solver options and cost weights of one calibration run; checks nothing itself.
struct CalibOptimizerConfig {
  std::string method = "L-BFGS-B";  // the only minimiser offered
  double gtol = 1e-8;               // projected-gradient tolerance
  double ftol = 1e-8;               // relative function-decrease tolerance
  int maxiter = 1000;               // iteration limit
  bool disp = true;                 // the minimiser prints its own progress to stdout
  double w_axxb = 1.0;              // weight of the AX = XB residual
  double w_normal = 10.0;           // weight of the ground-normal residual
  double w_z = 10.0;                // weight of the ground-height residual
  double w_xy = 1.0;                // weight of the horizontal-translation prior
  double cauchy_normal = 0.05;      // Cauchy scale of the ground-normal residual
  double cauchy_z = 0.02;           // Cauchy scale of the ground-height residual, metres
};

}  // namespace orvalt::calibration
