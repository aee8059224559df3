// libFuzzer target: the first byte picks a message type, the rest is its CDR payload. Decoding
// must succeed or throw std::runtime_error; a decoded message must re-encode stably.
#include <cstdint>
#include <stdexcept>

#include "orvalt/ros2/message_fuzz_support.hpp"

namespace {

using orvalt::ros2::Bytes;
namespace fuzz = orvalt::ros2::fuzz;

std::vector<Bytes> seeds(const std::filesystem::path& fixtures) {
  std::vector<Bytes> seeds;
  const auto& types = fuzz::message_types();
  for (std::size_t i = 0; i < types.size(); ++i) {
    for (const auto& sample : types[i].samples) {
      Bytes seed = {static_cast<std::uint8_t>(i)};
      seed.insert(seed.end(), sample.begin(), sample.end());
      seeds.push_back(seed);
    }
  }
  for (const auto& recorded : fuzz::recorded_payloads(fixtures, 3, 16384)) {
    const auto index = fuzz::type_index(recorded.type_name);
    if (!index) continue;
    Bytes seed = {static_cast<std::uint8_t>(*index)};
    seed.insert(seed.end(), recorded.payload.begin(), recorded.payload.end());
    seeds.push_back(seed);
  }
  return seeds;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzz::write_seeds_if_asked(*argc, *argv, seeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const auto& types = fuzz::message_types();
  const Bytes payload(data + 1, data + size);
  try {
    types[data[0] % types.size()].decode_and_check(payload);
  } catch (const std::runtime_error&) {
  }
  return 0;
}
