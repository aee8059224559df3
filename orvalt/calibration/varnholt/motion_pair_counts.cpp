#include "orvalt/calibration/varnholt/motion_pair_counts.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace orvalt::calibration {
namespace {

std::string images_text(int count) {
  return fmt::format("{} image{}", count, count == 1 ? "" : "s");
}

std::string filtered_text(const ImageCounts& images, const std::vector<int>& target_ids) {
  return fmt::format(
      "tags were seen in {} of {}, but none of --target_ids {}; give the ids of your board's tags "
      "in --target_ids",
      images.tags_filtered, images_text(images.images), fmt::join(target_ids, " "));
}

std::string too_few_frames(const ImageCounts& images, const std::vector<int>& target_ids) {
  if (images.images == 0) {
    return "no colour image has a depth image of the same name; check --camera_color_topic and "
           "--camera_depth_topic";
  }
  if (images.tags_filtered > 0) return filtered_text(images, target_ids);
  std::string text = fmt::format(
      "the AprilGrid board was detected in {} of {}, not in two consecutive frames; check that it "
      "is in the camera's view while the robot moves",
      images.frames, images_text(images.images));
  if (images.failed > 0) {
    text += fmt::format(" ({} could not be read)", images_text(images.failed));
  }
  return text;
}

std::string pair_fates(const ImageCounts& images, const MotionPairCounts& pairs,
                       const std::vector<int>& target_ids) {
  std::vector<std::string> fates;
  if (pairs.no_common_tag > 0) {
    fates.push_back(
        fmt::format("{} had no tag seen in both frames (keep the board in view between frames)",
                    pairs.no_common_tag));
  }
  if (pairs.no_depth > 0) {
    fates.push_back(fmt::format(
        "{} had no usable depth at the tag corners (every point of a tag needs a depth between "
        "0.05 and 5 m in both depth images; check the depth topic and that the board is within "
        "the camera's depth range)",
        pairs.no_depth));
  }
  if (pairs.not_finite > 0) {
    fates.push_back(fmt::format(
        "{} gave a camera motion that is not a finite number: the camera intrinsics (fx, fy, cx, "
        "cy of camera_info.yaml) are invalid",
        pairs.not_finite));
  }
  if (pairs.gate_failures > 0) {
    fates.push_back(fmt::format(
        "{} failed the 5 cm gate (odometry and camera translations differed by more than "
        "0.05 m; check the odometry, the depth scale and that depth is registered to colour)",
        pairs.gate_failures));
  }
  std::string text =
      fmt::format("of {} pairs of consecutive frames, {}", pairs.pairs, fmt::join(fates, ", "));
  if (images.tags_filtered > 0) text += "; also, " + filtered_text(images, target_ids);
  return text;
}

}  // namespace

std::string no_motion_pairs_message(const ImageCounts& images, const MotionPairCounts& pairs,
                                    const std::vector<int>& target_ids) {
  return "No valid motion pairs: " + (pairs.pairs == 0 ? too_few_frames(images, target_ids)
                                                       : pair_fates(images, pairs, target_ids));
}

}  // namespace orvalt::calibration
