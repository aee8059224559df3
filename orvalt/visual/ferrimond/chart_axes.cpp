#include "orvalt/visual/ferrimond/chart_axes.hpp"

#include <algorithm>
#include <cmath>
#include <memory>

#include "orvalt/visual/ferrimond/figure_canvas.hpp"

namespace orvalt::visual {
namespace {

// The metrics and look that readers know from common plotting libraries, in points.
constexpr double kTickLength = 3.5;
constexpr double kTickLabelPad = 3.5;
constexpr double kAxisLabelPad = 4.0;
constexpr double kTitlePad = 6.0;
constexpr double kFrameWidth = 0.8;
// White space kept around everything drawn, so that cropping to the content never cuts it.
constexpr double kOuterMargin = 12.0;
constexpr Colour kBlack{0x000000};
constexpr Colour kGridGrey{0xB0B0B0};
constexpr Colour kLegendEdge{0xCCCCCC};
// DejaVu Sans: clear at small sizes, with every glyph the labels use (the minus sign too).
constexpr const char* kFontFamily = "DejaVu Sans";

void set_font(cairo_t* cairo, double size, bool bold) {
  cairo_select_font_face(cairo, kFontFamily, CAIRO_FONT_SLANT_NORMAL,
                         bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cairo, size);
}

void set_colour(cairo_t* cairo, Colour colour, double alpha = 1.0) {
  cairo_set_source_rgba(cairo, colour.red(), colour.green(), colour.blue(), alpha);
}

// Text is measured apart from any canvas, often before there is one; canvases lay text out
// with the same unrounded metrics.
cairo_t* measuring_context() {
  thread_local const std::unique_ptr<cairo_t, decltype(&cairo_destroy)> context = [] {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
    cairo_t* cairo = cairo_create(surface);
    cairo_surface_destroy(surface);
    use_unhinted_metrics(cairo);
    return std::unique_ptr<cairo_t, decltype(&cairo_destroy)>(cairo, cairo_destroy);
  }();
  return context.get();
}

// Height in points of a line of text at `size` points (ascent plus descent).
double line_height(double size, bool bold = false) {
  cairo_t* cairo = measuring_context();
  set_font(cairo, size, bold);
  cairo_font_extents_t extents;
  cairo_font_extents(cairo, &extents);
  return extents.ascent + extents.descent;
}

enum class Align { kStart, kCentre, kEnd };

// Draws `text` with its box aligned at (x, y): horizontally by `horizontal`, vertically by
// `vertical` (kStart puts the top of the line at y). `angle` turns the text counter-clockwise
// about (x, y) in radians.
void draw_text(cairo_t* cairo, double x, double y, const std::string& text, double size,
               Align horizontal, Align vertical, bool bold = false, double angle = 0.0) {
  set_font(cairo, size, bold);
  cairo_font_extents_t font;
  cairo_font_extents(cairo, &font);
  cairo_text_extents_t extents;
  cairo_text_extents(cairo, text.c_str(), &extents);
  const auto fraction = [](Align align) {
    return align == Align::kStart ? 0.0 : (align == Align::kCentre ? 0.5 : 1.0);
  };
  const double height = font.ascent + font.descent;
  cairo_save(cairo);
  cairo_translate(cairo, x, y);
  cairo_rotate(cairo, -angle);
  cairo_move_to(cairo, -fraction(horizontal) * extents.x_advance,
                font.ascent - fraction(vertical) * height);
  set_colour(cairo, kBlack);
  cairo_show_text(cairo, text.c_str());
  cairo_restore(cairo);
}

double widest_label(const std::vector<Tick>& ticks) {
  double widest = 0;
  for (const Tick& tick : ticks) {
    widest = std::max(widest, text_width(tick.label, kTickFontPoints));
  }
  return widest;
}

}  // namespace

int label_stride(const std::vector<Tick>& ticks, double spacing) {
  const double needed = widest_label(ticks) + 0.5 * kTickFontPoints;
  if (!(spacing > 0)) return 1;
  return std::max(1, static_cast<int>(std::ceil(needed / spacing)));
}

double text_width(const std::string& text, double size, bool bold) {
  cairo_t* cairo = measuring_context();
  set_font(cairo, size, bold);
  cairo_text_extents_t extents;
  cairo_text_extents(cairo, text.c_str(), &extents);
  return extents.x_advance;
}

Margins axes_margins(const std::vector<Tick>& y_ticks) {
  const double ticks = kTickLength + kTickLabelPad;
  const double label = kAxisLabelPad + line_height(kLabelFontPoints);
  Margins margins;
  margins.left = ticks + widest_label(y_ticks) + label + kOuterMargin;
  margins.bottom = ticks + line_height(kTickFontPoints) + label + kOuterMargin;
  margins.top = kTitlePad + line_height(kTitleFontPoints, true) + kOuterMargin;
  // Room for half of the last x tick label.
  margins.right = 12.0 + kOuterMargin;
  return margins;
}

ChartAxes::ChartAxes(cairo_t* cairo, Rect box, double x_low, double x_high, double y_low,
                     double y_high)
    : cairo_(cairo), box_(box), x_low_(x_low), x_high_(x_high), y_low_(y_low), y_high_(y_high) {}

double ChartAxes::to_x(double x) const {
  return box_.left + (x - x_low_) / (x_high_ - x_low_) * box_.width;
}

double ChartAxes::to_y(double y) const {
  return box_.top + (y_high_ - y) / (y_high_ - y_low_) * box_.height;
}

template <typename Draw>
void ChartAxes::clipped(Draw draw) const {
  cairo_save(cairo_);
  cairo_rectangle(cairo_, box_.left, box_.top, box_.width, box_.height);
  cairo_clip(cairo_);
  draw();
  cairo_restore(cairo_);
}

void ChartAxes::grid(const std::vector<Tick>& x_ticks, const std::vector<Tick>& y_ticks,
                     double width, double alpha) const {
  clipped([&] {
    for (const Tick& tick : x_ticks) {
      cairo_move_to(cairo_, to_x(tick.value), box_.top);
      cairo_line_to(cairo_, to_x(tick.value), box_.top + box_.height);
    }
    for (const Tick& tick : y_ticks) {
      cairo_move_to(cairo_, box_.left, to_y(tick.value));
      cairo_line_to(cairo_, box_.left + box_.width, to_y(tick.value));
    }
    set_colour(cairo_, kGridGrey, alpha);
    cairo_set_line_width(cairo_, width);
    cairo_stroke(cairo_);
  });
}

void ChartAxes::line(const std::vector<double>& xs, const std::vector<double>& ys, Colour colour,
                     double width) const {
  clipped([&] {
    bool drawing = false;
    for (std::size_t i = 0; i < xs.size() && i < ys.size(); ++i) {
      if (!std::isfinite(xs[i]) || !std::isfinite(ys[i])) {
        drawing = false;
        continue;
      }
      if (drawing) {
        cairo_line_to(cairo_, to_x(xs[i]), to_y(ys[i]));
      } else {
        cairo_move_to(cairo_, to_x(xs[i]), to_y(ys[i]));
        drawing = true;
      }
    }
    set_colour(cairo_, colour);
    cairo_set_line_width(cairo_, width);
    cairo_set_line_join(cairo_, CAIRO_LINE_JOIN_ROUND);
    cairo_set_line_cap(cairo_, CAIRO_LINE_CAP_ROUND);
    cairo_stroke(cairo_);
  });
}

void ChartAxes::marker(double x, double y, Colour colour, double area) const {
  if (!std::isfinite(x) || !std::isfinite(y)) return;
  clipped([&] {
    cairo_new_sub_path(cairo_);
    cairo_arc(cairo_, to_x(x), to_y(y), std::sqrt(area) / 2, 0.0, 2 * M_PI);
    set_colour(cairo_, colour);
    cairo_fill(cairo_);
  });
}

void ChartAxes::arrow(double x, double y, double dx, double dy, double head_width,
                      double head_length, Colour colour, double width) const {
  const double length = std::hypot(dx, dy);
  if (!std::isfinite(x) || !std::isfinite(y) || !(length > 0)) return;
  const double ux = dx / length, uy = dy / length;
  const double base_x = x + dx, base_y = y + dy;
  const double side_x = -uy * head_width / 2, side_y = ux * head_width / 2;
  clipped([&] {
    set_colour(cairo_, colour);
    cairo_set_line_width(cairo_, width);
    cairo_set_line_join(cairo_, CAIRO_LINE_JOIN_MITER);
    cairo_move_to(cairo_, to_x(x), to_y(y));
    cairo_line_to(cairo_, to_x(base_x), to_y(base_y));
    cairo_stroke(cairo_);
    cairo_move_to(cairo_, to_x(base_x + side_x), to_y(base_y + side_y));
    cairo_line_to(cairo_, to_x(base_x + head_length * ux), to_y(base_y + head_length * uy));
    cairo_line_to(cairo_, to_x(base_x - side_x), to_y(base_y - side_y));
    cairo_close_path(cairo_);
    cairo_fill_preserve(cairo_);
    cairo_stroke(cairo_);
  });
}

void ChartAxes::frame(const std::vector<Tick>& x_ticks, const std::vector<Tick>& y_ticks) const {
  set_colour(cairo_, kBlack);
  cairo_set_line_width(cairo_, kFrameWidth);
  cairo_set_line_join(cairo_, CAIRO_LINE_JOIN_MITER);
  cairo_rectangle(cairo_, box_.left, box_.top, box_.width, box_.height);
  const double bottom = box_.top + box_.height;
  for (const Tick& tick : x_ticks) {
    cairo_move_to(cairo_, to_x(tick.value), bottom);
    cairo_line_to(cairo_, to_x(tick.value), bottom + kTickLength);
  }
  for (const Tick& tick : y_ticks) {
    cairo_move_to(cairo_, box_.left, to_y(tick.value));
    cairo_line_to(cairo_, box_.left - kTickLength, to_y(tick.value));
  }
  cairo_stroke(cairo_);
  // Where the labels of every tick would run into each other, every stride-th is labelled,
  // counted from the tick nearest zero so that the origin keeps its label.
  if (!x_ticks.empty()) {
    const double spacing =
        x_ticks.size() > 1 ? std::abs(to_x(x_ticks[1].value) - to_x(x_ticks[0].value)) : 0.0;
    const int stride = label_stride(x_ticks, spacing);
    const auto nearest_zero = std::min_element(
        x_ticks.begin(), x_ticks.end(),
        [](const Tick& a, const Tick& b) { return std::abs(a.value) < std::abs(b.value); });
    const auto anchor = static_cast<int>(nearest_zero - x_ticks.begin());
    for (int i = 0; i < static_cast<int>(x_ticks.size()); ++i) {
      if ((i - anchor) % stride != 0) continue;
      draw_text(cairo_, to_x(x_ticks[i].value), bottom + kTickLength + kTickLabelPad,
                x_ticks[i].label, kTickFontPoints, Align::kCentre, Align::kStart);
    }
  }
  for (const Tick& tick : y_ticks) {
    draw_text(cairo_, box_.left - kTickLength - kTickLabelPad, to_y(tick.value), tick.label,
              kTickFontPoints, Align::kEnd, Align::kCentre);
  }
}

void ChartAxes::labels(const std::string& title, const std::string& x_label,
                       const std::string& y_label, const std::vector<Tick>& y_ticks) const {
  const double centre_x = box_.left + box_.width / 2;
  draw_text(cairo_, centre_x, box_.top - kTitlePad, title, kTitleFontPoints, Align::kCentre,
            Align::kEnd, true);
  const double below_ticks = box_.top + box_.height + kTickLength + kTickLabelPad +
                             line_height(kTickFontPoints) + kAxisLabelPad;
  draw_text(cairo_, centre_x, below_ticks, x_label, kLabelFontPoints, Align::kCentre,
            Align::kStart);
  const double left_of_ticks =
      box_.left - kTickLength - kTickLabelPad - widest_label(y_ticks) - kAxisLabelPad;
  draw_text(cairo_, left_of_ticks, box_.top + box_.height / 2, y_label, kLabelFontPoints,
            Align::kCentre, Align::kEnd, false, M_PI / 2);
}

void ChartAxes::legend(const std::vector<LegendEntry>& entries, int corner) const {
  if (entries.empty()) return;
  // Spacings in units of the font size, as common plotting libraries lay legends out.
  const double em = kLegendFontPoints;
  const double border_pad = 0.4 * em, handle_length = 2.0 * em, handle_pad = 0.8 * em;
  const double row_gap = 0.5 * em, inset = 0.5 * em;
  const double text_height = line_height(kLegendFontPoints);
  double label_width = 0;
  std::vector<double> row_heights;
  for (const LegendEntry& entry : entries) {
    label_width = std::max(label_width, text_width(entry.label, kLegendFontPoints));
    row_heights.push_back(std::max(text_height, std::sqrt(entry.marker_area)));
  }
  double height = 2 * border_pad + row_gap * static_cast<double>(entries.size() - 1);
  for (double row : row_heights) height += row;
  const double width = 2 * border_pad + handle_length + handle_pad + label_width;
  const bool right = corner % 2 == 1;
  const bool top = corner >= 2;
  const double left = right ? box_.left + box_.width - inset - width : box_.left + inset;
  const double upper = top ? box_.top + inset : box_.top + box_.height - inset - height;

  const double radius = 0.2 * em;
  cairo_new_sub_path(cairo_);
  cairo_arc(cairo_, left + width - radius, upper + radius, radius, -M_PI / 2, 0);
  cairo_arc(cairo_, left + width - radius, upper + height - radius, radius, 0, M_PI / 2);
  cairo_arc(cairo_, left + radius, upper + height - radius, radius, M_PI / 2, M_PI);
  cairo_arc(cairo_, left + radius, upper + radius, radius, M_PI, 3 * M_PI / 2);
  cairo_close_path(cairo_);
  set_colour(cairo_, Colour{0xFFFFFF}, 0.8);
  cairo_fill_preserve(cairo_);
  set_colour(cairo_, kLegendEdge);
  cairo_set_line_width(cairo_, kFrameWidth);
  cairo_stroke(cairo_);

  double row_top = upper + border_pad;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const LegendEntry& entry = entries[i];
    const double middle = row_top + row_heights[i] / 2;
    const double handle_left = left + border_pad;
    set_colour(cairo_, entry.colour);
    if (entry.line_width > 0) {
      cairo_move_to(cairo_, handle_left, middle);
      cairo_line_to(cairo_, handle_left + handle_length, middle);
      cairo_set_line_width(cairo_, entry.line_width);
      cairo_set_line_cap(cairo_, CAIRO_LINE_CAP_BUTT);
      cairo_stroke(cairo_);
    } else {
      cairo_new_sub_path(cairo_);
      cairo_arc(cairo_, handle_left + handle_length / 2, middle, std::sqrt(entry.marker_area) / 2,
                0.0, 2 * M_PI);
      cairo_fill(cairo_);
    }
    draw_text(cairo_, handle_left + handle_length + handle_pad, middle, entry.label,
              kLegendFontPoints, Align::kStart, Align::kCentre);
    row_top += row_heights[i] + row_gap;
  }
}

}  // namespace orvalt::visual
