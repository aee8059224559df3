#include "orvalt/testing/fixtures.hpp"

#include <cstdlib>

namespace orvalt::testing {

namespace {

std::optional<std::filesystem::path> fixture_dir(const char* variable, const char* name) {
  if (const char* from_env = std::getenv(variable)) {
    if (std::filesystem::is_directory(from_env)) return std::filesystem::path(from_env);
    return std::nullopt;
  }
  const auto beside_source =
      std::filesystem::path(ORVALT_SOURCE_DIR) / ".." / "shared" / "fixtures" / name;
  if (std::filesystem::is_directory(beside_source)) {
    return std::filesystem::weakly_canonical(beside_source);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::filesystem::path> real_bags_dir() {
  return fixture_dir("ORVALT_REAL_BAGS", "real_bags");
}

std::optional<std::filesystem::path> real_images_dir() {
  return fixture_dir("ORVALT_REAL_IMAGES", "real_images");
}

std::filesystem::path program_dir() {
  if (const char* from_env = std::getenv("ORVALT_BIN_DIR")) return from_env;
  return std::filesystem::path(ORVALT_BINARY_DIR) / "bin";
}

}  // namespace orvalt::testing
