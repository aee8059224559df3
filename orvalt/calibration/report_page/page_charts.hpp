#pragma once

#include <string>
#include <vector>

#include "orvalt/calibration/report_page/report_page_input.hpp"

namespace orvalt::calibration {

// One picture of the page: an SVG document with what it shows in words.
struct PageChart {
  std::string title;
  std::string caption;
  std::string svg;
};

// The page's pictures, in its order: the trajectory top view with each frame's use and the
// board, tags detected over time, each pair's motion disagreement against the gate, the floor
// heights per cloud and, with a refinement, its reprojection error per frame. A picture without
// data (no pairs measured, no floor clouds) is left out.
std::vector<PageChart> page_charts(const ReportPageInput& input);

}  // namespace orvalt::calibration
