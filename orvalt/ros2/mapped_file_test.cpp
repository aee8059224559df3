#include "orvalt/ros2/mapped_file.hpp"

#include <algorithm>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "orvalt/ros2/bag_reader.hpp"
#include "orvalt/ros2/bag_writer.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::ros2 {
namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

// Bytes of file-backed pages this process holds resident (RssFile of /proc/self/status).
std::size_t resident_file_bytes() {
  std::ifstream status("/proc/self/status");
  std::string key;
  std::size_t kib = 0;
  while (status >> key) {
    if (key == "RssFile:") {
      status >> kib;
      return kib * 1024;
    }
    status.ignore(1 << 10, '\n');
  }
  return 0;
}

std::vector<std::uint8_t> random_bytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<std::uint32_t> words(size / sizeof(std::uint32_t));
  std::generate(words.begin(), words.end(), random);
  const auto* first = reinterpret_cast<const std::uint8_t*>(words.data());
  return {first, first + size};
}

TEST(MappedFileTest, ReleasedPagesLeaveResidentMemoryAndReadAgainUnchanged) {
  testing::TempDir dir;
  const auto bytes = random_bytes(64 * kMiB, 7);
  std::ofstream(dir / "data", std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  const MappedFile file(dir / "data");
  const std::size_t before = resident_file_bytes();
  file.populate(0, file.size());
  EXPECT_GE(resident_file_bytes(), before + 48 * kMiB);
  // An unaligned range: the pages around it go as a whole, which must not corrupt the rest.
  file.release(3, file.size() - 3);
  EXPECT_LT(resident_file_bytes(), before + 16 * kMiB);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), file.data()));
  file.release(file.size(), 10);  // past the end: nothing to drop
}

class BagReadingMemoryTest : public ::testing::TestWithParam<std::string> {};

// Robots record for minutes: what a pass over a bag keeps resident must not grow with it.
TEST_P(BagReadingMemoryTest, APassKeepsLittleOfTheBagResident) {
  testing::TempDir dir;
  constexpr int kMessages = 96;
  {
    BagWriter writer(dir / "bag", GetParam());
    const Connection& images = writer.add_connection("/camera", "sensor_msgs/msg/Image");
    for (int i = 0; i < kMessages; ++i) {
      writer.write(images, 1000 + i, random_bytes(kMiB, static_cast<unsigned>(i)));
    }
    writer.close();
  }
  BagReader reader(dir / "bag");
  const std::size_t before = resident_file_bytes();
  std::size_t peak = before;
  int count = 0;
  auto stream = reader.messages();
  while (auto message = stream.next()) {
    EXPECT_EQ(message->data, random_bytes(kMiB, static_cast<unsigned>(count))) << count;
    ++count;
    peak = std::max(peak, resident_file_bytes());
  }
  EXPECT_EQ(count, kMessages);
  EXPECT_LT(peak - before, 48 * kMiB) << "of a " << kMessages << " MiB bag";
}

INSTANTIATE_TEST_SUITE_P(Storages, BagReadingMemoryTest, ::testing::Values("sqlite3", "mcap"));

}  // namespace
}  // namespace orvalt::ros2
