#include "orvalt/testing/fixtures.hpp"

#include <cstdlib>

namespace orvalt::testing {

std::optional<std::filesystem::path> real_bags_dir() {
  if (const char* from_env = std::getenv("ORVALT_REAL_BAGS")) {
    if (std::filesystem::is_directory(from_env)) return std::filesystem::path(from_env);
    return std::nullopt;
  }
  const auto beside_source =
      std::filesystem::path(ORVALT_SOURCE_DIR) / ".." / "shared" / "fixtures" / "real_bags";
  if (std::filesystem::is_directory(beside_source)) {
    return std::filesystem::weakly_canonical(beside_source);
  }
  return std::nullopt;
}

std::filesystem::path program_dir() {
  if (const char* from_env = std::getenv("ORVALT_BIN_DIR")) return from_env;
  return std::filesystem::path(ORVALT_BINARY_DIR) / "bin";
}

}  // namespace orvalt::testing
