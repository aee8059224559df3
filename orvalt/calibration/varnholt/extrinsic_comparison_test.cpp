#include "orvalt/calibration/varnholt/extrinsic_comparison.hpp"

#include <fstream>

#include <gtest/gtest.h>
#include <Eigen/Geometry>

#include "orvalt/calibration/utils/transform_utils.hpp"
#include "orvalt/calibration/varnholt/calibration_result.hpp"
#include "orvalt/common/file_not_found_error.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::calibration {
namespace {

Eigen::Matrix4d transform(double rx, double ry, double rz, double tx, double ty, double tz) {
  Vector6d vec6;
  vec6 << rx, ry, rz, tx, ty, tz;
  return TransformUtils::vector6_to_transform_matrix(vec6);
}

TEST(ExtrinsicComparisonTest, ErrorsAreTheRelativeAngleAndTheOffset) {
  const Eigen::Matrix4d truth = transform(0.01, 0.07, 0.05, 0.025, 0.028, 0.152);
  Eigen::Matrix4d estimate = truth;
  estimate.block<3, 3>(0, 0) =
      truth.block<3, 3>(0, 0) * Eigen::AngleAxisd(0.5 * M_PI / 180, Eigen::Vector3d::UnitX());
  estimate(0, 3) += 0.003;
  estimate(1, 3) -= 0.004;
  const ExtrinsicError error = extrinsic_error(estimate, truth);
  EXPECT_NEAR(error.rotation_deg, 0.5, 1e-9);
  EXPECT_NEAR(error.translation_mm, 5.0, 1e-9);
}

TEST(ExtrinsicComparisonTest, ReadsTheMatrixOfAResultFile) {
  testing::TempDir dir;
  const Eigen::Matrix4d truth = transform(0.01, 0.07, 0.05, 0.025, 0.028, 0.152);
  Vector6d vec6;
  vec6 << 0.01, 0.07, 0.05, 0.025, 0.028, 0.152;
  std::ofstream(dir / "result.json") << calibration_result_json(decompose_extrinsic(vec6));
  EXPECT_TRUE(read_extrinsic_matrix(dir / "result.json").isApprox(truth, 1e-7));
  std::ofstream(dir / "other.json") << R"({"extrinsic_matrix_4x4": [[1, 0], [0, 1]]})";
  EXPECT_THROW(read_extrinsic_matrix(dir / "other.json"), std::runtime_error);
  EXPECT_THROW(read_extrinsic_matrix(dir / "missing.json"), common::FileNotFoundError);
}

TEST(ExtrinsicComparisonTest, ReportShowsBothSidesAndTheErrors) {
  const Eigen::Matrix4d truth = transform(0.0, 0.0, 0.0, 0.01, 0.02, 0.15);
  const Eigen::Matrix4d estimate = transform(0.0, 0.0, 1.0 * M_PI / 180, 0.01, 0.02, 0.152);
  const std::string report = comparison_report(estimate, truth);
  EXPECT_NE(report.find("yaw (deg)          1.000       0.000       1.000\n"), std::string::npos)
      << report;
  EXPECT_NE(report.find("z (mm)             152.0       150.0         2.0\n"), std::string::npos)
      << report;
  EXPECT_NE(report.find("rotation error: 1.000 deg, translation error: 2.0 mm\n"),
            std::string::npos);
}

TEST(ExtrinsicComparisonTest, ReportShowsTheOptimizersAndTheRefinedResultBesideTheTruth) {
  const Eigen::Matrix4d truth = transform(0.0, 0.0, 0.0, 0.01, 0.02, 0.15);
  const Eigen::Matrix4d optimizer = transform(0.0, 0.0, 1.0 * M_PI / 180, 0.01, 0.02, 0.152);
  const Eigen::Matrix4d refined = transform(0.0, 0.0, 0.02 * M_PI / 180, 0.01, 0.02, 0.1503);
  const std::string report =
      comparison_report({{"optimizer", optimizer}, {"refined", refined}}, truth, "reference");
  EXPECT_NE(report.find("               optimizer     refined   reference  optimizer diff    "
                        "refined diff\n"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("yaw (deg)          1.000       0.020       0.000           1.000"
                        "           0.020\n"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("z (mm)            152.00      150.30      150.00            2.00"
                        "            0.30\n"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("refined rotation error: 0.020 deg, translation error: 0.30 mm\n"),
            std::string::npos);

  const testing::TempDir dir;
  std::ofstream(dir.path() / "report.json")
      << R"({"optimization": {"vec6": [0.0, 0.0, 0.5, 0.01, 0.02, 0.15]}})";
  EXPECT_TRUE(read_optimizer_extrinsic(dir.path() / "report.json")
                  .isApprox(transform(0.0, 0.0, 0.5, 0.01, 0.02, 0.15), 1e-12));
  std::ofstream(dir.path() / "result.json") << R"({"vec6": [0.0, 0.0, 0.5]})";
  EXPECT_THROW(read_optimizer_extrinsic(dir.path() / "result.json"), std::runtime_error);
}

}  // namespace
}  // namespace orvalt::calibration
