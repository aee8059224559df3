#include "orvalt/ros2/crc32.hpp"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace orvalt::ros2 {
namespace {

// Bit at a time, straight from the polynomial: slow, but obviously right.
std::uint32_t bitwise_crc32(const std::uint8_t* data, std::size_t size) {
  std::uint32_t reg = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < size; ++i) {
    reg ^= data[i];
    for (int bit = 0; bit < 8; ++bit) reg = (reg & 1u) ? 0xEDB88320u ^ (reg >> 1) : reg >> 1;
  }
  return ~reg;
}

TEST(Crc32, MatchesTheStandardCheckValues) {
  EXPECT_EQ(crc32("", 0), 0u);
  EXPECT_EQ(crc32("123456789", 9), 0xCBF43926u);
  const std::string fox = "The quick brown fox jumps over the lazy dog";
  EXPECT_EQ(crc32(fox.data(), fox.size()), 0x414FA339u);
}

// Lengths around the block sizes of the fast path and unaligned starts, on random data.
TEST(Crc32, AgreesWithTheBitwiseDefinitionForAnyLengthAndAlignment) {
  std::mt19937 random(7);
  std::vector<std::uint8_t> data(5000);
  for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
  for (std::size_t size : {1, 15, 16, 17, 63, 64, 65, 127, 128, 129, 200, 1000, 4093}) {
    for (std::size_t start : {0, 1, 3, 8, 13}) {
      EXPECT_EQ(crc32(data.data() + start, size), bitwise_crc32(data.data() + start, size))
          << "size " << size << ", start " << start;
    }
  }
}

TEST(Crc32, ContinuesOverPieces) {
  std::vector<std::uint8_t> data(3000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 31 + 7);
  const std::uint32_t whole = crc32(data.data(), data.size());
  for (std::size_t cut : {0, 5, 64, 100, 2999, 3000}) {
    const std::uint32_t first = crc32(data.data(), cut);
    EXPECT_EQ(crc32(data.data() + cut, data.size() - cut, first), whole) << "cut at " << cut;
  }
}

}  // namespace
}  // namespace orvalt::ros2
