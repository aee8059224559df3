#include "orvalt/ros2/mcap_compression.hpp"

#include <lz4frame.h>
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_decompressBound
#include <zstd.h>

#include <new>
#include <string>

#include "orvalt/ros2/mcap_records.hpp"

namespace orvalt::ros2::mcap {
namespace {

// An LZ4 sequence codes at most 255 more output bytes per input byte; the constant covers the
// frame and block headers of tiny inputs.
constexpr std::uint64_t kLz4MaxRatio = 255;
constexpr std::uint64_t kLz4Slack = 1 << 16;
// Far above any real chunk (rosbag2 writes 1 MiB ones; a single huge message fills one), and low
// enough that a corrupt size cannot exhaust memory.
constexpr std::uint64_t kMaxChunkSize = std::uint64_t{4} << 30;
// Fast enough for recording; zstd's own default (3) costs about twice the time.
constexpr int kZstdLevel = 1;

void grow(std::vector<std::uint8_t>& out, std::size_t size) {
  if (out.size() < size) out.resize(size);
}

[[noreturn]] void fail(const std::string& text) { throw McapFormatError(text); }

}  // namespace

std::string_view compression_name(Compression compression) {
  switch (compression) {
    case Compression::kZstd:
      return "zstd";
    case Compression::kLz4:
      return "lz4";
    case Compression::kNone:
      break;
  }
  return "";
}

ChunkDecompressor::ChunkDecompressor() = default;

ChunkDecompressor::~ChunkDecompressor() {
  if (zstd_ != nullptr) ZSTD_freeDCtx(zstd_);
  if (lz4_ != nullptr) LZ4F_freeDecompressionContext(lz4_);
}

void ChunkDecompressor::decompress(std::string_view compression, const std::uint8_t* data,
                                   std::size_t size, std::uint64_t uncompressed_size,
                                   std::vector<std::uint8_t>& out) {
  if (uncompressed_size > kMaxChunkSize) {
    fail("chunk claims " + std::to_string(uncompressed_size) +
         " bytes uncompressed, more than the " + std::to_string(kMaxChunkSize) +
         " a chunk may hold");
  }
  const auto claimed = static_cast<std::size_t>(uncompressed_size);
  if (compression == "zstd") {
    decompress_zstd(data, size, claimed, out);
  } else if (compression == "lz4") {
    decompress_lz4(data, size, claimed, out);
  } else {
    fail("unknown chunk compression '" + std::string(compression) + "'");
  }
}

void ChunkDecompressor::decompress_zstd(const std::uint8_t* data, std::size_t size,
                                        std::size_t uncompressed_size,
                                        std::vector<std::uint8_t>& out) {
  const unsigned long long content_size = ZSTD_getFrameContentSize(data, size);
  if (content_size == ZSTD_CONTENTSIZE_ERROR) fail("zstd chunk data is not a zstd frame");
  if (content_size != ZSTD_CONTENTSIZE_UNKNOWN && content_size > uncompressed_size) {
    fail("zstd chunk data holds " + std::to_string(content_size) + " bytes, the chunk claims " +
         std::to_string(uncompressed_size));
  }
  const unsigned long long bound = ZSTD_decompressBound(data, size);
  if (bound == ZSTD_CONTENTSIZE_ERROR) fail("zstd chunk data is corrupt or truncated");
  if (bound < uncompressed_size) {
    fail("chunk claims " + std::to_string(uncompressed_size) +
         " bytes uncompressed, its zstd data can hold at most " + std::to_string(bound));
  }
  if (zstd_ == nullptr) {
    zstd_ = ZSTD_createDCtx();
    if (zstd_ == nullptr) throw std::bad_alloc();
  }
  grow(out, uncompressed_size);
  const std::size_t result = ZSTD_decompressDCtx(zstd_, out.data(), uncompressed_size, data, size);
  if (ZSTD_isError(result)) {
    fail(std::string("zstd chunk data is corrupt: ") + ZSTD_getErrorName(result));
  }
  if (result != uncompressed_size) {
    fail("zstd chunk data holds " + std::to_string(result) + " bytes, the chunk claims " +
         std::to_string(uncompressed_size));
  }
}

void ChunkDecompressor::decompress_lz4(const std::uint8_t* data, std::size_t size,
                                       std::size_t uncompressed_size,
                                       std::vector<std::uint8_t>& out) {
  if (uncompressed_size > size * kLz4MaxRatio + kLz4Slack) {
    fail("chunk claims " + std::to_string(uncompressed_size) + " bytes uncompressed, its " +
         std::to_string(size) + " bytes of lz4 data cannot hold that many");
  }
  if (lz4_ == nullptr) {
    if (LZ4F_isError(LZ4F_createDecompressionContext(&lz4_, LZ4F_VERSION))) {
      throw std::bad_alloc();
    }
  }
  grow(out, uncompressed_size);
  std::size_t produced = 0;
  std::size_t consumed = 0;
  std::size_t expecting = 0;  // LZ4F_decompress's hint: 0 once a frame is complete
  while (consumed < size) {
    std::size_t out_size = uncompressed_size - produced;
    std::size_t in_size = size - consumed;
    expecting =
        LZ4F_decompress(lz4_, out.data() + produced, &out_size, data + consumed, &in_size, nullptr);
    if (LZ4F_isError(expecting)) {
      LZ4F_resetDecompressionContext(lz4_);
      fail(std::string("lz4 chunk data is corrupt: ") + LZ4F_getErrorName(expecting));
    }
    produced += out_size;
    consumed += in_size;
    if (out_size == 0 && in_size == 0) {
      LZ4F_resetDecompressionContext(lz4_);
      fail("lz4 chunk data holds more than the " + std::to_string(uncompressed_size) +
           " bytes the chunk claims");
    }
  }
  if (expecting != 0) {
    LZ4F_resetDecompressionContext(lz4_);
    fail("lz4 chunk data is truncated");
  }
  if (produced != uncompressed_size) {
    fail("lz4 chunk data holds " + std::to_string(produced) + " bytes, the chunk claims " +
         std::to_string(uncompressed_size));
  }
}

ChunkCompressor::ChunkCompressor(Compression compression) : compression_(compression) {
  if (compression_ == Compression::kZstd) {
    zstd_ = ZSTD_createCCtx();
    if (zstd_ == nullptr) throw std::bad_alloc();
    ZSTD_CCtx_setParameter(zstd_, ZSTD_c_compressionLevel, kZstdLevel);
  }
}

ChunkCompressor::~ChunkCompressor() {
  if (zstd_ != nullptr) ZSTD_freeCCtx(zstd_);
}

std::size_t ChunkCompressor::compress(const std::uint8_t* data, std::size_t size,
                                      std::vector<std::uint8_t>& out) {
  if (compression_ == Compression::kZstd) {
    grow(out, ZSTD_compressBound(size));
    const std::size_t result = ZSTD_compress2(zstd_, out.data(), out.size(), data, size);
    if (ZSTD_isError(result)) fail(std::string("zstd compression: ") + ZSTD_getErrorName(result));
    return result;
  }
  if (compression_ == Compression::kLz4) {
    LZ4F_preferences_t preferences{};
    preferences.frameInfo.contentSize = size;
    grow(out, LZ4F_compressFrameBound(size, &preferences));
    const std::size_t result = LZ4F_compressFrame(out.data(), out.size(), data, size, &preferences);
    if (LZ4F_isError(result)) fail(std::string("lz4 compression: ") + LZ4F_getErrorName(result));
    return result;
  }
  fail("chunks without compression are not compressed");
}

}  // namespace orvalt::ros2::mcap
