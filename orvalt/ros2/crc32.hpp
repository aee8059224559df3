#pragma once

#include <cstddef>
#include <cstdint>

namespace orvalt::ros2 {

// CRC-32 with the zlib polynomial (reflected 0xEDB88320, preset and final inversion), the
// checksum MCAP files carry. Continue over data given in pieces by passing the previous result
// as `crc`; start from 0. crc32("123456789") == 0xCBF43926.
std::uint32_t crc32(const void* data, std::size_t size, std::uint32_t crc = 0);

}  // namespace orvalt::ros2
