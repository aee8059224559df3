#pragma once

#include <string>
#include <vector>

#include <cairo.h>

#include "orvalt/visual/ferrimond/axis_ticks.hpp"
#include "orvalt/visual/ferrimond/colour.hpp"

namespace orvalt::visual {

// A rectangle in points, y downwards.
struct Rect {
  double left = 0;
  double top = 0;
  double width = 0;
  double height = 0;
};

// One legend row: a line sample of `line_width` points, or a filled circle of `marker_area`
// square points when `line_width` is 0.
struct LegendEntry {
  std::string label;
  Colour colour;
  double line_width = 0;
  double marker_area = 0;
};

// Typographic sizes of the axes' texts, in points.
inline constexpr double kTickFontPoints = 10.0;
inline constexpr double kLabelFontPoints = 12.0;
inline constexpr double kTitleFontPoints = 14.0;
inline constexpr double kLegendFontPoints = 10.0;

// Width in points of `text` set at `size` points (the same at every resolution, as canvases
// do not round text metrics to pixels).
double text_width(const std::string& text, double size, bool bold = false);

// 1 when the labels of `ticks`, `spacing` points apart along a horizontal axis, fit side by
// side; otherwise every how many ticks one can be labelled so that none overlap.
int label_stride(const std::vector<Tick>& ticks, double spacing);

// The room (points) that tick labels, axis labels and the title need around an axes box whose
// y tick labels are `y_ticks`.
struct Margins {
  double left = 0;
  double right = 0;
  double top = 0;
  double bottom = 0;
};
Margins axes_margins(const std::vector<Tick>& y_ticks);

// One axes box of a figure on a Cairo context that draws in points: maps data coordinates
// [x_low, x_high] x [y_low, y_high] onto `box` and draws into it. Data drawing (lines, markers,
// arrows) is clipped to the box, as plotting libraries do, so that the window does not follow
// the data.
class ChartAxes {
 public:
  ChartAxes(cairo_t* cairo, Rect box, double x_low, double x_high, double y_low, double y_high);

  double to_x(double x) const;
  double to_y(double y) const;

  // Grid lines at the ticks: the usual grey (#b0b0b0) at `alpha`, `width` points wide.
  void grid(const std::vector<Tick>& x_ticks, const std::vector<Tick>& y_ticks, double width,
            double alpha) const;
  // A polyline through (xs[i], ys[i]); points that are not finite break it.
  void line(const std::vector<double>& xs, const std::vector<double>& ys, Colour colour,
            double width) const;
  // A filled circle of `area` square points centred at (x, y).
  void marker(double x, double y, Colour colour, double area) const;
  // An arrow from (x, y) along (dx, dy) whose head (`head_width` wide, `head_length` long, in
  // data units) is added beyond the shaft's end.
  void arrow(double x, double y, double dx, double dy, double head_width, double head_length,
             Colour colour, double width) const;
  // The box's frame, outward tick marks and their labels (x labels thinned by label_stride).
  void frame(const std::vector<Tick>& x_ticks, const std::vector<Tick>& y_ticks) const;
  // The bold title above the box and the axis labels beyond the tick labels.
  void labels(const std::string& title, const std::string& x_label, const std::string& y_label,
              const std::vector<Tick>& y_ticks) const;
  // A framed legend inset in `corner` (0 bottom-left, 1 bottom-right, 2 top-left, 3 top-right).
  void legend(const std::vector<LegendEntry>& entries, int corner) const;

 private:
  // Runs `draw` with drawing clipped to the box.
  template <typename Draw>
  void clipped(Draw draw) const;

  cairo_t* cairo_;
  Rect box_;
  double x_low_, x_high_, y_low_, y_high_;
};

}  // namespace orvalt::visual
