#include "orvalt/simulation/mip_texture.hpp"

#include <stdexcept>

#include <opencv2/imgproc.hpp>

namespace orvalt::simulation {

MipTexture::MipTexture(const cv::Mat& base, double extent_s, double extent_t, bool repeat_t)
    : repeat_t_(repeat_t) {
  if (base.empty() || base.type() != CV_8UC3 || !(extent_s > 0) || !(extent_t > 0)) {
    throw std::invalid_argument("A texture needs a non-empty BGR image and positive extents");
  }
  const auto power_of_two = [](int n) { return (n & (n - 1)) == 0; };
  if (!power_of_two(base.cols) || (repeat_t && !power_of_two(base.rows))) {
    throw std::invalid_argument("A repeating texture needs a power-of-two size");
  }
  cv::Mat image;
  cv::cvtColor(base, image, cv::COLOR_BGR2BGRA);
  while (true) {
    levels_.push_back({image, image.cols / extent_s, image.rows / extent_t});
    if (image.cols < 8 || image.rows < 8) break;
    cv::Mat half;
    cv::resize(image, half, cv::Size(image.cols / 2, (image.rows + 1) / 2), 0, 0, cv::INTER_AREA);
    image = half;
  }
  finest_texels_per_metre_ = std::max(levels_[0].texels_per_metre_s, levels_[0].texels_per_metre_t);
}

}  // namespace orvalt::simulation
