#include "orvalt/ros2/mapped_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include "orvalt/common/file_not_found_error.hpp"

namespace orvalt::ros2 {
namespace {

[[noreturn]] void fail(const std::filesystem::path& path, const std::string& doing) {
  throw std::runtime_error("Cannot " + doing + " '" + path.string() + "': " + std::strerror(errno));
}

}  // namespace

MappedFile::MappedFile(const std::filesystem::path& path) {
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) {
    if (errno == ENOENT) {
      throw common::FileNotFoundError("File does not exist: '" + path.string() + "'");
    }
    fail(path, "open");
  }
  struct stat status {};
  if (::fstat(descriptor, &status) != 0) {
    ::close(descriptor);
    fail(path, "read the size of");
  }
  if (!S_ISREG(status.st_mode)) {
    ::close(descriptor);
    throw std::runtime_error("Not a regular file: '" + path.string() + "'");
  }
  size_ = static_cast<std::size_t>(status.st_size);
  if (size_ > 0) {
    void* mapping = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, descriptor, 0);
    if (mapping == MAP_FAILED) {
      ::close(descriptor);
      fail(path, "map");
    }
    data_ = static_cast<const std::uint8_t*>(mapping);
  }
  // The mapping keeps the file referenced.
  ::close(descriptor);
}

MappedFile::~MappedFile() {
  if (data_ != nullptr) ::munmap(const_cast<std::uint8_t*>(data_), size_);
}

void MappedFile::populate(std::size_t offset, std::size_t size) const {
#ifdef MADV_POPULATE_READ
  // Older kernels refuse the advice; the pages then fault in as they are read.
  advise(offset, size, MADV_POPULATE_READ);
#endif
}

void MappedFile::release(std::size_t offset, std::size_t size) const {
  // The mapping is read-only and never written, so dropping pages loses nothing, even pages a
  // neighbouring range still reads.
  advise(offset, size, MADV_DONTNEED);
}

void MappedFile::advise(std::size_t offset, std::size_t size, int advice) const {
  if (data_ == nullptr || offset >= size_) return;
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t start = offset / page * page;
  const std::size_t end = offset + std::min(size, size_ - offset);
  ::madvise(const_cast<std::uint8_t*>(data_) + start, end - start, advice);
}

}  // namespace orvalt::ros2
