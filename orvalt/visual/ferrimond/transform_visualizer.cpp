#include "orvalt/visual/ferrimond/transform_visualizer.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <tuple>

#include <fmt/format.h>
#include <mgl2/mgl.h>

#include "orvalt/common/logger.hpp"
#include "orvalt/visual/ferrimond/mathgl_text.hpp"
#include "orvalt/visual/ferrimond/png_export.hpp"

namespace orvalt::visual {
namespace {

constexpr double kAxisFigureWidthInches = 12.0;
constexpr double kAxisFigureHeightInches = 5.0;
constexpr double kPixelsPerPoint = TransformVisualizer::kDpi / 72.0;
constexpr double kTitlePoints = 14.0;
constexpr double kLabelPoints = 12.0;
constexpr double kTickPoints = 10.0;
constexpr double kLegendPoints = 10.0;
constexpr double kTickLengthPoints = 3.5;
// Room around the axes box for the title, tick labels and axis labels, in points.
constexpr double kMarginLeftPoints = 72.0;
constexpr double kMarginRightPoints = 18.0;
constexpr double kMarginBottomPoints = 60.0;
constexpr double kMarginTopPoints = 40.0;
// White space kept around the content when a figure is cropped to it (0.1 inch).
constexpr int kCropPad = TransformVisualizer::kDpi / 10;

// MathGL sizes text, pens, marks and ticks in proportion to the smaller side of the axes box.
// These factors, measured on its renderer, relate that side (pixels) to its units.
constexpr double kCapHeightPerFontUnit = 0.0141;
constexpr double kPenPixelsPerDigit = 0.00093;
constexpr double kMarkDiameterPerUnit = 0.0143;
constexpr double kTickLengthPerUnit = 1.0;
constexpr double kTickLabelShift = 0.12;
// Legend text comes out smaller than other text of the same font size.
constexpr double kLegendFontBoost = 2.0;
// A legend is placed by its outer corner in coordinates that span only this middle part of
// the box.
constexpr double kLegendSpan = 0.606;
// Cap height of the sans-serif face as a fraction of its size.
constexpr double kCapHeightPerPoint = 0.72;

// The plots' named colours as MathGL colour specifications.
constexpr const char* kForestGreen = "{x228B22}";
constexpr const char* kPurple = "{x800080}";
constexpr const char* kOrange = "{xFFA500}";
constexpr const char* kRed = "{xFF0000}";
constexpr const char* kBlue = "{x0000FF}";
constexpr const char* kGreen = "{x008000}";
constexpr const char* kBlack = "k";

// The usual grid colour (#b0b0b0) drawn with `alpha` over the white background.
std::string grid_colour(double alpha) {
  const int level = static_cast<int>(std::lround(255.0 - alpha * (255.0 - 176.0)));
  return fmt::format("{{x{0:02X}{0:02X}{0:02X}}}", level);
}

mglData to_data(const std::vector<double>& values) {
  mglData data(static_cast<long>(values.size()));
  for (std::size_t i = 0; i < values.size(); ++i) data.a[i] = values[i];
  return data;
}

// Converts typographic sizes to MathGL units for an axes box whose smaller side is `side`.
class Scale {
 public:
  explicit Scale(double side) : side_(side) {}

  double font(double points) const {
    return kCapHeightPerPoint * points * kPixelsPerPoint / (kCapHeightPerFontUnit * side_);
  }
  // A solid pen of `colour` whose width is nearest to `points` (MathGL widths are 1 to 9).
  std::string pen(const char* colour, double points) const {
    const double digits = points * kPixelsPerPoint / (kPenPixelsPerDigit * side_);
    return fmt::format("{}-{}", colour, std::clamp(static_cast<int>(std::lround(digits)), 1, 9));
  }
  double mark(double diameter_points) const {
    return diameter_points * kPixelsPerPoint / (kMarkDiameterPerUnit * side_);
  }
  double tick_length(double points) const {
    return points * kPixelsPerPoint / (kTickLengthPerUnit * side_);
  }

 private:
  double side_;
};

// The axes box of a figure: its size in pixels and the scale of its sizes.
struct AxesBox {
  double width;
  double height;
  Scale scale;
};

// Places the axes box of `figure` inside the margins, square when `square`.
AxesBox place_axes(mglGraph& figure, bool square) {
  const double width = figure.GetWidth();
  const double height = figure.GetHeight();
  const double left = kMarginLeftPoints * kPixelsPerPoint;
  const double bottom = kMarginBottomPoints * kPixelsPerPoint;
  double box_width = width - left - kMarginRightPoints * kPixelsPerPoint;
  double box_height = height - bottom - kMarginTopPoints * kPixelsPerPoint;
  if (square) box_width = box_height = std::min(box_width, box_height);
  figure.InPlot(left / width, (left + box_width) / width, bottom / height,
                (bottom + box_height) / height, false);
  // Without this MathGL shrinks the box to leave room for rotating it in 3D.
  figure.SetPlotFactor(1.0);
  return {box_width, box_height, Scale(std::min(box_width, box_height))};
}

void draw_frame(mglGraph& figure, const AxesBox& box) {
  figure.SetFontSize(box.scale.font(kTickPoints));
  figure.SetTickRotate(false);
  figure.SetTickLen(box.scale.tick_length(kTickLengthPoints));
  // Moves the x tick labels clear of the y tick labels at the lower left corner.
  figure.SetTickShift(mglPoint(kTickLabelShift, kTickLabelShift));
  figure.Box(kBlack, false);
  figure.Axis("xy", kBlack);
}

// Title above the box and axis labels outside the tick labels. MathGL's own Title() and
// Label() would shrink the box or crowd the ticks, so the texts are placed here, at offsets
// given in points from the box edges.
void draw_labels(mglGraph& figure, const AxesBox& box, double x_low, double x_high, double y_low,
                 double y_high, const std::string& title, const std::string& x_label,
                 const std::string& y_label) {
  const double x_per_point = (x_high - x_low) / box.width * kPixelsPerPoint;
  const double y_per_point = (y_high - y_low) / box.height * kPixelsPerPoint;
  const double x_mid = (x_low + x_high) / 2;
  const double y_mid = (y_low + y_high) / 2;
  figure.Puts(mglPoint(x_mid, y_high + 8.0 * y_per_point), mathgl_literal(title).c_str(), "k:bC",
              box.scale.font(kTitlePoints));
  figure.Puts(mglPoint(x_mid, y_low - 36.0 * y_per_point), mathgl_literal(x_label).c_str(), "k:C",
              box.scale.font(kLabelPoints));
  const double y_label_x = x_low - 46.0 * x_per_point;
  figure.Puts(mglPoint(y_label_x, y_mid), mglPoint(y_label_x, y_mid + 1.0),
              mathgl_literal(y_label).c_str(), "k:C", box.scale.font(kLabelPoints));
}

// The corner of the axes (0 bottom-left, 1 bottom-right, 2 top-left, 3 top-right) whose
// quarter holds the fewest data points, so that the legend hides as little as possible.
using Series = std::pair<const std::vector<double>*, const std::vector<double>*>;
int emptiest_corner(const std::vector<Series>& series, double x_low, double x_high, double y_low,
                    double y_high) {
  std::array<int, 4> counts{};
  for (const auto& [xs, ys] : series) {
    for (std::size_t i = 0; i < xs->size(); ++i) {
      const double u = ((*xs)[i] - x_low) / (x_high - x_low);
      const double v = ((*ys)[i] - y_low) / (y_high - y_low);
      if (u < 0.0 || u > 1.0 || v < 0.0 || v > 1.0) continue;
      const int right = u > 0.55 ? 1 : (u < 0.45 ? 0 : -1);
      const int top = v > 0.6 ? 1 : (v < 0.4 ? 0 : -1);
      if (right >= 0 && top >= 0) ++counts[2 * top + right];
    }
  }
  int best = 3;  // ties go to the top right, where readers look for a legend first
  for (int corner : {2, 1, 0}) {
    if (counts[corner] < counts[best]) best = corner;
  }
  return best;
}

// Draws the legend in `corner` (as emptiest_corner numbers them), inset from the box edges.
void draw_legend(mglGraph& figure, const AxesBox& box, int corner) {
  constexpr double kInsetPoints = 6.0;
  const auto position = [](double edge_fraction) {
    return 0.5 + (edge_fraction - 0.5) / kLegendSpan;
  };
  const double inset_x = kInsetPoints * kPixelsPerPoint / box.width;
  const double inset_y = kInsetPoints * kPixelsPerPoint / box.height;
  const bool right = corner % 2 == 1;
  const bool top = corner >= 2;
  figure.SetFontSize(box.scale.font(kLegendPoints) * kLegendFontBoost);
  figure.Legend(position(right ? 1.0 - inset_x : inset_x), position(top ? 1.0 - inset_y : inset_y),
                "#");
}

// Axis limits as an automatic plot chooses them: the data range grown by 5 % on each side,
// (0, 1) without data and +-1 around a single value.
std::pair<double, double> padded_range(const std::vector<const std::vector<double>*>& series) {
  double low = INFINITY, high = -INFINITY;
  for (const auto* values : series) {
    for (double value : *values) {
      low = std::min(low, value);
      high = std::max(high, value);
    }
  }
  if (low > high) return {0.0, 1.0};
  if (low == high) return {low - 1.0, high + 1.0};
  const double margin = 0.05 * (high - low);
  return {low - margin, high + margin};
}

// A fresh white canvas. Every drawing starts on a new one: MathGL keeps layout state across
// Clf() (a legend drawn after a second InPlot on a cleared canvas disappears).
std::unique_ptr<mglGraph> new_figure(std::pair<double, double> size_inches) {
  auto figure = std::make_unique<mglGraph>(
      0, static_cast<int>(std::lround(size_inches.first * TransformVisualizer::kDpi)),
      static_cast<int>(std::lround(size_inches.second * TransformVisualizer::kDpi)));
  figure->LoadFont("heros");
  figure->Clf('w');
  return figure;
}

// What a figure shows before its first plot: an empty framed axes over (0, 1) x (0, 1).
void draw_blank_axes(mglGraph& figure, bool square) {
  const AxesBox box = place_axes(figure, square);
  figure.SetRanges(0, 1, 0, 1);
  figure.SetTicks('x');
  figure.SetTicks('y');
  draw_frame(figure, box);
}

// The finished picture of a figure. A MathGL canvas holds some 40 bytes per pixel, so only
// its 3-byte picture is kept once a figure is drawn.
RgbImage picture(mglGraph& figure) {
  RgbImage image;
  image.width = figure.GetWidth();
  image.height = figure.GetHeight();
  const unsigned char* rgb = figure.GetRGB();
  image.pixels.assign(rgb, rgb + static_cast<std::size_t>(image.width) * image.height * 3);
  return image;
}

void save_picture(const RgbImage& image, const std::filesystem::path& path) {
  write_png(path, image, content_box(image, kCropPad), TransformVisualizer::kDpi);
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
  std::vector<double> x, y, z, yaw;
  for (const auto& row : transform_list) {
    x.push_back(row.tx * 100.0);
    y.push_back(row.ty * 100.0);
    z.push_back(row.tz * 100.0);
    yaw.push_back(quat_to_yaw(row.qx, row.qy, row.qz, row.qw));
  }
  draw_top_view(x, y, yaw, top_view_title(title, range_x, range_y));
  draw_displacement(x, y, z);
}

void TransformVisualizer::draw_top_view(const std::vector<double>& x, const std::vector<double>& y,
                                        const std::vector<double>& yaw, const std::string& title) {
  const std::vector<int> ticks = tick_positions(grid_size_, plot_limit_cm_);
  const auto canvas = new_figure(figsize_);
  mglGraph& figure = *canvas;
  const AxesBox box = place_axes(figure, true);
  const Scale& scale = box.scale;
  const double limit = plot_limit_cm_;
  figure.SetRanges(-limit, limit, -limit, limit);

  mglData tick_values(static_cast<long>(ticks.size()));
  std::wstring tick_labels;
  for (std::size_t i = 0; i < ticks.size(); ++i) {
    tick_values.a[i] = ticks[i];
    if (i > 0) tick_labels += L'\n';
    // A true minus sign, as plotting libraries print negative tick labels.
    tick_labels +=
        ticks[i] < 0 ? L"\u2212" + std::to_wstring(-ticks[i]) : std::to_wstring(ticks[i]);
  }
  if (ticks.empty()) {
    figure.SetTicksVal('x', L"");
    figure.SetTicksVal('y', L"");
  } else {
    figure.SetTicksVal('x', tick_values, tick_labels.c_str());
    figure.SetTicksVal('y', tick_values, tick_labels.c_str());
  }
  figure.Grid("xy", scale.pen(grid_colour(0.4).c_str(), 0.3).c_str());
  draw_frame(figure, box);
  draw_labels(figure, box, -limit, limit, -limit, limit, title, "X (cm)", "Y (cm)");

  const std::string path_pen = scale.pen(kForestGreen, 2.5);
  figure.Plot(to_data(x), to_data(y), path_pen.c_str());
  figure.AddLegend("Path", path_pen.c_str());

  // Scatter marker sizes are areas in square points; MathGL wants a diameter. MathGL does not
  // clip marks to the axes, so marks centred outside the window are left out.
  const auto marker = [&figure, &scale, limit](double px, double py, const char* colour,
                                               double area, const char* label) {
    const std::string style = std::string(colour) + "#o";
    figure.SetMarkSize(scale.mark(std::sqrt(area)));
    if (std::abs(px) <= limit && std::abs(py) <= limit)
      figure.Mark(mglPoint(px, py), style.c_str());
    figure.AddLegend(label, (std::string(colour) + " #o").c_str());
  };
  marker(0.0, 0.0, kPurple, 120.0, "Origin");
  if (!x.empty()) {
    marker(x.front(), y.front(), kRed, 110.0, "Start");
    marker(x.back(), y.back(), kBlue, 110.0, "End");
  }

  // Heading arrows in data units (cm): a 6 cm shaft, then a head 1.2 wide and 0.8 long. Like
  // marks, MathGL's lines and faces are not clipped to the axes, so arrows that would cross the
  // window's edge are left out.
  const std::string arrow_pen = scale.pen(kOrange, 1.2);
  const auto inside = [limit](const mglPoint& p) {
    return std::abs(p.x) <= limit && std::abs(p.y) <= limit;
  };
  for (int i : arrow_indices(static_cast<int>(x.size()))) {
    const double cx = std::cos(yaw[i]), cy = std::sin(yaw[i]);
    if (!inside(mglPoint(x[i], y[i])) || !inside(mglPoint(x[i] + 7.0 * cx, y[i] + 7.0 * cy))) {
      continue;
    }
    const mglPoint tail(x[i], y[i]);
    const mglPoint base(x[i] + 6.0 * cx, y[i] + 6.0 * cy);
    const mglPoint tip(x[i] + 6.8 * cx, y[i] + 6.8 * cy);
    const mglPoint side(-0.6 * cy, 0.6 * cx);
    figure.Line(tail, base, arrow_pen.c_str());
    figure.Face(base + side, base - side, tip, tip, kOrange);
    figure.Line(base + side, tip, arrow_pen.c_str());
    figure.Line(base - side, tip, arrow_pen.c_str());
    figure.Line(base + side, base - side, arrow_pen.c_str());
  }
  draw_legend(figure, box, emptiest_corner({{&x, &y}}, -limit, limit, -limit, limit));
  fig_ = picture(figure);
}

void TransformVisualizer::draw_displacement(const std::vector<double>& x,
                                            const std::vector<double>& y,
                                            const std::vector<double>& z) {
  const auto canvas = new_figure({kAxisFigureWidthInches, kAxisFigureHeightInches});
  mglGraph& figure = *canvas;
  const AxesBox box = place_axes(figure, false);
  const Scale& scale = box.scale;
  std::vector<double> index(x.size());
  for (std::size_t i = 0; i < index.size(); ++i) index[i] = static_cast<double>(i);
  const auto [x_low, x_high] = padded_range({&index});
  const auto [y_low, y_high] = padded_range({&x, &y, &z});
  figure.SetRanges(x_low, x_high, y_low, y_high);
  figure.SetTicks('x');
  figure.SetTicks('y');
  figure.Grid("xy", scale.pen(grid_colour(0.6).c_str(), 0.8).c_str());
  draw_frame(figure, box);
  draw_labels(figure, box, x_low, x_high, y_low, y_high, "XYZ Axis Displacement Variation",
              "Time Step", "Displacement (cm)");
  const mglData steps = to_data(index);
  for (const auto& [values, colour, label] :
       {std::tuple{&x, kBlue, "X"}, std::tuple{&y, kGreen, "Y"}, std::tuple{&z, kRed, "Z"}}) {
    const std::string line_pen = scale.pen(colour, 2.0);
    figure.Plot(steps, to_data(*values), line_pen.c_str());
    figure.AddLegend(label, line_pen.c_str());
  }
  draw_legend(
      figure, box,
      emptiest_corner({{&index, &x}, {&index, &y}, {&index, &z}}, x_low, x_high, y_low, y_high));
  fig_axis_ = picture(figure);
}

void TransformVisualizer::save(const std::string& prefix) {
  // Rendering a canvas is the costly part, so the blank figures are only drawn when saved
  // before any plot.
  if (fig_.pixels.empty()) {
    const auto canvas = new_figure(figsize_);
    draw_blank_axes(*canvas, true);
    fig_ = picture(*canvas);
  }
  if (fig_axis_.pixels.empty()) {
    const auto canvas = new_figure({kAxisFigureWidthInches, kAxisFigureHeightInches});
    draw_blank_axes(*canvas, false);
    fig_axis_ = picture(*canvas);
  }
  save_picture(fig_, save_dir_ / (prefix + "_2D.png"));
  save_picture(fig_axis_, save_dir_ / (prefix + "_axis.png"));
  common::logger("orvalt.visual.ferrimond")
      ->debug("✅ Visualization saved to: {}", save_dir_.string());
}

}  // namespace orvalt::visual
