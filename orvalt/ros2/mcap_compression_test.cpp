#include "orvalt/ros2/mcap_compression.hpp"

#include <numeric>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvalt/ros2/mcap_records.hpp"

namespace orvalt::ros2::mcap {
namespace {

using ::testing::HasSubstr;
using Bytes = std::vector<std::uint8_t>;

Bytes sample(std::size_t size) {
  Bytes data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>((i / 7) ^ (i % 13));
  return data;
}

Bytes compressed(Compression compression, const Bytes& data) {
  ChunkCompressor compressor(compression);
  Bytes out;
  out.resize(compressor.compress(data.data(), data.size(), out));
  return out;
}

class ChunkCompression : public ::testing::TestWithParam<Compression> {};

TEST_P(ChunkCompression, RoundTripsAndReusesItsBuffer) {
  ChunkDecompressor decompressor;
  Bytes out;
  for (std::size_t size : {0, 1, 1000, 300000, 20}) {
    const Bytes data = sample(size);
    const Bytes packed = compressed(GetParam(), data);
    decompressor.decompress(compression_name(GetParam()), packed.data(), packed.size(), size, out);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(size)), data);
  }
  EXPECT_GE(out.size(), 300000u);  // kept its largest size
}

TEST_P(ChunkCompression, ASizeOtherThanTheDataHoldsIsAnError) {
  ChunkDecompressor decompressor;
  const Bytes data = sample(5000);
  const Bytes packed = compressed(GetParam(), data);
  Bytes out;
  EXPECT_THROW(decompressor.decompress(compression_name(GetParam()), packed.data(), packed.size(),
                                       4999, out),
               McapFormatError);
  EXPECT_THROW(decompressor.decompress(compression_name(GetParam()), packed.data(), packed.size(),
                                       5001, out),
               McapFormatError);
  // The context recovers for the next chunk.
  decompressor.decompress(compression_name(GetParam()), packed.data(), packed.size(), 5000, out);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 5000), data);
}

// A corrupt size field must not turn into a huge allocation.
TEST_P(ChunkCompression, AClaimTheDataCannotJustifyFailsBeforeAllocating) {
  ChunkDecompressor decompressor;
  const Bytes packed = compressed(GetParam(), sample(100));
  Bytes out;
  try {
    decompressor.decompress(compression_name(GetParam()), packed.data(), packed.size(),
                            std::uint64_t{3} << 30, out);
    FAIL() << "no error";
  } catch (const McapFormatError& error) {
    EXPECT_THAT(error.what(), HasSubstr("3221225472"));
  }
  EXPECT_LT(out.capacity(), 1u << 20);
}

TEST_P(ChunkCompression, TruncatedOrDamagedDataFailsCleanly) {
  ChunkDecompressor decompressor;
  const Bytes data = sample(20000);
  const Bytes packed = compressed(GetParam(), data);
  Bytes out;
  for (std::size_t size = 0; size < packed.size(); size += 1 + size / 4) {
    EXPECT_THROW(decompressor.decompress(compression_name(GetParam()), packed.data(), size,
                                         data.size(), out),
                 McapFormatError)
        << "cut at " << size;
  }
  Bytes damaged = packed;
  damaged[2] ^= 0xFF;  // inside the frame header
  EXPECT_THROW(decompressor.decompress(compression_name(GetParam()), damaged.data(), damaged.size(),
                                       data.size(), out),
               McapFormatError);
}

INSTANTIATE_TEST_SUITE_P(Codecs, ChunkCompression,
                         ::testing::Values(Compression::kZstd, Compression::kLz4),
                         [](const auto& info) {
                           return std::string(compression_name(info.param));
                         });

TEST(ChunkDecompressor, RejectsUnknownCompression) {
  ChunkDecompressor decompressor;
  Bytes out;
  const Bytes data = sample(10);
  try {
    decompressor.decompress("brotli", data.data(), data.size(), 10, out);
    FAIL() << "no error";
  } catch (const McapFormatError& error) {
    EXPECT_THAT(error.what(), HasSubstr("brotli"));
  }
}

}  // namespace
}  // namespace orvalt::ros2::mcap
