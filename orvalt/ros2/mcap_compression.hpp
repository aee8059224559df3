#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

struct ZSTD_CCtx_s;
struct ZSTD_DCtx_s;
struct LZ4F_dctx_s;

// Compression of MCAP chunk records: "zstd" (zstd frames), "lz4" (LZ4 frame format) or "" (none).
namespace orvalt::ros2::mcap {

enum class Compression { kNone, kZstd, kLz4 };

// The name a Chunk record carries: "", "zstd" or "lz4".
std::string_view compression_name(Compression compression);

// Holds the codec states so that a file's chunks reuse them.
class ChunkDecompressor {
 public:
  ChunkDecompressor();
  ~ChunkDecompressor();
  ChunkDecompressor(const ChunkDecompressor&) = delete;
  ChunkDecompressor& operator=(const ChunkDecompressor&) = delete;

  // Decompresses `size` bytes compressed with `compression` ("zstd" or "lz4") into the first
  // `uncompressed_size` bytes of `out`, which grows when it is smaller and never shrinks, so a
  // reused buffer costs no allocation. Before allocating, the claimed size is checked against
  // what the compressed bytes can produce (zstd block headers, LZ4's largest ratio), so a
  // corrupt size cannot make it allocate more than the input justifies. Throws
  // McapFormatError for an unknown compression, corrupt data or a size other than claimed.
  void decompress(std::string_view compression, const std::uint8_t* data, std::size_t size,
                  std::uint64_t uncompressed_size, std::vector<std::uint8_t>& out);

 private:
  void decompress_zstd(const std::uint8_t* data, std::size_t size, std::size_t uncompressed_size,
                       std::vector<std::uint8_t>& out);
  void decompress_lz4(const std::uint8_t* data, std::size_t size, std::size_t uncompressed_size,
                      std::vector<std::uint8_t>& out);

  ZSTD_DCtx_s* zstd_ = nullptr;
  LZ4F_dctx_s* lz4_ = nullptr;
};

class ChunkCompressor {
 public:
  explicit ChunkCompressor(Compression compression);
  ~ChunkCompressor();
  ChunkCompressor(const ChunkCompressor&) = delete;
  ChunkCompressor& operator=(const ChunkCompressor&) = delete;

  Compression compression() const { return compression_; }
  // Compresses data into the front of `out` (grown as needed, never shrunk) and returns the
  // compressed size. Not for Compression::kNone, whose records are written as they are.
  std::size_t compress(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out);

 private:
  Compression compression_;
  ZSTD_CCtx_s* zstd_ = nullptr;
};

}  // namespace orvalt::ros2::mcap
