#pragma once

#include <string>
#include <vector>

#include "orvalt/calibration/report_page/report_page_input.hpp"

namespace orvalt::calibration {

enum class VerdictLevel { kUsable, kUsableWithCaveats, kNotUsable };

// The page's first words: how far the result can be trusted, in one sentence, and the points
// behind it.
struct PageVerdict {
  VerdictLevel level = VerdictLevel::kNotUsable;
  std::string sentence;
  std::vector<std::string> reasons;
};

// Not usable when the run failed, has no result or left a parameter unusable (undetermined or
// at a bound); usable with caveats when a parameter is no measurement (held by the prior or
// fixed by its bounds), the coverage gave advice, a warning was raised or the board refinement
// failed; usable otherwise.
PageVerdict page_verdict(const ReportPageInput& input);

// "usable", "usable with caveats" or "not usable".
std::string verdict_name(VerdictLevel level);

// What became of a frame, as the trajectory shows it.
enum class FrameUse {
  kUsed,         // in at least one accepted motion pair
  kNoTags,       // the detector found no tag
  kOtherTags,    // tags of other ids only
  kUnreadable,   // image or name unreadable
  kGated,        // its pairs' odometry and camera motions disagreed beyond the gate
  kNoDepth,      // its tags had no depth
  kNotFinite,    // its camera motion was no finite number
  kNoSharedTag,  // no neighbour saw one of its tags
};

// Every image's use, index-aligned with `input.images`. A frame with tags that is in no
// accepted pair takes the most telling fate of its pairs: gated, then no depth, then not finite,
// then no shared tag.
std::vector<FrameUse> frame_uses(const ReportPageInput& input);

// "used", "no tags", "other ids only", ... for legends.
std::string frame_use_name(FrameUse use);

}  // namespace orvalt::calibration
