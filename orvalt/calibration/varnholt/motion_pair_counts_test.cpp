#include "orvalt/calibration/varnholt/motion_pair_counts.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace orvalt::calibration {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

const std::vector<int> kTargets = {0, 1, 2, 3, 4};

ImageCounts images(int frames, int without_tags, int tags_filtered, int failed = 0) {
  return {frames + without_tags + tags_filtered + failed, frames, without_tags, tags_filtered,
          failed};
}

// Every run without a motion pair used to be blamed on a board that was never seen.
TEST(NoMotionPairsMessageTest, TagsOfOtherIdsAreNamedWithTheOption) {
  const std::string message = no_motion_pairs_message(images(0, 3, 37), {}, kTargets);
  EXPECT_EQ(message,
            "No valid motion pairs: tags were seen in 37 of 40 images, but none of --target_ids 0 "
            "1 2 3 4; give the ids of your board's tags in --target_ids");
  // One frame left by the filter still gives no pair; the filter is still the cause.
  EXPECT_THAT(no_motion_pairs_message(images(1, 0, 20), {}, kTargets),
              HasSubstr("tags were seen in 20 of 21 images, but none of --target_ids"));
}

TEST(NoMotionPairsMessageTest, ABoardSeenInTooFewImagesIsCounted) {
  EXPECT_EQ(no_motion_pairs_message(images(1, 30, 0, 2), {}, kTargets),
            "No valid motion pairs: the AprilGrid board was detected in 1 of 33 images, not in two "
            "consecutive frames; check that it is in the camera's view while the robot moves (2 "
            "images could not be read)");
  EXPECT_THAT(no_motion_pairs_message(images(0, 0, 0), {}, kTargets),
              HasSubstr("no colour image has a depth image of the same name"));
}

TEST(NoMotionPairsMessageTest, EveryFateOfThePairsIsCounted) {
  MotionPairCounts gated;
  gated.pairs = 12;
  gated.gate_failures = 12;
  const std::string message = no_motion_pairs_message(images(13, 0, 0), gated, kTargets);
  EXPECT_THAT(message, StartsWith("No valid motion pairs: of 12 pairs of consecutive frames, 12 "
                                  "failed the 5 cm gate (odometry and camera translations "
                                  "differed by more than 0.05 m"));
  EXPECT_THAT(message, Not(HasSubstr("detected")));
  EXPECT_THAT(message, Not(HasSubstr("depth at the tag corners")));

  MotionPairCounts mixed;
  mixed.pairs = 9;
  mixed.no_common_tag = 1;
  mixed.no_depth = 5;
  mixed.not_finite = 2;
  mixed.gate_failures = 1;
  const std::string all = no_motion_pairs_message(images(10, 0, 4), mixed, kTargets);
  EXPECT_THAT(all, HasSubstr("of 9 pairs of consecutive frames, 1 had no tag seen in both frames"));
  EXPECT_THAT(all, HasSubstr(", 5 had no usable depth at the tag corners"));
  EXPECT_THAT(all, HasSubstr(", 2 gave a camera motion that is not a finite number: the camera "
                             "intrinsics (fx, fy, cx, cy of camera_info.yaml) are invalid"));
  EXPECT_THAT(all, HasSubstr(", 1 failed the 5 cm gate"));
  EXPECT_THAT(all, HasSubstr("; also, tags were seen in 4 of 14 images, but none of --target_ids"));
}

}  // namespace
}  // namespace orvalt::calibration
