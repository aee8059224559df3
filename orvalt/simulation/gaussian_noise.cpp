#include "orvalt/simulation/gaussian_noise.hpp"

#include <algorithm>
#include <stdexcept>

#include <opencv2/core.hpp>

namespace orvalt::simulation {

namespace {

// Room for each draw to start at this many places (or three times its size, if less).
constexpr std::size_t kStarts = std::size_t{1} << 24;

}  // namespace

GaussianNoise::GaussianNoise(std::uint64_t seed, RandomStream stream, std::size_t largest_draw)
    : largest_draw_(largest_draw), bank_(largest_draw + std::min(3 * largest_draw, kStarts)) {
  cv::Mat view(1, static_cast<int>(bank_.size()), CV_32F, bank_.data());
  cv::RNG rng(random_stream(seed, stream)());
  rng.fill(view, cv::RNG::NORMAL, 0.0, 1.0);
}

const float* GaussianNoise::draw(std::size_t count, std::mt19937_64& random) const {
  if (count > largest_draw_) throw std::invalid_argument("Too many noise samples for one image");
  std::uniform_int_distribution<std::size_t> start(0, bank_.size() - count);
  return bank_.data() + start(random);
}

}  // namespace orvalt::simulation
