#pragma once

#include <cstdint>
#include <random>

namespace orvalt::simulation {

// Independent random sources of one simulation. Each part of a recording draws from its own
// stream, and per-frame streams are keyed by the frame index, so that one seed gives the same
// recording whatever is rendered first and however often.
enum class RandomStream : std::uint32_t {
  kSceneTextures = 1,
  kOdometry = 2,
  kRecordingDelay = 3,
  kExposure = 4,
  kColourNoise = 5,
  kDepthNoise = 6,
};

std::mt19937_64 random_stream(std::uint64_t seed, RandomStream stream, std::uint64_t index = 0);

}  // namespace orvalt::simulation
