#include "orvalt/calibration/report_page/page_verdict.hpp"

#include <algorithm>
#include <map>

#include <fmt/format.h>

namespace orvalt::calibration {
namespace {

// How telling a failed pair is about why its frames were not used; higher wins.
int rank(PairFate fate) {
  switch (fate) {
    case PairFate::kGated:
      return 4;
    case PairFate::kNoDepth:
      return 3;
    case PairFate::kNotFinite:
      return 2;
    case PairFate::kNoCommonTag:
      return 1;
    case PairFate::kAccepted:
      return 5;
  }
  return 0;
}

FrameUse use_of(PairFate fate) {
  switch (fate) {
    case PairFate::kAccepted:
      return FrameUse::kUsed;
    case PairFate::kGated:
      return FrameUse::kGated;
    case PairFate::kNoDepth:
      return FrameUse::kNoDepth;
    case PairFate::kNotFinite:
      return FrameUse::kNotFinite;
    case PairFate::kNoCommonTag:
      return FrameUse::kNoSharedTag;
  }
  return FrameUse::kNoSharedTag;
}

FrameUse use_of(ImageFate fate) {
  switch (fate) {
    case ImageFate::kNoTags:
      return FrameUse::kNoTags;
    case ImageFate::kOtherTags:
      return FrameUse::kOtherTags;
    case ImageFate::kUnreadable:
      return FrameUse::kUnreadable;
    case ImageFate::kTags:
      break;
  }
  return FrameUse::kNoSharedTag;
}

}  // namespace

std::string verdict_name(VerdictLevel level) {
  switch (level) {
    case VerdictLevel::kUsable:
      return "usable";
    case VerdictLevel::kUsableWithCaveats:
      return "usable with caveats";
    case VerdictLevel::kNotUsable:
      return "not usable";
  }
  return "not usable";
}

PageVerdict page_verdict(const ReportPageInput& input) {
  PageVerdict verdict;
  if (input.failure) {
    verdict.sentence = "Not usable: the calibration failed, so this run gives no result.";
    verdict.reasons.push_back(*input.failure);
    return verdict;
  }
  if (!input.has_result) {
    verdict.sentence = "Not usable: the run ended before it had a result.";
    return verdict;
  }
  if (!input.unusable.empty()) {
    verdict.sentence = fmt::format(
        "Not usable as it stands: {}. See \"What the recording determined\" for what to record "
        "again.",
        fmt::join(input.unusable, ", "));
    for (const PageParameter& parameter : input.parameters) {
      if (!parameter.message.empty() &&
          (parameter.determination == "undetermined" || parameter.determination == "at_bound")) {
        verdict.reasons.push_back(parameter.name + ": " + parameter.message);
      }
    }
    return verdict;
  }
  std::vector<std::string> unmeasured;
  for (const PageParameter& parameter : input.parameters) {
    if (parameter.determination == "prior" || parameter.determination == "bounds") {
      unmeasured.push_back(parameter.name);
      verdict.reasons.push_back(parameter.name + ": " + parameter.message);
    }
  }
  verdict.reasons.insert(verdict.reasons.end(), input.advice.begin(), input.advice.end());
  verdict.reasons.insert(verdict.reasons.end(), input.caveats.begin(), input.caveats.end());
  if (input.refinement && !input.refinement->success) {
    verdict.reasons.push_back("The board refinement did not work (" +
                              input.refinement->failure_reason +
                              "); the result is the optimizer's.");
  }
  if (verdict.reasons.empty()) {
    verdict.level = VerdictLevel::kUsable;
    verdict.sentence =
        "Usable: the recording determined all six parameters, each with the uncertainty given "
        "below.";
    return verdict;
  }
  verdict.level = VerdictLevel::kUsableWithCaveats;
  verdict.sentence =
      unmeasured.empty()
          ? "Usable with caveats: the recording determined all six parameters, but read the "
            "points below."
          : fmt::format(
                "Usable with caveats: {} {} not measured but taken from the starting values; the "
                "other parameters were determined by the recording.",
                fmt::join(unmeasured, " and "), unmeasured.size() == 1 ? "was" : "were");
  return verdict;
}

std::vector<FrameUse> frame_uses(const ReportPageInput& input) {
  // The most telling pair fate of every frame stamp.
  std::map<std::int64_t, PairFate> fate_by_stamp;
  for (const PagePair& pair : input.pairs) {
    for (const std::int64_t stamp : {pair.stamp_ns, pair.next_stamp_ns}) {
      const auto [entry, added] = fate_by_stamp.emplace(stamp, pair.fate);
      if (!added && rank(pair.fate) > rank(entry->second)) entry->second = pair.fate;
    }
  }
  std::vector<FrameUse> uses;
  uses.reserve(input.images.size());
  for (const PageImage& image : input.images) {
    if (image.fate != ImageFate::kTags) {
      uses.push_back(use_of(image.fate));
      continue;
    }
    const auto pair = fate_by_stamp.find(image.stamp_ns);
    uses.push_back(pair == fate_by_stamp.end() ? FrameUse::kNoSharedTag : use_of(pair->second));
  }
  return uses;
}

std::string frame_use_name(FrameUse use) {
  switch (use) {
    case FrameUse::kUsed:
      return "used";
    case FrameUse::kNoTags:
      return "no tags";
    case FrameUse::kOtherTags:
      return "other tag ids only";
    case FrameUse::kUnreadable:
      return "unreadable";
    case FrameUse::kGated:
      return "gated (motions disagree)";
    case FrameUse::kNoDepth:
      return "no depth at the tags";
    case FrameUse::kNotFinite:
      return "camera motion not finite";
    case FrameUse::kNoSharedTag:
      return "no tag shared with a neighbour";
  }
  return "";
}

}  // namespace orvalt::calibration
