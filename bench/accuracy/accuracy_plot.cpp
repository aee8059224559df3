#include "bench/accuracy/accuracy_plot.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <fmt/format.h>
#include <mgl2/mgl.h>

#include "bench/accuracy/mathgl_text.hpp"
#include "bench/support/bench_support.hpp"

namespace orvalt::bench {
namespace {

constexpr int kWidth = 1500;
constexpr int kHeight = 1000;
// Panel boxes as fractions of the figure (x from the left, y from the bottom), leaving room for
// the titles above and the rotated method names below each box.
constexpr double kColumns[3][2] = {{0.06, 0.31}, {0.39, 0.64}, {0.72, 0.97}};
constexpr double kRows[2][2] = {{0.58, 0.87}, {0.14, 0.43}};
constexpr double kFloor = 1e-4;  // exact results are drawn here
// One colour per method, in method order; MathGL colour ids.
constexpr const char* kColours[] = {"b", "{x00A000}", "k", "r", "m", "{xFF8000}", "c", "{x808000}"};

double log_floor(double value) { return std::pow(10.0, std::floor(std::log10(value))); }
double log_ceil(double value) { return std::pow(10.0, std::ceil(std::log10(value))); }

void draw_panel(mglGraph& figure, const ConditionStatistics& statistics, std::size_t parameter) {
  const std::size_t methods = statistics.methods.size();
  double low = 1.0, high = 1.0;
  for (const MethodStatistics& method : statistics.methods) {
    for (double error : method.errors[parameter]) {
      const double magnitude = std::max(std::abs(error), kFloor);
      low = std::min(low, magnitude);
      high = std::max(high, magnitude);
    }
  }
  low = log_floor(low);
  high = log_ceil(high * 1.01);
  // At least three decades, so that the axis has labelled ticks.
  low = std::min(low, high / 1000.0);
  const double x_low = 0.3, x_high = static_cast<double>(methods) + 0.7;
  figure.InPlot(kColumns[parameter % 3][0], kColumns[parameter % 3][1], kRows[parameter / 3][0],
                kRows[parameter / 3][1], false);
  // Without this MathGL shrinks the box to leave room for rotating it in 3D.
  figure.SetPlotFactor(1.0);
  figure.SetFunc("", "");
  figure.SetRanges(x_low, x_high, low, high);
  figure.SetFunc("", "lg(y)");

  // Ticks without labels: the method names are written below, in two staggered rows so that
  // they fit.
  mglData positions(static_cast<long>(methods));
  std::string blanks;
  for (std::size_t m = 0; m < methods; ++m) {
    positions.a[m] = static_cast<double>(m + 1);
    blanks += m > 0 ? "\n " : " ";
  }
  figure.SetTicksVal('x', positions, blanks.c_str());
  figure.SetFontSize(3.0);
  figure.Grid("y!", "{xD8D8D8}");
  figure.Box("k", false);
  figure.Axis("xy", "k");
  // Texts outside the box sit at fractions of its height, on the logarithmic axis.
  const auto beyond = [low, high](double fraction) {
    return fraction > 0 ? high * std::pow(high / low, fraction)
                        : low * std::pow(high / low, fraction);
  };
  figure.Puts(mglPoint(0.5 * (x_low + x_high), beyond(0.05)),
              fmt::format("{} ({})", kParameterNames[parameter], parameter_unit(parameter)).c_str(),
              ":C", 4.0);
  for (std::size_t m = 0; m < methods; ++m) {
    figure.Puts(mglPoint(static_cast<double>(m + 1), beyond(m % 2 == 0 ? -0.08 : -0.17)),
                mathgl_literal(plot_label(statistics.methods[m].method)).c_str(), ":C", 3.0);
  }

  for (std::size_t m = 0; m < methods; ++m) {
    const std::vector<double>& errors = statistics.methods[m].errors[parameter];
    if (errors.empty()) continue;
    mglData x(static_cast<long>(errors.size())), y(static_cast<long>(errors.size()));
    std::vector<double> magnitudes;
    for (std::size_t i = 0; i < errors.size(); ++i) {
      // Spread the runs sideways so that equal errors stay visible as a column of dots.
      x.a[i] = static_cast<double>(m + 1) + 0.5 * (static_cast<double>(i % 9) / 8.0 - 0.5);
      y.a[i] = std::max(std::abs(errors[i]), kFloor);
      magnitudes.push_back(y.a[i]);
    }
    const std::string colour = kColours[m % std::size(kColours)];
    figure.Plot(x, y, (colour + " o").c_str());
    const double middle = median(magnitudes);
    mglData bar_x(2), bar_y(2);
    bar_x.a[0] = static_cast<double>(m + 1) - 0.35;
    bar_x.a[1] = static_cast<double>(m + 1) + 0.35;
    bar_y.a[0] = bar_y.a[1] = middle;
    figure.Plot(bar_x, bar_y, (colour + "-3").c_str());
  }
}

}  // namespace

std::string plot_label(const std::string& method) {
  const std::string varnholt = "varnholt, ";
  const std::string opencv = "OpenCV ";
  if (method.rfind(varnholt, 0) == 0) {
    const std::string setting = method.substr(varnholt.size());
    return setting.substr(0, setting.find(','));
  }
  if (method.rfind(opencv, 0) == 0) return method.substr(opencv.size());
  if (method == "solve_axxb_linear") return "linear";
  return method;
}

void plot_condition(const std::filesystem::path& path, const ConditionStatistics& statistics,
                    const std::string& title) {
  mglGraph figure(0, kWidth, kHeight);
  figure.SetQuality(MGL_DRAW_NORM);
  // Labels and titles lie outside the panels' ranges.
  figure.SetCut(false);
  figure.SetMarkSize(1.6);
  for (std::size_t parameter = 0; parameter < kParameterNames.size(); ++parameter) {
    draw_panel(figure, statistics, parameter);
  }
  figure.SetFunc("", "");
  figure.InPlot(0.0, 1.0, 0.0, 1.0, false);
  figure.SetPlotFactor(1.0);
  figure.SetRanges(0, 1, 0, 1);
  figure.Puts(mglPoint(0.5, 0.955), mathgl_literal(title).c_str(), ":C", 2.2);
  figure.Puts(mglPoint(0.5, 0.015),
              mathgl_literal("|error| of each run (dots; bar: median; exact results at " +
                             fmt::format("{:g}", kFloor) + "); failed runs not drawn")
                  .c_str(),
              ":C", 1.5);
  figure.WritePNG(path.c_str(), "", false);
  if (!std::filesystem::exists(path)) {
    throw std::runtime_error("Failed to write " + path.string());
  }
}

}  // namespace orvalt::bench
