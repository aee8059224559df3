#include "orvalt/calibration/varnholt/calibration_report.hpp"

#include <fstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "orvalt/calibration/pellitor/synthetic_problem.hpp"
#include "orvalt/calibration/varnholt/extrinsic_bounds.hpp"
#include "orvalt/testing/file_contents.hpp"
#include "orvalt/testing/file_size_limit.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::calibration {
namespace {

// A run's report from a small synthetic calibration at the program's default settings.
TEST(CalibrationReportTest, HoldsEveryFindingOfTheRunAndItsSettings) {
  RunSettings settings;
  derive_extrinsics(settings);
  settings.camera_frame = "front_camera";
  settings.tag_size_m = 0.15113095;  // nlohmann's own digits: 0.15113094999999999
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
  VarnholtOptimizer optimizer(problem.A_list, problem.B_list, dir.path(), settings.extrinsics_bound,
                              settings.extrinsics_init);
  CalibOptimizerConfig cfg;
  cfg.disp = false;
  CalibrationReport report;
  report.optimization = optimizer.optimize(cfg);
  const Vector6d& x = report.optimization.vec6;
  const MinimizeResult& minimization = report.optimization.minimization;
  report.observability = analyze_observability(optimizer, cfg, x);
  report.optimization.accuracy.ground_normal_rmse = std::numeric_limits<double>::infinity();

  const auto path = write_calibration_report(dir.path(), report, settings);
  EXPECT_EQ(path, dir.path() / "calibration_report.json");
  const nlohmann::ordered_json json = nlohmann::ordered_json::parse(std::ifstream(path));
  std::vector<std::string> keys;
  for (const auto& item : json.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"verdict", "optimization", "observability", "motion",
                                            "accuracy", "validation", "recording", "settings"}));
  EXPECT_EQ(json["verdict"]["usable"], true);
  EXPECT_TRUE(json["verdict"]["unusable_parameters"].empty());
  EXPECT_TRUE(json["verdict"]["message"].is_null());
  EXPECT_EQ(json["optimization"]["success"], minimization.success);
  EXPECT_EQ(json["optimization"]["function_evaluations"], minimization.nfev);
  EXPECT_EQ(json["optimization"]["vec6"][2], x(2));
  const auto& rz = json["observability"]["rz"];
  EXPECT_EQ(rz["unit"], "rad");
  EXPECT_EQ(rz["determination"], "data");
  EXPECT_EQ(rz["sigma"], *report.observability.parameters[2].sigma);
  EXPECT_EQ(rz["curvature"]["AX=XB"], report.observability.parameters[2].curvature[0]);
  EXPECT_EQ(rz["curvature_others_free"]["AX=XB"],
            report.observability.parameters[2].free_curvature[0]);
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
  EXPECT_EQ(json["recording"]["result_suspect"], false);
  EXPECT_TRUE(json["recording"]["warning"].is_null());

  const std::string text = testing::read_text(path);
  EXPECT_NE(text.find("\"tag_size_m\": 0.15113095,\n"), std::string::npos);

  {
    const testing::FileSizeLimit nearly_full_disk(100);
    EXPECT_THROW(write_calibration_report(dir.path(), report, settings), std::runtime_error);
  }
  EXPECT_EQ(nlohmann::ordered_json::parse(std::ifstream(path)), json);

  // A parameter that stopped at its bound makes the result unusable, and the report says so.
  report.observability.parameters[2].determination = Determination::kAtBound;
  const auto unusable = nlohmann::ordered_json::parse(calibration_report_json(report, settings));
  EXPECT_EQ(unusable["verdict"]["usable"], false);
  EXPECT_EQ(unusable["verdict"]["unusable_parameters"],
            nlohmann::ordered_json::array({"rz stopped at its search bound"}));
  EXPECT_EQ(unusable["verdict"]["message"], usability_verdict(report.observability));
  EXPECT_EQ(unusable["observability"]["rz"]["determination"], "at_bound");
}

TEST(CalibrationReportTest, HeaderStampsThatWentBackwardsMakeTheResultSuspect) {
  CalibrationReport report;
  report.backward_header_stamps = {{"/color", 3}, {"/tf", 1}};
  const auto json = nlohmann::ordered_json::parse(calibration_report_json(report, RunSettings()));
  EXPECT_EQ(json["recording"]["backward_header_stamps"]["/color"], 3);
  EXPECT_EQ(json["recording"]["backward_header_stamps"]["/tf"], 1);
  EXPECT_EQ(json["recording"]["result_suspect"], true);
  EXPECT_EQ(json["recording"]["warning"], kBackwardStampsWarning);
}

}  // namespace
}  // namespace orvalt::calibration
