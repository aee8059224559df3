#include "orvalt/calibration/varnholt/calibration_report.hpp"

#include <fstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "orvalt/calibration/pellitor/synthetic_problem.hpp"
#include "orvalt/calibration/varnholt/extrinsic_bounds.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::calibration {
namespace {

// A run's report from a small synthetic calibration at the program's default settings.
TEST(CalibrationReportTest, HoldsEveryFindingOfTheRunAndItsSettings) {
  RunSettings settings;
  derive_extrinsics(settings);
  settings.camera_frame = "front_camera";
  settings.detector = "apriltag";
  settings.tag_border_bits = 2;
  SyntheticProblemOptions options;
  options.true_vec6 << 0.01, 0.07, 0.05, 0.01, 0.04, 0.15;  // tx, ty at the initial values
  options.rotation_noise = 1e-3;
  options.translation_noise = 1e-3;
  options.ground_noise = 1e-3;
  const SyntheticProblem problem = make_synthetic_problem(options);
  testing::TempDir dir;
  write_ground_clouds(problem.camera_ground_points, dir.path());
  std::vector<std::vector<double>> bounds;
  for (const auto& [low, high] : settings.extrinsics_bound) bounds.push_back({low, high});
  VarnholtOptimizer optimizer({problem.A_list.begin(), problem.A_list.end()},
                              {problem.B_list.begin(), problem.B_list.end()}, dir.path(), bounds,
                              Eigen::Map<const Vector6d>(settings.extrinsics_init.data()));
  CalibOptimizerConfig cfg;
  cfg.disp = false;
  const auto [x, minimization] = optimizer.optimize(cfg);
  CalibrationReport report{minimization, analyze_observability(optimizer, cfg, x),
                           optimizer.accuracy_metrics(x), optimizer.validation_record(x)};
  report.accuracy.ground_normal_rmse = std::numeric_limits<double>::infinity();

  const auto path = write_calibration_report(dir.path(), report, settings);
  EXPECT_EQ(path, dir.path() / "calibration_report.json");
  const nlohmann::ordered_json json = nlohmann::ordered_json::parse(std::ifstream(path));
  std::vector<std::string> keys;
  for (const auto& item : json.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"optimization", "observability", "motion", "accuracy",
                                            "validation", "settings"}));
  EXPECT_EQ(json["optimization"]["success"], minimization.success);
  EXPECT_EQ(json["optimization"]["function_evaluations"], minimization.nfev);
  EXPECT_EQ(json["optimization"]["vec6"][2], x(2));
  const auto& rz = json["observability"]["rz"];
  EXPECT_EQ(rz["unit"], "rad");
  EXPECT_EQ(rz["determination"], "data");
  EXPECT_EQ(rz["sigma"], *report.observability.parameters[2].sigma);
  EXPECT_EQ(rz["curvature"]["AX=XB"], report.observability.parameters[2].curvature[0]);
  EXPECT_TRUE(rz["message"].is_null());
  const auto& tz = json["observability"]["tz"];
  EXPECT_EQ(tz["determined_by"], "ground height");
  EXPECT_EQ(json["motion"]["accepted_pairs"], 20);
  EXPECT_EQ(json["motion"]["ground_clouds"], 4);
  EXPECT_TRUE(json["accuracy"]["ground_normal_rmse"].is_null());
  EXPECT_EQ(json["accuracy"]["num_valid_ground_planes"], 4);
  EXPECT_EQ(json["validation"]["valid"], true);
  EXPECT_EQ(json["validation"]["transformation_matrix"].size(), 4u);
  EXPECT_EQ(json["settings"]["w_xy"], 1.0);
  EXPECT_EQ(json["settings"]["camera_frame"], "front_camera");
  EXPECT_EQ(json["settings"]["detector"], "apriltag");
  EXPECT_EQ(json["settings"]["tag_border_bits"], 2);
  EXPECT_EQ(json["settings"]["extrinsics_bound"].size(), 6u);
  EXPECT_TRUE(json["settings"]["bag_dir"].is_null());
}

}  // namespace
}  // namespace orvalt::calibration
