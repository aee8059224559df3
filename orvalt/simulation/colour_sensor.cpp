#include "orvalt/simulation/colour_sensor.hpp"

#include <cmath>
#include <random>

#include <opencv2/imgproc.hpp>

#include "orvalt/simulation/random_streams.hpp"

namespace orvalt::simulation {
namespace {

// Auto-exposure hunts slowly and flickers a little faster.
constexpr double kSlowPeriod = 9.0;  // seconds
constexpr double kFastPeriod = 3.1;  // seconds
// Shot noise: at this grey level the noise has the configured standard deviation; read noise
// keeps a floor of half of it in the dark.
constexpr double kReferenceLevel = 128.0;
constexpr double kReadNoiseShare = 0.25;

}  // namespace

ColourSensor::ColourSensor(const NoiseSettings& noise, std::uint64_t seed)
    : noise_(noise), seed_(seed) {
  auto random = random_stream(seed, RandomStream::kExposure);
  std::uniform_real_distribution<double> phase(0.0, 2.0 * M_PI);
  phase_slow_ = phase(random);
  phase_fast_ = phase(random);
}

double ColourSensor::exposure(double time) const {
  return 1.0 + noise_.brightness_variation *
                   (0.7 * std::sin(2.0 * M_PI * time / kSlowPeriod + phase_slow_) +
                    0.3 * std::sin(2.0 * M_PI * time / kFastPeriod + phase_fast_));
}

cv::Mat ColourSensor::capture(const cv::Mat& ideal, double time, std::uint64_t frame) const {
  cv::Mat signal;
  ideal.convertTo(signal, CV_32FC3, exposure(time));
  if (noise_.image_blur > 0.0) {
    cv::GaussianBlur(signal, signal, cv::Size(0, 0), noise_.image_blur);
  }
  if (noise_.image_noise > 0.0) {
    // cv::RNG's Gaussian fill is several times faster than <random> for a whole image.
    cv::RNG rng(random_stream(seed_, RandomStream::kColourNoise, frame)());
    cv::Mat noise(signal.size(), CV_32FC3);
    rng.fill(noise, cv::RNG::NORMAL, 0.0, 1.0);
    cv::Mat spread;
    cv::max(signal, 0.0, spread);
    spread.convertTo(spread, CV_32FC3, (1.0 - kReadNoiseShare) / kReferenceLevel, kReadNoiseShare);
    cv::sqrt(spread, spread);
    cv::multiply(noise, spread, noise, noise_.image_noise);
    signal += noise;
  }
  cv::Mat image;
  signal.convertTo(image, CV_8UC3);
  return image;
}

}  // namespace orvalt::simulation
