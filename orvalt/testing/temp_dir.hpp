#pragma once

#include <filesystem>
#include <string>

namespace orvalt::testing {

// A fresh, empty directory under the system's temporary folder, removed with everything in it
// when the object goes out of scope.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "orvalt_test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

}  // namespace orvalt::testing
