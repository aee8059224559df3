#include "orvalt/common/atomic_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace orvalt::common {
namespace {

namespace fs = std::filesystem;

// Closes the descriptor and removes the temporary file unless the rename has taken it over.
class TemporaryFile {
 public:
  explicit TemporaryFile(const fs::path& target) {
    static std::atomic<unsigned> counter{0};
    // O_EXCL makes the name ours; a leftover of a crashed writer only costs another try.
    for (int attempt = 0; attempt < 100 && descriptor_ < 0; ++attempt) {
      path_ = target.parent_path() /
              ("." + target.filename().string() + "." + std::to_string(::getpid()) + "." +
               std::to_string(counter++) + ".tmp");
      // 0666 so that the process umask decides, as for any other file we write.
      descriptor_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (descriptor_ < 0 && errno != EEXIST) break;
    }
    if (descriptor_ < 0) fail("cannot create a temporary file in its folder");
  }
  ~TemporaryFile() {
    if (descriptor_ >= 0) ::close(descriptor_);
    if (!renamed_) ::unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  void write(std::string_view content) {
    while (!content.empty()) {
      const ssize_t written = ::write(descriptor_, content.data(), content.size());
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) fail("write");
      content.remove_prefix(static_cast<std::size_t>(written));
    }
    // A full disk may only show here, when the delayed blocks are allocated.
    if (::fsync(descriptor_) != 0) fail("flush");
    const int descriptor = descriptor_;
    descriptor_ = -1;
    if (::close(descriptor) != 0) fail("close");
  }

  void rename_to(const fs::path& target) {
    if (::rename(path_.c_str(), target.c_str()) != 0) fail("rename");
    renamed_ = true;
  }

 private:
  [[noreturn]] static void fail(const char* step) {
    const int error = errno;
    throw std::runtime_error(std::string(step) + ": " + std::strerror(error));
  }

  fs::path path_;
  int descriptor_ = -1;
  bool renamed_ = false;
};

}  // namespace

void write_file_atomically(const fs::path& path, std::string_view content) {
  try {
    TemporaryFile file(path);
    file.write(content);
    file.rename_to(path);
  } catch (const std::runtime_error& error) {
    throw std::runtime_error("Failed to write " + path.string() + ": " + error.what());
  }
}

}  // namespace orvalt::common
