#include "orvalt/simulation/colour_sensor.hpp"

#include <cmath>
#include <random>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

namespace orvalt::simulation {
namespace {

// Auto-exposure hunts slowly and flickers a little faster.
constexpr double kSlowPeriod = 9.0;  // seconds
constexpr double kFastPeriod = 3.1;  // seconds
// Shot noise: at this grey level the noise has the configured standard deviation; read noise
// keeps a floor of half of it in the dark.
constexpr float kReferenceLevel = 128.0f;
constexpr float kReadNoiseShare = 0.25f;

}  // namespace

ColourSensor::ColourSensor(const NoiseSettings& noise, std::uint64_t seed, cv::Size image_size)
    : noise_(noise), seed_(seed) {
  auto random = random_stream(seed, RandomStream::kExposure);
  std::uniform_real_distribution<double> phase(0.0, 2.0 * M_PI);
  phase_slow_ = phase(random);
  phase_fast_ = phase(random);
  if (noise_.image_noise > 0.0) {
    gaussian_.emplace(seed, RandomStream::kColourNoise, image_size.area() * std::size_t{3});
  }
}

double ColourSensor::exposure(double time) const {
  return 1.0 + noise_.brightness_variation *
                   (0.7 * std::sin(2.0 * M_PI * time / kSlowPeriod + phase_slow_) +
                    0.3 * std::sin(2.0 * M_PI * time / kFastPeriod + phase_fast_));
}

cv::Mat ColourSensor::capture(const cv::Mat& ideal, double time, std::uint64_t frame) const {
  if (ideal.type() != CV_32FC3) throw std::invalid_argument("An ideal view is CV_32FC3");
  cv::Mat signal = ideal;
  // Blur is linear, so the exposure gain can follow it.
  if (noise_.image_blur > 0.0) {
    // A kernel of +-3 sigma; OpenCV's own choice for float images is wider than needed.
    const int size = 2 * static_cast<int>(std::ceil(3.0 * noise_.image_blur)) + 1;
    cv::GaussianBlur(ideal, signal, cv::Size(size, size), noise_.image_blur);
  } else if (!signal.isContinuous()) {
    signal = ideal.clone();
  }
  const std::size_t count = signal.total() * 3;
  const float gain = static_cast<float>(exposure(time));
  const float* noise = nullptr;
  if (gaussian_) {
    auto random = random_stream(seed_, RandomStream::kColourNoise, frame + 1);
    noise = gaussian_->draw(count, random);
  }
  const float sigma = static_cast<float>(noise_.image_noise);
  cv::Mat image(signal.size(), CV_8UC3);
  const float* in = signal.ptr<float>();
  std::uint8_t* out = image.ptr<std::uint8_t>();
  for (std::size_t i = 0; i < count; ++i) {
    float value = gain * in[i];
    if (noise) {
      const float light = std::max(value, 0.0f) * ((1.0f - kReadNoiseShare) / kReferenceLevel);
      value += noise[i] * sigma * std::sqrt(light + kReadNoiseShare);
    }
    out[i] = cv::saturate_cast<std::uint8_t>(value);
  }
  return image;
}

}  // namespace orvalt::simulation
