#pragma once

#include <cstddef>

namespace orvalt::ros2 {

// The name of an SQLite VFS (registered on the first call) that reads databases opened
// read-only from a memory mapping of the file, as SQLite's own memory-mapped I/O does, but
// drops the mapped pages from the process's resident memory after every
// `kMappedVfsResidentBytes` read: reading a bag of any size then needs no more memory than a
// small one. Every other file and operation goes to the default VFS.
const char* mapped_read_vfs();

constexpr std::size_t kMappedVfsResidentBytes = std::size_t{32} << 20;

}  // namespace orvalt::ros2
