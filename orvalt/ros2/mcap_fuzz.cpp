// libFuzzer target: arbitrary bytes as an MCAP file. Opening, counting, the metadata and a
// full read must each end normally or in a std::runtime_error; anything else is a finding.
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "orvalt/ros2/mcap_reader.hpp"

namespace {

// The reader maps files, so each input goes through one; memory-backed where there is a tmpfs.
const std::filesystem::path& input_file() {
  static const std::filesystem::path path = [] {
    const std::filesystem::path shm = "/dev/shm";
    const auto folder =
        std::filesystem::is_directory(shm) ? shm : std::filesystem::temp_directory_path();
    return folder / ("orvalt_mcap_fuzz_" + std::to_string(::getpid()) + ".mcap");
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  {
    std::ofstream out(input_file(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  try {
    orvalt::ros2::McapReader reader(input_file());
    reader.message_counts();
    reader.time_range();
    reader.embedded_metadata();
    orvalt::ros2::StorageMessage message;
    while (reader.next(message)) {
    }
    if (!reader.connections().empty()) {
      reader.set_filter({0});
      while (reader.next(message)) {
      }
    }
  } catch (const std::runtime_error&) {
  }
  return 0;
}
