#include "orvalt/calibration/pellitor/lbfgsb_minimizer.hpp"

#include <cmath>
#include <limits>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvalt/testing/eigen_matchers.hpp"

namespace orvalt::calibration {
namespace {

using testing::EigenNear;

constexpr double kInf = std::numeric_limits<double>::infinity();

double rosenbrock(const Eigen::VectorXd& x) {
  double sum = 0.0;
  for (Eigen::Index i = 0; i + 1 < x.size(); ++i) {
    sum += 100.0 * std::pow(x(i + 1) - x(i) * x(i), 2) + std::pow(1.0 - x(i), 2);
  }
  return sum;
}

LbfgsbOptions tight() {
  LbfgsbOptions options;
  options.ftol = 1e-15;
  options.gtol = 1e-10;
  return options;
}

TEST(LbfgsbMinimizerTest, FindsAnInteriorMinimumAndCountsEveryEvaluation) {
  int calls = 0;
  const auto counted = [&](const Eigen::VectorXd& x) {
    ++calls;
    return rosenbrock(x);
  };
  const Eigen::VectorXd x0 = Eigen::VectorXd::Constant(4, -0.5);
  const auto result = minimize_lbfgsb(counted, x0, Eigen::VectorXd::Constant(4, -2.0),
                                      Eigen::VectorXd::Constant(4, 2.0), tight());
  EXPECT_TRUE(result.success) << result.message;
  EXPECT_THAT(result.message, ::testing::StartsWith("CONVERGENCE: "));
  EXPECT_THAT(result.x, EigenNear(Eigen::VectorXd::Ones(4), 1e-5));
  EXPECT_NEAR(result.fun, rosenbrock(result.x), 1e-15);
  EXPECT_EQ(result.nfev, calls);
  EXPECT_EQ(result.nfev % 5, 0);  // one value and four probes per gradient
  EXPECT_GT(result.nit, 5);
  EXPECT_EQ(result.jac.size(), 4);
  EXPECT_LT(result.jac.cwiseAbs().maxCoeff(), 1e-4);
}

TEST(LbfgsbMinimizerTest, GradientProbesStayInsideTheBox) {
  // The minimum (3, -3) lies outside the box: the answer sits on the bounds, where a forward
  // probe of x(0) and a backward probe of x(1) would leave the box.
  bool left_box = false;
  const auto bowl = [&](const Eigen::VectorXd& x) {
    left_box = left_box || x(0) > 1.0 || x(0) < -1.0 || x(1) > 1.0 || x(1) < -1.0;
    return std::pow(x(0) - 3.0, 2) + std::pow(x(1) + 3.0, 2);
  };
  const auto result = minimize_lbfgsb(bowl, Eigen::Vector2d(0.2, 0.3), Eigen::Vector2d(-1, -1),
                                      Eigen::Vector2d(1, 1), tight());
  EXPECT_TRUE(result.success) << result.message;
  EXPECT_THAT(result.x, EigenNear(Eigen::Vector2d(1.0, -1.0), 1e-12));
  EXPECT_FALSE(left_box);
  // The one-sided differences at the bounds still give the slope: (-4, 4).
  EXPECT_THAT(result.jac, EigenNear(Eigen::Vector2d(-4.0, 4.0), 1e-5));
}

TEST(LbfgsbMinimizerTest, HoldsPinnedParametersAndAcceptsOpenBounds) {
  bool moved = false;
  const auto bowl = [&](const Eigen::VectorXd& x) {
    moved = moved || x(1) != 0.25;
    return std::pow(x(0) - 3.0, 2) + std::pow(x(1) - 1.0, 2) + std::pow(x(2) + 2.0, 2);
  };
  const auto result =
      minimize_lbfgsb(bowl, Eigen::Vector3d(0.0, 0.25, 0.0), Eigen::Vector3d(-kInf, 0.25, -kInf),
                      Eigen::Vector3d(kInf, 0.25, 0.0), tight());
  EXPECT_TRUE(result.success) << result.message;
  EXPECT_THAT(result.x, EigenNear(Eigen::Vector3d(3.0, 0.25, -2.0), 1e-6));
  EXPECT_FALSE(moved);
  EXPECT_EQ(result.jac(1), 0.0);
}

TEST(LbfgsbMinimizerTest, IterationLimitIsAFailureThatKeepsTheLastPoint) {
  LbfgsbOptions options = tight();
  options.maxiter = 2;
  const Eigen::VectorXd x0 = Eigen::VectorXd::Constant(3, -0.5);
  const auto result = minimize_lbfgsb(rosenbrock, x0, Eigen::VectorXd::Constant(3, -2.0),
                                      Eigen::VectorXd::Constant(3, 2.0), options);
  EXPECT_FALSE(result.success);
  EXPECT_EQ(result.message, "STOP: TOTAL NO. of ITERATIONS REACHED LIMIT");
  EXPECT_EQ(result.nit, 2);
  EXPECT_LT(result.fun, rosenbrock(x0));
  EXPECT_DOUBLE_EQ(result.fun, rosenbrock(result.x));

  options.maxiter = 1000;
  options.maxfun = 10;
  const auto limited = minimize_lbfgsb(rosenbrock, x0, Eigen::VectorXd::Constant(3, -2.0),
                                       Eigen::VectorXd::Constant(3, 2.0), options);
  EXPECT_FALSE(limited.success);
  EXPECT_EQ(limited.message, "STOP: TOTAL NO. of f AND g EVALUATIONS EXCEEDS LIMIT");
}

// The library's decrease test is relative to max(|f|, 1): on an objective a million times
// smaller it is an absolute test and stops far short. The window test is relative to f.
TEST(LbfgsbMinimizerTest, DecreaseWindowMakesTheTestRelativeToTheObjective) {
  const auto tiny = [](const Eigen::VectorXd& x) { return 1e-6 * rosenbrock(x); };
  const Eigen::VectorXd x0 = Eigen::VectorXd::Constant(4, -0.5);
  const Eigen::VectorXd lower = Eigen::VectorXd::Constant(4, -2.0);
  const Eigen::VectorXd upper = Eigen::VectorXd::Constant(4, 2.0);
  LbfgsbOptions options;
  const auto library = minimize_lbfgsb(tiny, x0, lower, upper, options);
  EXPECT_GT((library.x - Eigen::VectorXd::Ones(4)).norm(), 1e-2);
  options.ftol_window = 4;
  const auto windowed = minimize_lbfgsb(tiny, x0, lower, upper, options);
  EXPECT_TRUE(windowed.success) << windowed.message;
  EXPECT_THAT(windowed.x, EigenNear(Eigen::VectorXd::Ones(4), 1e-3));
}

TEST(LbfgsbMinimizerTest, SettledRunsConfirmTheMinimumAndCountOverAllPasses) {
  int calls = 0;
  const auto counted = [&](const Eigen::VectorXd& x) {
    ++calls;
    return rosenbrock(x);
  };
  const Eigen::VectorXd x0 = Eigen::VectorXd::Constant(3, -0.5);
  const Eigen::VectorXd lower = Eigen::VectorXd::Constant(3, -2.0);
  const Eigen::VectorXd upper = Eigen::VectorXd::Constant(3, 2.0);
  LbfgsbOptions options;
  options.ftol_window = 3;
  const auto single = minimize_lbfgsb(rosenbrock, x0, lower, upper, options);
  const auto result = minimize_lbfgsb_until_settled(counted, x0, lower, upper, options, 1e-6);
  EXPECT_TRUE(result.success) << result.message;
  EXPECT_THAT(result.x, EigenNear(Eigen::VectorXd::Ones(3), 1e-5));
  EXPECT_GT(result.nit, single.nit);  // at least one confirming pass
  EXPECT_EQ(result.nfev, calls);
  EXPECT_NEAR(result.fun, rosenbrock(result.x), 1e-15);

  options.maxiter = 2;
  const auto limited = minimize_lbfgsb_until_settled(rosenbrock, x0, lower, upper, options, 1e-6);
  EXPECT_FALSE(limited.success);
  EXPECT_EQ(limited.nit, 2);
  EXPECT_EQ(limited.message, "STOP: TOTAL NO. of ITERATIONS REACHED LIMIT");
}

TEST(LbfgsbMinimizerTest, WithoutIterationsTheStartPointIsEvaluated) {
  const Eigen::VectorXd x0 = Eigen::VectorXd::Constant(3, -0.5);
  const Eigen::VectorXd lower = Eigen::VectorXd::Constant(3, -2.0);
  const Eigen::VectorXd upper = Eigen::VectorXd::Constant(3, 2.0);
  for (const int maxiter : {0, -4}) {
    LbfgsbOptions options;
    options.maxiter = maxiter;
    for (const bool settled : {false, true}) {
      int calls = 0;
      const auto counted = [&](const Eigen::VectorXd& x) {
        ++calls;
        return rosenbrock(x);
      };
      const auto result =
          settled ? minimize_lbfgsb_until_settled(counted, x0, lower, upper, options, 1e-6)
                  : minimize_lbfgsb(counted, x0, lower, upper, options);
      EXPECT_FALSE(result.success);
      EXPECT_EQ(result.message, "STOP: TOTAL NO. of ITERATIONS REACHED LIMIT");
      EXPECT_EQ(result.nit, 0);
      EXPECT_EQ(result.nfev, 4);  // the value and three gradient probes
      EXPECT_EQ(result.nfev, calls);
      EXPECT_THAT(result.x, EigenNear(x0, 0.0));
      EXPECT_EQ(result.fun, rosenbrock(x0));
      ASSERT_EQ(result.jac.size(), 3);
      EXPECT_NEAR(result.jac(0), -153.0, 1e-4);  // 200 (x1 - x0^2) (-2 x0) - 2 (1 - x0)
    }
  }
}

TEST(LbfgsbMinimizerTest, CentralDifferencesAreExactForQuadratics) {
  const auto bowl = [](const Eigen::VectorXd& x) { return 1e4 * std::pow(x(0) - 0.3, 2); };
  LbfgsbOptions options;
  options.maxiter = 1;
  options.central_differences = true;
  const auto result =
      minimize_lbfgsb(bowl, Eigen::VectorXd::Constant(1, 0.0), Eigen::VectorXd::Constant(1, -10.0),
                      Eigen::VectorXd::Constant(1, 10.0), options);
  ASSERT_NEAR(result.x(0), 0.3, 1e-6);
  // The forward difference would be off by h f'' / 2 = 1e-4 here.
  EXPECT_NEAR(result.jac(0), 2e4 * (result.x(0) - 0.3), 1e-6);
}

TEST(LbfgsbMinimizerTest, ReportsTheLibrarysOwnErrors) {
  const auto result = minimize_lbfgsb(rosenbrock, Eigen::Vector2d(0, 0), Eigen::Vector2d(1, 1),
                                      Eigen::Vector2d(0, 0), tight());
  EXPECT_FALSE(result.success);
  EXPECT_EQ(result.message, "ERROR: NO FEASIBLE SOLUTION");
  EXPECT_THROW(minimize_lbfgsb(rosenbrock, Eigen::Vector2d(0, 0), Eigen::Vector3d(0, 0, 0),
                               Eigen::Vector2d(1, 1), tight()),
               std::invalid_argument);
}

}  // namespace
}  // namespace orvalt::calibration
