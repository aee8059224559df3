#include "orvalt/calibration/report_page/page_charts.hpp"

#include <algorithm>
#include <cmath>
#include <map>

#include <fmt/format.h>

#include "orvalt/calibration/report_page/page_verdict.hpp"
#include "orvalt/visual/ferrimond/line_chart.hpp"

namespace orvalt::calibration {
namespace {

using visual::ChartSeries;
using visual::Colour;
using visual::LineChart;

constexpr Colour kUsedGreen{0x2CA02C};
constexpr Colour kRejectRed{0xD62728};
constexpr Colour kBoardPurple{0x9467BD};
constexpr Colour kPathGrey{0xB0B0B0};
constexpr Colour kBlue{0x1F77B4};
constexpr Colour kGateOrange{0xFF7F0E};

// Tableau colours by frame use, so that each reason reads apart from the others.
Colour colour_of(FrameUse use) {
  switch (use) {
    case FrameUse::kUsed:
      return kUsedGreen;
    case FrameUse::kGated:
      return kRejectRed;
    case FrameUse::kNoDepth:
      return kGateOrange;
    case FrameUse::kNoTags:
      return Colour{0x7F7F7F};
    case FrameUse::kOtherTags:
      return Colour{0xBCBD22};
    case FrameUse::kUnreadable:
      return Colour{0x000000};
    case FrameUse::kNotFinite:
      return Colour{0x8C564B};
    case FrameUse::kNoSharedTag:
      return Colour{0x17BECF};
  }
  return Colour{0x000000};
}

double seconds_since(std::int64_t stamp_ns, std::int64_t origin_ns) {
  return static_cast<double>(stamp_ns - origin_ns) * 1e-9;
}

// The first stamp of the run: the time axis of every chart starts there.
std::int64_t time_origin(const ReportPageInput& input) {
  if (!input.images.empty()) return input.images.front().stamp_ns;
  if (!input.pairs.empty()) return input.pairs.front().stamp_ns;
  return 0;
}

double quantile(std::vector<double> values, double fraction) {
  const auto at = static_cast<std::ptrdiff_t>(std::lround(fraction * (values.size() - 1)));
  std::nth_element(values.begin(), values.begin() + at, values.end());
  return values[at];
}

PageChart trajectory_chart(const ReportPageInput& input) {
  LineChart chart;
  chart.title = "Trajectory (top view)";
  chart.x_label = "x in the odometry frame (m)";
  chart.y_label = "y (m)";
  chart.equal_scales = true;
  chart.height_inches = 5.5;
  ChartSeries path{"path", {}, {}, kPathGrey, 1.2, 0.0};
  std::map<FrameUse, ChartSeries> by_use;
  const std::vector<FrameUse> uses = frame_uses(input);
  for (std::size_t i = 0; i < input.images.size(); ++i) {
    const PageImage& image = input.images[i];
    path.xs.push_back(image.x);
    path.ys.push_back(image.y);
    ChartSeries& series = by_use[uses[i]];
    series.xs.push_back(image.x);
    series.ys.push_back(image.y);
  }
  chart.series.push_back(std::move(path));
  for (auto& [use, series] : by_use) {
    series.label = fmt::format("{} ({})", frame_use_name(use), series.xs.size());
    series.colour = colour_of(use);
    series.marker_area = use == FrameUse::kUsed ? 16.0 : 25.0;
    chart.series.push_back(std::move(series));
  }
  if (!input.board_tags.empty()) {
    ChartSeries board{"board (tag centres)", {}, {}, kBoardPurple, 0.0, 60.0};
    for (const auto& [id, centre] : input.board_tags) {
      board.xs.push_back(centre.x());
      board.ys.push_back(centre.y());
    }
    chart.series.push_back(std::move(board));
  }
  return {"Where the robot drove and what each frame gave",
          "Each dot is a colour image at the robot's odometry position; its colour says whether "
          "the frame entered an accepted motion pair or why not. The purple dots are the board's "
          "tags, placed with the result.",
          visual::line_chart_svg(chart)};
}

PageChart tags_chart(const ReportPageInput& input) {
  LineChart chart;
  chart.title = "Tags detected per frame";
  chart.x_label = "time since the first image (s)";
  chart.y_label = "tags of --target_ids";
  chart.y_include = {0.0};
  ChartSeries tags{"", {}, {}, kBlue, 1.0, 9.0};
  const std::int64_t origin = time_origin(input);
  for (const PageImage& image : input.images) {
    tags.xs.push_back(seconds_since(image.stamp_ns, origin));
    tags.ys.push_back(image.tags);
  }
  chart.series.push_back(std::move(tags));
  return {"Tags detected over time",
          "How many tags of --target_ids the detector found in each colour image; stretches at 0 "
          "are frames the board was out of view or not recognised.",
          visual::line_chart_svg(chart)};
}

PageChart pairs_chart(const ReportPageInput& input) {
  LineChart chart;
  chart.title = "Odometry against camera motion, per pair";
  chart.x_label = "time since the first image (s)";
  chart.y_label = "disagreement (cm)";
  const double gate_cm = input.pair_gate_m * 100.0;
  chart.y_include = {0.0, gate_cm * 1.2};
  ChartSeries accepted{"accepted", {}, {}, kUsedGreen, 0.0, 14.0};
  ChartSeries gated{fmt::format("gated (over {:g} cm)", gate_cm), {}, {}, kRejectRed, 0.0, 14.0};
  const std::int64_t origin = time_origin(input);
  double last = 0.0;
  for (const PagePair& pair : input.pairs) {
    const double t = seconds_since(pair.stamp_ns, origin);
    last = std::max(last, t);
    if (!std::isfinite(pair.disagreement_m)) continue;
    ChartSeries& series = pair.fate == PairFate::kAccepted ? accepted : gated;
    series.xs.push_back(t);
    series.ys.push_back(pair.disagreement_m * 100.0);
  }
  chart.series.push_back(
      {fmt::format("{:g} cm gate", gate_cm), {0.0, last}, {gate_cm, gate_cm}, kGateOrange, 1.5, 0});
  chart.series.push_back(std::move(accepted));
  chart.series.push_back(std::move(gated));
  return {"Motion disagreement per pair",
          "For each pair of consecutive frames with a camera motion: how far the odometry's "
          "translation and the camera's differ. Pairs above the gate are dropped.",
          visual::line_chart_svg(chart)};
}

PageChart floor_chart(const ReportPageInput& input) {
  LineChart chart;
  chart.title = "Floor inliers' height at the result";
  chart.x_label = "ground cloud";
  chart.y_label = "height above base (mm)";
  chart.y_include = {0.0};
  ChartSeries spread{"5 to 95 % of the inliers", {}, {}, kBlue, 2.0, 0.0};
  ChartSeries median{"median", {}, {}, kRejectRed, 0.0, 20.0};
  for (std::size_t i = 0; i < input.floor_heights_m.size(); ++i) {
    const std::vector<double>& heights = input.floor_heights_m[i];
    if (heights.empty()) continue;
    const double cloud = static_cast<double>(i + 1);
    spread.xs.insert(spread.xs.end(), {cloud, cloud, NAN});
    spread.ys.insert(spread.ys.end(),
                     {quantile(heights, 0.05) * 1e3, quantile(heights, 0.95) * 1e3, NAN});
    median.xs.push_back(cloud);
    median.ys.push_back(quantile(heights, 0.5) * 1e3);
  }
  chart.series.push_back(std::move(spread));
  chart.series.push_back(std::move(median));
  return {"The floor",
          "The plane inliers of each ground cloud, moved into the base frame with the result: "
          "at the right height and tilt they lie at 0 mm.",
          visual::line_chart_svg(chart)};
}

PageChart refinement_chart(const ReportPageInput& input) {
  LineChart chart;
  chart.title = "Board refinement: reprojection error per frame";
  chart.x_label = "time since the first image (s)";
  chart.y_label = "RMS (px)";
  chart.y_include = {0.0};
  ChartSeries rms{"", {}, {}, kBlue, 0.0, 12.0};
  const std::int64_t origin = time_origin(input);
  for (const auto& [stamp, error] : input.refinement->frame_rms_px) {
    rms.xs.push_back(seconds_since(stamp, origin));
    rms.ys.push_back(error);
  }
  chart.series.push_back(std::move(rms));
  return {"Board refinement",
          fmt::format("How far the refined model puts each frame's tag corners from where they "
                      "were detected; {:.3f} px overall, estimated camera time offset {:.1f} ms.",
                      input.refinement->reprojection_rms_px, input.refinement->time_offset_s * 1e3),
          visual::line_chart_svg(chart)};
}

bool any_disagreement(const ReportPageInput& input) {
  return std::any_of(input.pairs.begin(), input.pairs.end(),
                     [](const PagePair& pair) { return std::isfinite(pair.disagreement_m); });
}

}  // namespace

std::vector<PageChart> page_charts(const ReportPageInput& input) {
  std::vector<PageChart> charts;
  if (!input.images.empty()) {
    charts.push_back(trajectory_chart(input));
    charts.push_back(tags_chart(input));
  }
  if (any_disagreement(input)) charts.push_back(pairs_chart(input));
  if (!input.floor_heights_m.empty()) charts.push_back(floor_chart(input));
  if (input.refinement && !input.refinement->frame_rms_px.empty()) {
    charts.push_back(refinement_chart(input));
  }
  return charts;
}

}  // namespace orvalt::calibration
