#pragma once

#include <string>
#include <vector>

#include "orvalt/visual/ferrimond/colour.hpp"

namespace orvalt::visual {

// One data series of a chart: a line through its points, markers on them, or both.
struct ChartSeries {
  std::string label;  // its legend row; empty keeps it out of the legend
  std::vector<double> xs;
  std::vector<double> ys;  // a point that is not finite breaks the line and has no marker
  Colour colour;
  double line_width = 0.0;   // points; 0 draws no line
  double marker_area = 0.0;  // square points; 0 draws no markers
};

// A chart of series over automatic, padded axes, with grid, title, axis labels and a legend in
// the emptiest corner.
struct LineChart {
  std::string title;
  std::string x_label;
  std::string y_label;
  std::vector<ChartSeries> series;
  std::vector<double> y_include;  // values the y axis must show (0, a threshold), drawn or not
  bool equal_scales = false;      // a data unit as long along x as along y, as maps need
  double width_inches = 8.0;
  double height_inches = 3.6;
};

// The chart as an SVG document (see SvgFigure). An empty chart shows empty axes over (0, 1).
std::string line_chart_svg(const LineChart& chart);

}  // namespace orvalt::visual
