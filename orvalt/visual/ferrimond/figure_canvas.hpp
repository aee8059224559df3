#pragma once

#include <filesystem>

#include <cairo.h>

namespace orvalt::visual {

// Makes `cairo` keep text metrics unrounded to pixels, so that a layout measured once holds at
// every resolution.
void use_unhinted_metrics(cairo_t* cairo);

// A white figure of `width_inches` x `height_inches` rendered at `dpi` by Cairo. Its context
// draws in points (1/72 inch) from the figure's top-left corner, y downwards, so that line
// widths, marker sizes and fonts keep their typographic sizes at any resolution. The canvas
// reaches `bleed_points` beyond the figure on every side, for texts wider than the figure;
// the saved picture is cropped to what was drawn either way.
class FigureCanvas {
 public:
  FigureCanvas(double width_inches, double height_inches, int dpi, double bleed_points = 0.0);
  ~FigureCanvas();
  FigureCanvas(const FigureCanvas&) = delete;
  FigureCanvas& operator=(const FigureCanvas&) = delete;

  cairo_t* context() const { return context_; }
  double width_points() const { return width_points_; }
  double height_points() const { return height_points_; }

  // Writes the figure cropped to what was drawn plus a 0.1 inch margin, as a PNG that records
  // its dpi. Throws std::runtime_error naming the file when it cannot be written.
  void save_png(const std::filesystem::path& path);

 private:
  int dpi_;
  double width_points_;
  double height_points_;
  cairo_surface_t* surface_;
  cairo_t* context_;
};

}  // namespace orvalt::visual
