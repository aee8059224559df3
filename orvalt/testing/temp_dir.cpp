#include "orvalt/testing/temp_dir.hpp"

#include <unistd.h>

#include <atomic>
#include <stdexcept>

namespace orvalt::testing {

TempDir::TempDir(const std::string& prefix) {
  static std::atomic<int> counter{0};
  const auto base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 1000; ++attempt) {
    auto candidate =
        base / (prefix + "_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
    if (std::filesystem::create_directory(candidate)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("Cannot create a temporary directory under " + base.string());
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace orvalt::testing
