#include "orvalt/visual/ferrimond/svg_figure.hpp"

#include <stdexcept>

#include <cairo-svg.h>

#include "orvalt/visual/ferrimond/figure_canvas.hpp"

namespace orvalt::visual {

SvgFigure::SvgFigure(double width_points, double height_points)
    : surface_(cairo_svg_surface_create_for_stream(&SvgFigure::append, this, width_points,
                                                   height_points)),
      context_(cairo_create(surface_)) {
  if (cairo_status(context_) != CAIRO_STATUS_SUCCESS) {
    const std::string why = cairo_status_to_string(cairo_status(context_));
    cairo_destroy(context_);
    cairo_surface_destroy(surface_);
    throw std::runtime_error("Cannot create an SVG figure: " + why);
  }
  cairo_set_source_rgb(context_, 1.0, 1.0, 1.0);
  cairo_paint(context_);
  use_unhinted_metrics(context_);
}

SvgFigure::~SvgFigure() {
  if (context_) cairo_destroy(context_);
  if (surface_) cairo_surface_destroy(surface_);
}

cairo_status_t SvgFigure::append(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<SvgFigure*>(closure)->document_.append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

std::string SvgFigure::finish() {
  if (!surface_) throw std::runtime_error("The SVG figure is finished already");
  const cairo_status_t drawing = cairo_status(context_);
  cairo_destroy(context_);
  context_ = nullptr;
  // Cairo writes the document out only when the surface is finished.
  cairo_surface_finish(surface_);
  const cairo_status_t writing = cairo_surface_status(surface_);
  cairo_surface_destroy(surface_);
  surface_ = nullptr;
  for (const cairo_status_t status : {drawing, writing}) {
    if (status != CAIRO_STATUS_SUCCESS) {
      throw std::runtime_error(std::string("Cannot draw an SVG figure: ") +
                               cairo_status_to_string(status));
    }
  }
  return std::move(document_);
}

}  // namespace orvalt::visual
