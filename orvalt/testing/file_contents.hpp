#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace orvalt::testing {

// The whole content of a file, byte for byte; empty when it cannot be read.
std::string read_text(const std::filesystem::path& path);
std::vector<std::uint8_t> read_bytes(const std::filesystem::path& path);

}  // namespace orvalt::testing
