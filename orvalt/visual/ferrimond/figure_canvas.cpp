#include "orvalt/visual/ferrimond/figure_canvas.hpp"

#include <cmath>
#include <stdexcept>

#include "orvalt/visual/ferrimond/png_export.hpp"

namespace orvalt::visual {

void use_unhinted_metrics(cairo_t* cairo) {
  cairo_font_options_t* options = cairo_font_options_create();
  cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
  cairo_set_font_options(cairo, options);
  cairo_font_options_destroy(options);
}

FigureCanvas::FigureCanvas(double width_inches, double height_inches, int dpi, double bleed_points)
    : dpi_(dpi),
      width_points_(width_inches * 72.0),
      height_points_(height_inches * 72.0),
      surface_(cairo_image_surface_create(
          CAIRO_FORMAT_RGB24,
          static_cast<int>(std::lround((width_points_ + 2 * bleed_points) * dpi / 72.0)),
          static_cast<int>(std::lround((height_points_ + 2 * bleed_points) * dpi / 72.0)))),
      context_(cairo_create(surface_)) {
  if (cairo_status(context_) != CAIRO_STATUS_SUCCESS) {
    const std::string why = cairo_status_to_string(cairo_status(context_));
    cairo_destroy(context_);
    cairo_surface_destroy(surface_);
    throw std::runtime_error("Cannot create a figure canvas: " + why);
  }
  cairo_set_source_rgb(context_, 1.0, 1.0, 1.0);
  cairo_paint(context_);
  cairo_scale(context_, dpi / 72.0, dpi / 72.0);
  cairo_translate(context_, bleed_points, bleed_points);
  use_unhinted_metrics(context_);
}

FigureCanvas::~FigureCanvas() {
  cairo_destroy(context_);
  cairo_surface_destroy(surface_);
}

void FigureCanvas::save_png(const std::filesystem::path& path) {
  cairo_surface_flush(surface_);
  const PixelView pixels{
      cairo_image_surface_get_width(surface_), cairo_image_surface_get_height(surface_),
      cairo_image_surface_get_stride(surface_), cairo_image_surface_get_data(surface_)};
  write_png(path, pixels, content_box(pixels, dpi_ / 10), dpi_);
}

}  // namespace orvalt::visual
