#include "bench/accuracy/accuracy_conditions.hpp"

#include <algorithm>
#include <set>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bench/accuracy/accuracy_job.hpp"

namespace orvalt::bench {
namespace {

using ::testing::ElementsAre;

const CalibrationSetting& setting_named(const std::string& name) {
  const std::vector<CalibrationSetting>& settings = calibration_settings();
  const auto found = std::find_if(settings.begin(), settings.end(),
                                  [&](const CalibrationSetting& s) { return s.name == name; });
  if (found == settings.end()) throw std::invalid_argument("no setting " + name);
  return *found;
}

calibration::RunSettings settings_of(const std::string& name) {
  return run_settings(setting_named(name), simulation::BoardLayout(), "bag", "run");
}

TEST(CalibrationSettingsTest, EachSettingReachesTheProgramOptionsItNames) {
  const calibration::RunSettings program_defaults;
  const calibration::RunSettings defaults = settings_of("defaults");
  EXPECT_EQ(defaults.detector, "opencv");
  EXPECT_EQ(defaults.refine, "board");
  EXPECT_EQ(defaults.target_ids, program_defaults.target_ids);

  const calibration::RunSettings free_prior = settings_of("w_xy 0, all ids");
  EXPECT_EQ(free_prior.detector, "opencv");
  EXPECT_EQ(free_prior.refine, program_defaults.refine);
  EXPECT_EQ(free_prior.w_xy, 0.0);
  EXPECT_EQ(free_prior.target_ids.size(), 10u);

  // Only the engine differs from the defaults run, so a change in error is the engine's.
  const calibration::RunSettings apriltag = settings_of("--detector apriltag");
  EXPECT_EQ(apriltag.detector, "apriltag");
  EXPECT_EQ(apriltag.tag_border_bits, program_defaults.tag_border_bits);
  EXPECT_EQ(apriltag.refine, "board");
  EXPECT_EQ(apriltag.w_xy, defaults.w_xy);
  EXPECT_EQ(apriltag.target_ids, defaults.target_ids);
  EXPECT_EQ(apriltag.parser_output_dir, "run");
  EXPECT_EQ(apriltag.bag_dir, "bag");
}

TEST(CalibrationSettingsTest, RunDirectoriesDoNotCollide) {
  std::set<std::string> slugs;
  for (const CalibrationSetting& setting : calibration_settings()) slugs.insert(setting.slug);
  EXPECT_EQ(slugs.size(), calibration_settings().size());
}

// The report finds the settings and the refined results by their place in this list, and
// stored job results by these names.
TEST(CalibrationSettingsTest, MethodNamesKeepTheirPlacesWithTheApriltagEngineAdded) {
  const std::vector<std::string> names = method_names();
  ASSERT_GE(names.size(), 6u);
  EXPECT_THAT(std::vector<std::string>(names.begin(), names.begin() + 6),
              ElementsAre("varnholt, defaults", "varnholt, w_xy 0, all ids",
                          "varnholt, --detector apriltag", "varnholt, --refine board",
                          "varnholt, --detector apriltag, --refine board", "solve_axxb_linear"));
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size());
}

}  // namespace
}  // namespace orvalt::bench
