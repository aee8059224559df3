#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace orvalt::ros2 {

// True when `data` begins with the magic number of a zstd frame. A CDR payload never does: its
// first byte is 0.
bool is_zstd_frame(const std::uint8_t* data, std::size_t size);

// Decompresses one or more concatenated zstd frames, with or without a content size in their
// headers. Throws std::runtime_error starting with `what` for corrupt or truncated input and for
// output larger than 1 GiB.
std::vector<std::uint8_t> zstd_decompress(const std::uint8_t* data, std::size_t size,
                                          const std::string& what);

// Stream-decompresses the zstd file `source` into a new file `target`, so that files of any
// size need no more memory than the codec's buffers. Throws std::runtime_error naming `source`
// (or `target` for a write error).
void zstd_decompress_file(const std::filesystem::path& source, const std::filesystem::path& target);

}  // namespace orvalt::ros2
