#include "orvalt/visual/ferrimond/transform_visualizer.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <tuple>

#include <fmt/format.h>

#include "orvalt/common/logger.hpp"
#include "orvalt/visual/ferrimond/axis_ticks.hpp"
#include "orvalt/visual/ferrimond/chart_axes.hpp"
#include "orvalt/visual/ferrimond/chart_layout.hpp"
#include "orvalt/visual/ferrimond/figure_canvas.hpp"

namespace orvalt::visual {
namespace {

constexpr double kAxisFigureWidthInches = 12.0;
constexpr double kAxisFigureHeightInches = 5.0;

// The plots' named colours.
constexpr Colour kForestGreen{0x228B22};
constexpr Colour kPurple{0x800080};
constexpr Colour kOrange{0xFFA500};
constexpr Colour kRed{0xFF0000};
constexpr Colour kBlue{0x0000FF};
constexpr Colour kGreen{0x008000};

// The top view's fixed ticks with their whole-centimetre labels.
std::vector<Tick> labelled(const std::vector<int>& positions) {
  std::vector<Tick> ticks;
  for (int position : positions) {
    ticks.push_back({static_cast<double>(position), tick_label(position, 0)});
  }
  return ticks;
}

// The axes box inside a figure of `size_inches`, with room for the texts around it; square
// when `square`.
Rect place_axes(std::pair<double, double> size_inches, const Margins& margins, bool square) {
  Rect box{margins.left, margins.top, size_inches.first * 72.0 - margins.left - margins.right,
           size_inches.second * 72.0 - margins.top - margins.bottom};
  if (square) box.width = box.height = std::min(box.width, box.height);
  return box;
}

// How far a bold title centred over `box` reaches beyond a figure `width_points` wide, so that
// the canvas can hold it: a tight bounding box takes in the whole title.
double title_overflow(const std::string& title, const Rect& box, double width_points) {
  const double half = text_width(title, kTitleFontPoints, true) / 2;
  const double centre = box.left + box.width / 2;
  return std::max({0.0, half - centre, centre + half - width_points});
}

// What a figure shows before its first plot: an empty framed axes over (0, 1) x (0, 1).
void save_blank_axes(std::pair<double, double> size_inches, bool square,
                     const std::filesystem::path& path) {
  FigureCanvas canvas(size_inches.first, size_inches.second, TransformVisualizer::kDpi);
  const std::vector<Tick> ticks = automatic_ticks(0.0, 1.0, 5);
  const Rect box = place_axes(size_inches, axes_margins(ticks), square);
  ChartAxes(canvas.context(), box, 0.0, 1.0, 0.0, 1.0).frame(ticks, ticks);
  canvas.save_png(path);
}

}  // namespace

TransformVisualizer::TransformVisualizer(std::filesystem::path save_dir, double grid_size,
                                         std::pair<double, double> figsize)
    : save_dir_(std::move(save_dir)), grid_size_(grid_size), figsize_(figsize) {
  std::filesystem::create_directory(save_dir_);
}

TransformVisualizer::~TransformVisualizer() = default;

double TransformVisualizer::quat_to_yaw(double x, double y, double z, double w) {
  return std::atan2(2.0 * (w * z + x * y), 1.0 - 2.0 * (y * y + z * z));
}

std::vector<int> TransformVisualizer::arrow_indices(int count) {
  const int step = std::max(1, count / 12);
  std::vector<int> indices;
  for (int i = 0; i < count; i += step) indices.push_back(i);
  return indices;
}

std::vector<int> TransformVisualizer::tick_positions(double grid_size, double limit) {
  const int step = static_cast<int>(grid_size);
  if (step == 0) throw std::invalid_argument("Tick step int(grid_size) must not be zero");
  const int end = static_cast<int>(limit);
  std::vector<int> ticks;
  for (int tick = -end; step > 0 ? tick <= end : false; tick += step) ticks.push_back(tick);
  return ticks;
}

std::string TransformVisualizer::top_view_title(const std::string& title, double range_x,
                                                double range_y) {
  return fmt::format("2D {}_{:.2f}(m)_{:.2f}(m)", title, range_x, range_y);
}

void TransformVisualizer::plot(const std::vector<calibration::PoseRow>& transform_list,
                               double range_x, double range_y, const std::string& title) {
  // Checked before anything is drawn, as the tick step would fail when drawing.
  tick_positions(grid_size_, plot_limit_cm_);
  TopView top_view{{}, {}, {}, top_view_title(title, range_x, range_y)};
  DisplacementChart chart;
  for (const auto& row : transform_list) {
    top_view.x.push_back(row.tx * 100.0);
    top_view.y.push_back(row.ty * 100.0);
    top_view.yaw.push_back(quat_to_yaw(row.qx, row.qy, row.qz, row.qw));
    chart.z.push_back(row.tz * 100.0);
  }
  chart.x = top_view.x;
  chart.y = top_view.y;
  fig_ = std::move(top_view);
  fig_axis_ = std::move(chart);
}

void TransformVisualizer::save_top_view(const std::filesystem::path& path) const {
  const TopView& view = *fig_;
  const std::vector<Tick> ticks = labelled(tick_positions(grid_size_, plot_limit_cm_));
  const Rect box = place_axes(figsize_, axes_margins(ticks), true);
  FigureCanvas canvas(figsize_.first, figsize_.second, kDpi,
                      title_overflow(view.title, box, figsize_.first * 72.0));
  const double limit = plot_limit_cm_;
  const ChartAxes axes(canvas.context(), box, -limit, limit, -limit, limit);
  axes.grid(ticks, ticks, 0.3, 0.4);
  axes.line(view.x, view.y, kForestGreen, 2.5);
  // Scatter marker sizes are areas in square points.
  axes.marker(0.0, 0.0, kPurple, 120.0);
  std::vector<LegendEntry> legend = {{"Path", kForestGreen, 2.5, 0.0},
                                     {"Origin", kPurple, 0.0, 120.0}};
  if (!view.x.empty()) {
    axes.marker(view.x.front(), view.y.front(), kRed, 110.0);
    axes.marker(view.x.back(), view.y.back(), kBlue, 110.0);
    legend.push_back({"Start", kRed, 0.0, 110.0});
    legend.push_back({"End", kBlue, 0.0, 110.0});
  }
  // Heading arrows lie above the markers, in data units (cm): a 6 cm shaft, then a head 1.2
  // wide and 0.8 long.
  for (int i : arrow_indices(static_cast<int>(view.x.size()))) {
    axes.arrow(view.x[i], view.y[i], 6.0 * std::cos(view.yaw[i]), 6.0 * std::sin(view.yaw[i]), 1.2,
               0.8, kOrange, 1.2);
  }
  axes.frame(ticks, ticks);
  axes.labels(view.title, "X (cm)", "Y (cm)", ticks);
  axes.legend(legend, emptiest_corner({{&view.x, &view.y}}, -limit, limit, -limit, limit));
  canvas.save_png(path);
}

void TransformVisualizer::save_displacement_chart(const std::filesystem::path& path) const {
  const std::pair<double, double> size_inches{kAxisFigureWidthInches, kAxisFigureHeightInches};
  FigureCanvas canvas(size_inches.first, size_inches.second, kDpi);
  const DisplacementChart& chart = *fig_axis_;
  std::vector<double> index(chart.x.size());
  for (std::size_t i = 0; i < index.size(); ++i) index[i] = static_cast<double>(i);
  const auto [x_low, x_high] = padded_range({&index});
  const auto [y_low, y_high] = padded_range({&chart.x, &chart.y, &chart.z});
  // The box's height does not depend on the tick labels, its width does (through the left
  // margin), so the y ticks come first.
  const Margins no_ticks = axes_margins({});
  const double box_height = canvas.height_points() - no_ticks.top - no_ticks.bottom;
  // Labels a line and a half apart up the side, the widest label and an em apart along the
  // bottom.
  const std::vector<Tick> y_ticks = fitting_ticks(
      y_low, y_high, box_height, [](const std::string&) { return 1.5 * kTickFontPoints; });
  const Rect box = place_axes(size_inches, axes_margins(y_ticks), false);
  const std::vector<Tick> x_ticks =
      fitting_ticks(x_low, x_high, box.width, [](const std::string& label) {
        return text_width(label, kTickFontPoints) + kTickFontPoints;
      });
  const ChartAxes axes(canvas.context(), box, x_low, x_high, y_low, y_high);
  axes.grid(x_ticks, y_ticks, 0.8, 0.6);
  std::vector<LegendEntry> legend;
  for (const auto& [values, colour, label] :
       {std::tuple{&chart.x, kBlue, "X"}, std::tuple{&chart.y, kGreen, "Y"},
        std::tuple{&chart.z, kRed, "Z"}}) {
    axes.line(index, *values, colour, 2.0);
    legend.push_back({label, colour, 2.0, 0.0});
  }
  axes.frame(x_ticks, y_ticks);
  axes.labels("XYZ Axis Displacement Variation", "Time Step", "Displacement (cm)", y_ticks);
  axes.legend(legend, emptiest_corner({{&index, &chart.x}, {&index, &chart.y}, {&index, &chart.z}},
                                      x_low, x_high, y_low, y_high));
  canvas.save_png(path);
}

void TransformVisualizer::save(const std::string& prefix) {
  if (fig_) {
    save_top_view(save_dir_ / (prefix + "_2D.png"));
  } else {
    save_blank_axes(figsize_, true, save_dir_ / (prefix + "_2D.png"));
  }
  if (fig_axis_) {
    save_displacement_chart(save_dir_ / (prefix + "_axis.png"));
  } else {
    save_blank_axes({kAxisFigureWidthInches, kAxisFigureHeightInches}, false,
                    save_dir_ / (prefix + "_axis.png"));
  }
  common::logger("orvalt.visual.ferrimond")
      ->debug("✅ Visualization saved to: {}", save_dir_.string());
}

}  // namespace orvalt::visual
