#pragma once

#include <cstdint>
#include <optional>

#include <opencv2/core.hpp>

#include "orvalt/simulation/gaussian_noise.hpp"
#include "orvalt/simulation/simulation_options.hpp"

namespace orvalt::simulation {

// The colour camera's own imperfections on top of the ideal view: auto-exposure that drifts
// with time, optical blur and sensor noise that grows with brightness (shot noise).
class ColourSensor {
 public:
  ColourSensor(const NoiseSettings& noise, std::uint64_t seed, cv::Size image_size);

  // Exposure gain at `time` seconds (1 when brightness variation is off).
  double exposure(double time) const;
  // The bgr8 image of an ideal CV_32FC3 view of the configured size captured at `time`;
  // `frame` keys the noise.
  cv::Mat capture(const cv::Mat& ideal, double time, std::uint64_t frame) const;

 private:
  NoiseSettings noise_;
  std::uint64_t seed_;
  double phase_slow_;
  double phase_fast_;
  std::optional<GaussianNoise> gaussian_;
};

}  // namespace orvalt::simulation
