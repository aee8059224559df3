// libFuzzer target: arbitrary text as metadata.yaml. Parsing must end normally or in a
// std::runtime_error; what parses must survive being written as version 5 and read again.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>

#include "orvalt/ros2/message_fuzz_support.hpp"
#include "orvalt/ros2/metadata.hpp"

namespace {

namespace fs = std::filesystem;
using orvalt::ros2::BagMetadata;
using orvalt::ros2::Bytes;
using orvalt::ros2::TopicInformation;
namespace fuzz = orvalt::ros2::fuzz;

std::vector<Bytes> seeds(const fs::path& fixtures) {
  std::vector<Bytes> seeds;
  if (!fixtures.empty() && fs::is_directory(fixtures)) {
    for (const auto& entry : fs::recursive_directory_iterator(fixtures)) {
      if (entry.path().filename() != "metadata.yaml") continue;
      std::ifstream in(entry.path(), std::ios::binary);
      seeds.emplace_back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
  }
  BagMetadata metadata;
  metadata.storage_identifier = "sqlite3";
  metadata.relative_file_paths = {"bag_0.db3"};
  metadata.topics_with_message_count = {{"/tf", "tf2_msgs/msg/TFMessage", "cdr", "", "", 1}};
  metadata.files = {{"bag_0.db3", 1, 2, 1}};
  const std::string text = orvalt::ros2::emit_metadata(metadata);
  seeds.emplace_back(text.begin(), text.end());
  return seeds;
}

bool same_topics(const std::vector<TopicInformation>& a, const std::vector<TopicInformation>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].name != b[i].name || a[i].type != b[i].type ||
        a[i].serialization_format != b[i].serialization_format ||
        a[i].offered_qos_profiles != b[i].offered_qos_profiles ||
        a[i].message_count != b[i].message_count) {
      return false;
    }
  }
  return true;
}

// YAML text is Unicode: bytes that are not UTF-8 cannot be written back as they came. Valid
// input can still parse to such bytes (yaml-cpp decodes "\N" to a lone 0x85).
bool is_utf8(const std::string& text) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(text.data());
  for (std::size_t i = 0; i < text.size();) {
    const std::uint8_t lead = data[i];
    const std::size_t length = lead < 0x80           ? 1
                               : (lead >> 5) == 0x6  ? 2
                               : (lead >> 4) == 0xE  ? 3
                               : (lead >> 3) == 0x1E ? 4
                                                     : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((data[i + k] >> 6) != 0x2) return false;
    }
    i += length;
  }
  return true;
}

bool all_utf8(const BagMetadata& metadata) {
  std::vector<std::string> texts = {metadata.storage_identifier, metadata.compression_format,
                                    metadata.compression_mode};
  texts.insert(texts.end(), metadata.relative_file_paths.begin(),
               metadata.relative_file_paths.end());
  for (const auto& topic : metadata.topics_with_message_count) {
    texts.insert(texts.end(),
                 {topic.name, topic.type, topic.serialization_format, topic.offered_qos_profiles});
  }
  for (const auto& file : metadata.files) texts.push_back(file.path);
  for (const auto& text : texts) {
    if (!is_utf8(text)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzz::write_seeds_if_asked(*argc, *argv, seeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  BagMetadata parsed;
  try {
    parsed = orvalt::ros2::parse_metadata(std::string(reinterpret_cast<const char*>(data), size),
                                          "fuzz");
  } catch (const std::runtime_error&) {
    return 0;
  }
  if (!all_utf8(parsed)) return 0;
  const std::string written = orvalt::ros2::emit_metadata(parsed);
  try {
    const BagMetadata again = orvalt::ros2::parse_metadata(written, "written");
    if (again.storage_identifier == parsed.storage_identifier &&
        again.relative_file_paths == parsed.relative_file_paths &&
        again.message_count == parsed.message_count &&
        again.starting_time == parsed.starting_time && again.duration == parsed.duration &&
        again.compression_mode == parsed.compression_mode &&
        same_topics(again.topics_with_message_count, parsed.topics_with_message_count)) {
      return 0;
    }
    std::cerr << "written metadata reads back differently:\n" << written << "\n";
  } catch (const std::runtime_error& error) {
    std::cerr << "written metadata does not parse: " << error.what() << "\n" << written << "\n";
  }
  std::abort();
}
