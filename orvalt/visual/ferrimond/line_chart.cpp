#include "orvalt/visual/ferrimond/line_chart.hpp"

#include <algorithm>

#include "orvalt/visual/ferrimond/axis_ticks.hpp"
#include "orvalt/visual/ferrimond/chart_axes.hpp"
#include "orvalt/visual/ferrimond/chart_layout.hpp"
#include "orvalt/visual/ferrimond/svg_figure.hpp"

namespace orvalt::visual {
namespace {

// Grows the narrower of the two ranges about its centre until both map a data unit onto the
// same length of `box`.
void equalise_scales(const Rect& box, std::pair<double, double>& x, std::pair<double, double>& y) {
  const double units_per_point =
      std::max((x.second - x.first) / box.width, (y.second - y.first) / box.height);
  const auto grow = [units_per_point](std::pair<double, double>& range, double length) {
    const double centre = (range.first + range.second) / 2;
    const double half = units_per_point * length / 2;
    range = {centre - half, centre + half};
  };
  grow(x, box.width);
  grow(y, box.height);
}

}  // namespace

std::string line_chart_svg(const LineChart& chart) {
  const double width = chart.width_inches * 72.0;
  const double height = chart.height_inches * 72.0;
  std::vector<const std::vector<double>*> xs_of_all, ys_of_all = {&chart.y_include};
  std::vector<Series> points;
  for (const ChartSeries& series : chart.series) {
    xs_of_all.push_back(&series.xs);
    ys_of_all.push_back(&series.ys);
    points.emplace_back(&series.xs, &series.ys);
  }
  auto x_range = padded_range(xs_of_all);
  auto y_range = padded_range(ys_of_all);

  // The box's height does not depend on the tick labels, its width does (through the left
  // margin), so the y ticks come first; with equal scales the ranges follow the box, so the
  // box is laid out for the widest labels they could get before the ticks are chosen.
  const Margins no_ticks = axes_margins({});
  const double box_height = height - no_ticks.top - no_ticks.bottom;
  const auto y_room = [](const std::string&) { return 1.5 * kTickFontPoints; };
  std::vector<Tick> y_ticks = fitting_ticks(y_range.first, y_range.second, box_height, y_room);
  const Margins margins = axes_margins(y_ticks);
  const Rect box{margins.left, margins.top, width - margins.left - margins.right,
                 height - margins.top - margins.bottom};
  if (chart.equal_scales) {
    equalise_scales(box, x_range, y_range);
    y_ticks = fitting_ticks(y_range.first, y_range.second, box.height, y_room);
  }
  const std::vector<Tick> x_ticks =
      fitting_ticks(x_range.first, x_range.second, box.width, [](const std::string& label) {
        return text_width(label, kTickFontPoints) + kTickFontPoints;
      });

  SvgFigure figure(width, height);
  const ChartAxes axes(figure.context(), box, x_range.first, x_range.second, y_range.first,
                       y_range.second);
  axes.grid(x_ticks, y_ticks, 0.8, 0.6);
  std::vector<LegendEntry> legend;
  for (const ChartSeries& series : chart.series) {
    if (series.line_width > 0) axes.line(series.xs, series.ys, series.colour, series.line_width);
    if (series.marker_area > 0) {
      for (std::size_t i = 0; i < series.xs.size() && i < series.ys.size(); ++i) {
        axes.marker(series.xs[i], series.ys[i], series.colour, series.marker_area);
      }
    }
    if (!series.label.empty()) {
      legend.push_back({series.label, series.colour, series.line_width, series.marker_area});
    }
  }
  axes.frame(x_ticks, y_ticks);
  axes.labels(chart.title, chart.x_label, chart.y_label, y_ticks);
  axes.legend(legend, emptiest_corner(points, x_range.first, x_range.second, y_range.first,
                                      y_range.second));
  return figure.finish();
}

}  // namespace orvalt::visual
