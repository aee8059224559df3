// libFuzzer target for header_stamp. The first byte picks a type name: one of our types (the
// stamp must then agree with a full decode), a standard stamped or unstamped type, or an
// unknown type whose schema text comes from the input (length byte, text, then the payload).
#include <algorithm>
#include <cstdint>
#include <stdexcept>

#include "orvalt/ros2/header_stamp.hpp"
#include "orvalt/ros2/message_fuzz_support.hpp"

namespace {

using orvalt::ros2::Bytes;
namespace fuzz = orvalt::ros2::fuzz;

const std::vector<std::string>& other_types() {
  static const std::vector<std::string> types = {
      "geometry_msgs/msg/PoseStamped", "sensor_msgs/msg/CompressedImage", "sensor_msgs/JointState",
      "std_msgs/msg/String", "rcl_interfaces/msg/Log"};
  return types;
}

// Selector of an unknown type whose schema text is part of the input.
std::uint8_t schema_selector() {
  return static_cast<std::uint8_t>(fuzz::message_types().size() + other_types().size());
}

Bytes with_schema(const std::string& schema, const Bytes& payload) {
  Bytes seed = {schema_selector(), static_cast<std::uint8_t>(schema.size())};
  seed.insert(seed.end(), schema.begin(), schema.end());
  seed.insert(seed.end(), payload.begin(), payload.end());
  return seed;
}

std::vector<Bytes> seeds(const std::filesystem::path& fixtures) {
  std::vector<Bytes> seeds;
  const auto& types = fuzz::message_types();
  for (std::size_t i = 0; i < types.size(); ++i) {
    Bytes seed = {static_cast<std::uint8_t>(i)};
    seed.insert(seed.end(), types[i].samples.front().begin(), types[i].samples.front().end());
    seeds.push_back(seed);
  }
  const Bytes header = types[*fuzz::type_index("std_msgs/msg/Header")].samples.front();
  for (std::size_t i = 0; i < other_types().size(); ++i) {
    Bytes seed = {static_cast<std::uint8_t>(types.size() + i)};
    seed.insert(seed.end(), header.begin(), header.end());
    seeds.push_back(seed);
  }
  seeds.push_back(with_schema("# stamped\nuint8 A=1\nstd_msgs/Header header\nint32 x\n", header));
  seeds.push_back(with_schema("builtin_interfaces/Time stamp\n", header));
  for (const auto& recorded : fuzz::recorded_payloads(fixtures, 2, 4096)) {
    if (const auto index = fuzz::type_index(recorded.type_name)) {
      Bytes seed = {static_cast<std::uint8_t>(*index)};
      seed.insert(seed.end(), recorded.payload.begin(), recorded.payload.end());
      seeds.push_back(seed);
    } else if (!recorded.schema_text.empty()) {
      seeds.push_back(with_schema(recorded.schema_text.substr(0, 255), recorded.payload));
    }
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
  const std::size_t selector = data[0] % (schema_selector() + 1u);
  try {
    if (selector < types.size()) {
      const Bytes payload(data + 1, data + size);
      bool stamp_failed = false;
      std::optional<std::int64_t> stamp;
      try {
        stamp = orvalt::ros2::header_stamp(types[selector].name, payload);
      } catch (const std::runtime_error&) {
        stamp_failed = true;
      }
      std::optional<std::int64_t> decoded;
      try {
        decoded = types[selector].decode_and_check(payload);
      } catch (const std::runtime_error&) {
        return 0;  // the header may be intact while the rest is not
      }
      if (stamp_failed || stamp != decoded) {
        std::cerr << "header_stamp disagrees with decoding " << types[selector].name << "\n";
        std::abort();
      }
    } else if (selector < schema_selector()) {
      orvalt::ros2::header_stamp(other_types()[selector - types.size()],
                                 Bytes(data + 1, data + size));
    } else if (size >= 2) {
      const std::size_t schema_size = std::min<std::size_t>(data[1], size - 2);
      const std::string schema(reinterpret_cast<const char*>(data + 2), schema_size);
      const Bytes payload(data + 2 + schema_size, data + size);
      orvalt::ros2::header_stamp("fuzz_msgs/msg/Unknown", payload, schema);
    }
  } catch (const std::runtime_error&) {
  }
  return 0;
}
