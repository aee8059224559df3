#include "orvalt/calibration/report_page/page_verdict.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvalt/calibration/report_page/page_test_input.hpp"

namespace orvalt::calibration {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

TEST(PageVerdictTest, ADeterminedResultWithoutWarningsIsUsable) {
  const PageVerdict verdict = page_verdict(sample_page_input());
  EXPECT_EQ(verdict.level, VerdictLevel::kUsable);
  EXPECT_THAT(verdict.sentence, HasSubstr("Usable"));
  EXPECT_TRUE(verdict.reasons.empty());
}

TEST(PageVerdictTest, AFailedRunIsNotUsableAndSaysWhy) {
  ReportPageInput input = sample_page_input();
  input.failure = "No valid motion pairs: the board was seen in 1 of 40 images";
  const PageVerdict verdict = page_verdict(input);
  EXPECT_EQ(verdict.level, VerdictLevel::kNotUsable);
  EXPECT_THAT(verdict.reasons, ElementsAre(*input.failure));
}

TEST(PageVerdictTest, AnUnusableParameterOutweighsEverythingElse) {
  ReportPageInput input = sample_page_input();
  input.unusable = {"tx is undetermined"};
  input.parameters[3].determination = "undetermined";
  input.parameters[3].message = "turn the robot more";
  input.advice = {"The heading spans only 10 degrees"};
  const PageVerdict verdict = page_verdict(input);
  EXPECT_EQ(verdict.level, VerdictLevel::kNotUsable);
  EXPECT_THAT(verdict.sentence, HasSubstr("tx is undetermined"));
  EXPECT_THAT(verdict.reasons, ElementsAre("tx: turn the robot more"));
}

TEST(PageVerdictTest, PriorHeldParametersAdviceAndAFailedRefinementAreCaveats) {
  ReportPageInput input = sample_page_input();
  for (int i : {3, 4}) {
    input.parameters[i].determination = "prior";
    input.parameters[i].message = "held by the prior";
  }
  PageVerdict verdict = page_verdict(input);
  EXPECT_EQ(verdict.level, VerdictLevel::kUsableWithCaveats);
  EXPECT_THAT(verdict.sentence, HasSubstr("tx and ty were not measured"));
  EXPECT_EQ(verdict.reasons.size(), 2u);

  input = sample_page_input();
  input.refinement = PageRefinement{};
  input.refinement->failure_reason = "reprojection RMS 3.1 px";
  verdict = page_verdict(input);
  EXPECT_EQ(verdict.level, VerdictLevel::kUsableWithCaveats);
  EXPECT_THAT(verdict.reasons, ElementsAre(HasSubstr("reprojection RMS 3.1 px")));
}

TEST(FrameUsesTest, EachFrameTakesItsImageFateOrItsMostTellingPair) {
  ReportPageInput input;
  const auto image = [](std::int64_t stamp, ImageFate fate) {
    PageImage page_image;
    page_image.stamp_ns = stamp;
    page_image.fate = fate;
    return page_image;
  };
  input.images = {image(1, ImageFate::kTags),   image(2, ImageFate::kTags),
                  image(3, ImageFate::kTags),   image(4, ImageFate::kTags),
                  image(5, ImageFate::kNoTags), image(6, ImageFate::kTags)};
  input.pairs = {{1, 2, PairFate::kAccepted, 0.01},
                 {2, 3, PairFate::kNoCommonTag, NAN},
                 {3, 4, PairFate::kGated, 0.09}};
  // Frame 3 is in a pair without a shared tag and a gated one: the gate is what dropped it.
  EXPECT_THAT(frame_uses(input),
              ElementsAre(FrameUse::kUsed, FrameUse::kUsed, FrameUse::kGated, FrameUse::kGated,
                          FrameUse::kNoTags, FrameUse::kNoSharedTag));
}

}  // namespace
}  // namespace orvalt::calibration
