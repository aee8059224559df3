#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace orvalt::ros2 {

// A whole file mapped read-only into memory, so that readers take records straight from the
// page cache without copying them into buffers first. The bytes stay valid while the object
// lives. Throws common::FileNotFoundError for a missing file and std::runtime_error naming the
// file when it cannot be opened or mapped.
class MappedFile {
 public:
  explicit MappedFile(const std::filesystem::path& path);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  // Maps the pages of [offset, offset + size) in one call, reading them from disk if needed,
  // which costs far less than faulting them in one by one.
  void populate(std::size_t offset, std::size_t size) const;
  // Drops the pages of [offset, offset + size) from this process's resident memory, so that a
  // reader walking a large file keeps only what it still uses; the bytes stay valid and are
  // read again from the page cache when next touched.
  void release(std::size_t offset, std::size_t size) const;

 private:
  // madvise over the whole pages that hold [offset, offset + size) of the file.
  void advise(std::size_t offset, std::size_t size, int advice) const;

  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace orvalt::ros2
