#pragma once

#include <optional>

#include <opencv2/core/mat.hpp>

#include "orvalt/apriltag/quinsel/tag_map.hpp"

namespace orvalt::apriltag {

// The four outer corners of a tag found again from its edges: each side of the black square
// is located to a fraction of a pixel at many points along its length and fitted with a line,
// and adjacent lines cross at the corners. A corner detector settles on a few pixels around
// each corner, where the two edges blur into each other; a whole side holds far more evidence.
// `gray`: the 8-bit image the tag was detected in, rectified (straight edges stay straight).
// `corners`: the detector's four corners, clockwise from the tag's own top-left (a fifth row
// is ignored). Gives the four corners in the same order. Empty when the tag is too small, too near
// the image's edge, or its sides do not show as clean edges; a corner would then move further than
// the detector can be wrong.
std::optional<TagPoints> refine_tag_edges(const cv::Mat& gray, const TagPoints& corners);

// Sides shorter than this (pixels) hold too few edge points for a line.
constexpr double kMinEdgeFitSidePx = 16.0;

// refine_tag_edges for every tag of `tags`, detected in `gray`; the tags whose edges did not
// fit are left out.
TagMap refine_tags_edges(const cv::Mat& gray, const TagMap& tags);

}  // namespace orvalt::apriltag
