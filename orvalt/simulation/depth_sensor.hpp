#pragma once

#include <cstdint>
#include <optional>

#include <opencv2/core.hpp>

#include "orvalt/simulation/gaussian_noise.hpp"
#include "orvalt/simulation/simulation_options.hpp"

namespace orvalt::simulation {

// One depth capture: the same measurement in metres (for the point cloud) and as the 16UC1
// millimetre image the camera publishes. Invalid pixels are 0 in both.
struct DepthCapture {
  cv::Mat metres;       // CV_32F
  cv::Mat millimetres;  // CV_16U
};

// A stereo depth camera's errors on top of exact depth: Gaussian noise whose standard
// deviation grows with the square of the depth, holes along depth discontinuities (where
// stereo matching fails at occlusions), small random dropouts, a working range outside which
// nothing is reported, and rounding to whole millimetres.
class DepthSensor {
 public:
  DepthSensor(const NoiseSettings& noise, double min_depth, double max_depth, std::uint64_t seed,
              cv::Size image_size);

  // `exact`: CV_32F metres along the optical axis, of the configured size; `frame` keys the
  // noise.
  DepthCapture capture(const cv::Mat& exact, std::uint64_t frame) const;

  // Pixels next to a jump in inverse depth (disparity) larger than this, in 1/m. Planes have
  // linear disparity, so the floor's gradient (at most 1 / (camera height x focal length))
  // stays far below it, while the board's edge against the wall behind exceeds it.
  static constexpr double kDisparityJump = 0.05;

 private:
  cv::Mat edge_holes(const cv::Mat& exact) const;

  NoiseSettings noise_;
  double min_depth_;
  double max_depth_;
  std::uint64_t seed_;
  std::optional<GaussianNoise> gaussian_;
};

}  // namespace orvalt::simulation
