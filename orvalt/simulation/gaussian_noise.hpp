#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "orvalt/simulation/random_streams.hpp"

namespace orvalt::simulation {

// Standard normal samples for whole images, fast: a bank of samples drawn once, from which
// each image takes a run starting at a random place. Within an image every sample is
// independent; two images share values only as a shifted run, which nothing that reads a
// camera image can notice, and the bank costs a memory read per pixel instead of a Gaussian
// draw (the largest cost of a frame otherwise).
class GaussianNoise {
 public:
  // A bank for draws of up to `largest_draw` samples.
  GaussianNoise(std::uint64_t seed, RandomStream stream, std::size_t largest_draw);

  // `count` consecutive samples; `random` picks where they start. Throws
  // std::invalid_argument for more than the largest draw.
  const float* draw(std::size_t count, std::mt19937_64& random) const;

 private:
  std::size_t largest_draw_;
  std::vector<float> bank_;
};

}  // namespace orvalt::simulation
