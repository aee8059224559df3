// libFuzzer target: arbitrary bytes as a .db3 file, opened as a bag and read to the end. Each
// step must end normally or in a std::runtime_error naming the file; anything else (a crash,
// another exception, a hang, a leak) is a finding.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "orvalt/ros2/bag_reader.hpp"
#include "orvalt/ros2/bag_writer.hpp"
#include "orvalt/ros2/message_fuzz_support.hpp"

namespace {

namespace fs = std::filesystem;
using orvalt::ros2::Bytes;
namespace fuzz = orvalt::ros2::fuzz;

const fs::path& scratch_folder() {
  static const fs::path folder = [] {
    const fs::path shm = "/dev/shm";
    const fs::path base = fs::is_directory(shm) ? shm : fs::temp_directory_path();
    const fs::path path = base / ("orvalt_sqlite3_bag_fuzz_" + std::to_string(::getpid()));
    fs::create_directories(path);
    return path;
  }();
  static const bool cleaned_at_exit = [] {
    return std::atexit([] {
             std::error_code ignored;
             fs::remove_all(scratch_folder(), ignored);
           }) == 0;
  }();
  (void)cleaned_at_exit;
  return folder;
}

Bytes file_bytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The fixture databases small enough to mutate quickly, and a bag of our own writer with
// plain and zstd-framed payloads.
std::vector<Bytes> seeds(const fs::path& fixtures) {
  std::vector<Bytes> seeds;
  if (!fixtures.empty() && fs::is_directory(fixtures)) {
    for (const auto& entry : fs::recursive_directory_iterator(fixtures)) {
      if (entry.is_regular_file() && entry.path().extension() == ".db3" &&
          entry.file_size() <= 128 * 1024) {
        seeds.push_back(file_bytes(entry.path()));
      }
    }
  }
  const fs::path bag = scratch_folder() / "seed_bag";
  fs::remove_all(bag);
  {
    orvalt::ros2::BagWriter writer(bag);
    const auto& tf = writer.add_connection("/tf", "tf2_msgs/msg/TFMessage", "- history: 1");
    const auto& image = writer.add_connection("/image", "sensor_msgs/msg/Image");
    writer.write(tf, 5, {0, 1, 0, 0, 0, 0, 0, 0});
    writer.write(image, 3,
                 {0x28, 0xB5, 0x2F, 0xFD, 0x20, 0x04, 0x21, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00});
    writer.write(tf, 3, {});
  }
  seeds.push_back(file_bytes(bag / "seed_bag_0.db3"));
  fs::remove_all(bag);
  return seeds;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzz::write_seeds_if_asked(*argc, *argv, seeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fs::path file = scratch_folder() / "input.db3";
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  try {
    orvalt::ros2::BagReader reader(file);
    auto stream = reader.messages();
    while (stream.next()) {
    }
    if (!reader.connections().empty()) {
      auto filtered = reader.messages({&reader.connections().back()});
      while (filtered.next()) {
      }
    }
  } catch (const std::runtime_error&) {
  }
  return 0;
}
