#include "orvalt/simulation/random_streams.hpp"

namespace orvalt::simulation {

std::mt19937_64 random_stream(std::uint64_t seed, RandomStream stream, std::uint64_t index) {
  // std::seed_seq's mixing is fully specified by the standard, so the streams are the same
  // with every compiler and library.
  std::seed_seq sequence{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32),
                         static_cast<std::uint32_t>(stream), static_cast<std::uint32_t>(index),
                         static_cast<std::uint32_t>(index >> 32)};
  return std::mt19937_64(sequence);
}

}  // namespace orvalt::simulation
