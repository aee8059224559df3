#include "orvalt/visual/ferrimond/line_chart.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "orvalt/visual/ferrimond/svg_figure.hpp"

namespace orvalt::visual {
namespace {

int occurrences(const std::string& text, const std::string& part) {
  int count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST(SvgFigureTest, FinishGivesACompleteDocumentOfTheFigureSize) {
  SvgFigure figure(200.0, 100.0);
  cairo_rectangle(figure.context(), 10, 10, 50, 50);
  cairo_set_source_rgb(figure.context(), 1.0, 0.0, 0.0);
  cairo_fill(figure.context());
  const std::string svg = figure.finish();
  EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
  EXPECT_NE(svg.find("width=\"200pt\""), std::string::npos) << svg.substr(0, 300);
  EXPECT_NE(svg.find("height=\"100pt\""), std::string::npos);
  EXPECT_NE(svg.find("rgb(100%,0%,0%)"), std::string::npos);
  EXPECT_NE(svg.find("</svg>"), std::string::npos);
  EXPECT_THROW(figure.finish(), std::runtime_error);
}

TEST(LineChartTest, MarkersOnlyAtFinitePointsAndOneLegendRowPerLabel) {
  LineChart chart;
  chart.title = "t";
  // Pure red and blue appear nowhere else in a chart.
  chart.series.push_back({"red", {0, 1, 2}, {0, NAN, 2}, Colour{0xFF0000}, 0.0, 10.0});
  chart.series.push_back({"", {0, 1, 2}, {1, 1, 1}, Colour{0x0000FF}, 0.0, 10.0});
  const std::string svg = line_chart_svg(chart);
  // Two markers plus the legend's sample for the red series; three markers and no legend row
  // for the unlabelled blue one.
  EXPECT_EQ(occurrences(svg, "fill:rgb(100%,0%,0%)"), 3);
  EXPECT_EQ(occurrences(svg, "fill:rgb(0%,0%,100%)"), 3);
}

TEST(LineChartTest, LinesAreStrokedInTheirColour) {
  LineChart chart;
  chart.series.push_back({"", {0, 1, NAN, 2, 3}, {0, 1, NAN, 2, 3}, Colour{0xFF0000}, 1.5, 0.0});
  const std::string svg = line_chart_svg(chart);
  EXPECT_GE(occurrences(svg, "stroke:rgb(100%,0%,0%)"), 1);
  EXPECT_EQ(occurrences(svg, "fill:rgb(100%,0%,0%)"), 0);
}

TEST(LineChartTest, AnEmptyChartStillDraws) {
  const std::string svg = line_chart_svg(LineChart{});
  EXPECT_NE(svg.find("</svg>"), std::string::npos);
}

}  // namespace
}  // namespace orvalt::visual
