#include "orvalt/calibration/varnholt/extrinsic_bounds.hpp"

#include <gtest/gtest.h>

namespace orvalt::calibration {
namespace {

TEST(ExtrinsicBoundsTest, DefaultsGiveTheNominalBox) {
  RunSettings settings;
  derive_extrinsics(settings);
  EXPECT_EQ(settings.extrinsics_init, (Vector6d() << 0, 0, 0, 0.01, 0.04, 0.146).finished());
  for (int i = 0; i < 3; ++i) {
    EXPECT_DOUBLE_EQ(settings.extrinsics_bound[i].first, -0.17453292519943295);
    EXPECT_DOUBLE_EQ(settings.extrinsics_bound[i].second, 0.17453292519943295);
  }
  EXPECT_NEAR(settings.extrinsics_bound[3].first, -0.02, 1e-15);
  EXPECT_NEAR(settings.extrinsics_bound[3].second, 0.04, 1e-15);
  EXPECT_NEAR(settings.extrinsics_bound[4].first, 0.01, 1e-15);
  EXPECT_NEAR(settings.extrinsics_bound[4].second, 0.07, 1e-15);
  EXPECT_NEAR(settings.extrinsics_bound[5].first, 0.116, 1e-15);
  EXPECT_NEAR(settings.extrinsics_bound[5].second, 0.176, 1e-15);
}

TEST(ExtrinsicBoundsTest, DegreesBecomeRadiansAroundTheInitialValue) {
  RunSettings settings;
  settings.init_extrinsics = {90, 0, 0, 0, 0, 0, 123};  // the seventh value is ignored
  derive_extrinsics(settings);
  EXPECT_EQ(settings.extrinsics_init[0], 1.5707963267948966);
  EXPECT_EQ(settings.extrinsics_bound[0].first, 1.5707963267948966 - 0.17453292519943295);
  EXPECT_EQ(settings.extrinsics_bound[0].second, 1.5707963267948966 + 0.17453292519943295);
}

TEST(ExtrinsicBoundsTest, ZeroOffsetsPinEveryParameter) {
  RunSettings settings;
  settings.extrinsics_rotate_offset = 0;
  settings.extrinsics_translate_offset = 0;
  derive_extrinsics(settings);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(settings.extrinsics_bound[i].first, settings.extrinsics_init[i]);
    EXPECT_EQ(settings.extrinsics_bound[i].second, settings.extrinsics_init[i]);
  }
}

TEST(ExtrinsicBoundsTest, NegativeOffsetsInvertTheBounds) {
  RunSettings settings;
  settings.extrinsics_translate_offset = -0.01;
  derive_extrinsics(settings);
  EXPECT_GT(settings.extrinsics_bound[3].first, settings.extrinsics_bound[3].second);
}

// Derivation takes the six values as the settings check guarantees them; fewer never reach it.
TEST(ExtrinsicBoundsTest, FewerThanSixValuesAreRefusedBeforeDerivation) {
  RunSettings settings;
  settings.init_extrinsics = {0, 0, 0, 0, 0};
  EXPECT_THROW(settings.check(), std::invalid_argument);
}

}  // namespace
}  // namespace orvalt::calibration
