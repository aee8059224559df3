#pragma once

#include <string>

#include <cairo.h>

namespace orvalt::visual {

// A white figure of `width_points` x `height_points` drawn by Cairo into an SVG document held in
// memory, for pages that embed their figures. Its context draws in points from the top-left
// corner, y downwards, like FigureCanvas's, so that the same chart code draws on either. Texts
// become glyph outlines: the document needs no font where it is shown.
class SvgFigure {
 public:
  SvgFigure(double width_points, double height_points);
  ~SvgFigure();
  SvgFigure(const SvgFigure&) = delete;
  SvgFigure& operator=(const SvgFigure&) = delete;

  cairo_t* context() const { return context_; }

  // Ends the drawing and returns the SVG document; the figure cannot draw afterwards. Throws
  // std::runtime_error when Cairo reports an error.
  std::string finish();

 private:
  static cairo_status_t append(void* closure, const unsigned char* data, unsigned int length);

  std::string document_;
  cairo_surface_t* surface_;
  cairo_t* context_;
};

}  // namespace orvalt::visual
