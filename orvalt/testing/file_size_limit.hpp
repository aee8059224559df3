#pragma once

#include <sys/resource.h>

namespace orvalt::testing {

// While it lives, files this process writes may grow to `bytes` only, as on a nearly full
// disk: a write beyond fails with EFBIG (SIGXFSZ is ignored meanwhile). Works for root too,
// where a read-only folder would not stop a write.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes);
  ~FileSizeLimit();
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  void (*saved_handler_)(int) = nullptr;
};

}  // namespace orvalt::testing
