#include "orvalt/ros2/sqlite3_mapped_vfs.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "orvalt/ros2/mapped_file.hpp"

namespace orvalt::ros2 {
namespace {

// What SQLite allocates per open file: our part first, then the default VFS's file.
struct MappedVfsFile {
  sqlite3_file base;  // must come first: SQLite sees this
  std::unique_ptr<MappedFile> mapping;
  std::size_t read_since_release = 0;

  sqlite3_file* real() { return reinterpret_cast<sqlite3_file*>(this + 1); }
};

sqlite3_vfs* default_vfs() { return sqlite3_vfs_find(nullptr); }

MappedVfsFile& self(sqlite3_file* file) { return *reinterpret_cast<MappedVfsFile*>(file); }

// Counts what was read and, every kMappedVfsResidentBytes, drops the mapped pages.
void note_read(MappedVfsFile& mapped, std::size_t bytes) {
  mapped.read_since_release += bytes;
  if (mapped.read_since_release >= kMappedVfsResidentBytes) {
    mapped.mapping->release(0, mapped.mapping->size());
    mapped.read_since_release = 0;
  }
}

int read(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
  MappedVfsFile& mapped = self(file);
  if (!mapped.mapping) return mapped.real()->pMethods->xRead(mapped.real(), buffer, amount, offset);
  const MappedFile& mapping = *mapped.mapping;
  const auto start = static_cast<std::size_t>(offset);
  const auto wanted = static_cast<std::size_t>(amount);
  const std::size_t available =
      start < mapping.size() ? std::min(wanted, mapping.size() - start) : 0;
  if (available > 0) std::memcpy(buffer, mapping.data() + start, available);
  note_read(mapped, available);
  if (available == wanted) return SQLITE_OK;
  // As the default VFS: a read past the end fills with zeros and says so.
  std::memset(static_cast<char*>(buffer) + available, 0, wanted - available);
  return SQLITE_IOERR_SHORT_READ;
}

// Pages handed out in place; a page dropped while SQLite holds it is read again on its next
// access, since the mapping is never written.
int fetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** page) {
  MappedVfsFile& mapped = self(file);
  *page = nullptr;
  if (!mapped.mapping) return SQLITE_OK;
  const auto start = static_cast<std::size_t>(offset);
  const auto wanted = static_cast<std::size_t>(amount);
  if (start > mapped.mapping->size() || wanted > mapped.mapping->size() - start) return SQLITE_OK;
  *page = const_cast<std::uint8_t*>(mapped.mapping->data()) + start;
  note_read(mapped, wanted);
  return SQLITE_OK;
}

int unfetch(sqlite3_file*, sqlite3_int64, void*) { return SQLITE_OK; }

int close(sqlite3_file* file) {
  MappedVfsFile& mapped = self(file);
  const int result = mapped.real()->pMethods->xClose(mapped.real());
  mapped.~MappedVfsFile();
  return result;
}

// Forwards one io method to the default VFS's file.
template <auto Method, typename... Args>
int forward(sqlite3_file* file, Args... args) {
  sqlite3_file* real = self(file).real();
  return (real->pMethods->*Method)(real, args...);
}

template <auto Method, typename Result, typename... Args>
Result forward_as(sqlite3_file* file, Args... args) {
  sqlite3_file* real = self(file).real();
  return (real->pMethods->*Method)(real, args...);
}

// Shared memory is forwarded (WAL files read through it); reads and fetches come from our
// mapping.
const sqlite3_io_methods kMethods = {
    3,
    close,
    read,
    forward<&sqlite3_io_methods::xWrite, const void*, int, sqlite3_int64>,
    forward<&sqlite3_io_methods::xTruncate, sqlite3_int64>,
    forward<&sqlite3_io_methods::xSync, int>,
    forward<&sqlite3_io_methods::xFileSize, sqlite3_int64*>,
    forward<&sqlite3_io_methods::xLock, int>,
    forward<&sqlite3_io_methods::xUnlock, int>,
    forward<&sqlite3_io_methods::xCheckReservedLock, int*>,
    forward<&sqlite3_io_methods::xFileControl, int, void*>,
    forward<&sqlite3_io_methods::xSectorSize>,
    forward<&sqlite3_io_methods::xDeviceCharacteristics>,
    forward<&sqlite3_io_methods::xShmMap, int, int, int, void volatile**>,
    forward<&sqlite3_io_methods::xShmLock, int, int, int>,
    forward_as<&sqlite3_io_methods::xShmBarrier, void>,
    forward<&sqlite3_io_methods::xShmUnmap, int>,
    fetch,
    unfetch,
};

int open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* out_flags) {
  auto* mapped = new (file) MappedVfsFile{};
  mapped->base.pMethods = nullptr;
  const int result = default_vfs()->xOpen(default_vfs(), name, mapped->real(), flags, out_flags);
  if (result != SQLITE_OK) {
    mapped->~MappedVfsFile();
    return result;
  }
  if (name != nullptr && (flags & SQLITE_OPEN_MAIN_DB) && (flags & SQLITE_OPEN_READONLY)) {
    try {
      mapped->mapping = std::make_unique<MappedFile>(name);
    } catch (...) {
      // Without a mapping the file is read as the default VFS reads it.
    }
  }
  mapped->base.pMethods = &kMethods;
  return SQLITE_OK;
}

// Our VFS lends the default VFS's functions; they are called with the default VFS itself,
// since some of them read its private data.
sqlite3_vfs make_vfs() {
  sqlite3_vfs vfs{};
  vfs.iVersion = 2;
  vfs.szOsFile = static_cast<int>(sizeof(MappedVfsFile)) + default_vfs()->szOsFile;
  vfs.mxPathname = default_vfs()->mxPathname;
  vfs.zName = "orvalt_mapped_read";
  vfs.xOpen = open;
  vfs.xDelete = [](sqlite3_vfs*, const char* name, int sync) {
    return default_vfs()->xDelete(default_vfs(), name, sync);
  };
  vfs.xAccess = [](sqlite3_vfs*, const char* name, int flags, int* result) {
    return default_vfs()->xAccess(default_vfs(), name, flags, result);
  };
  vfs.xFullPathname = [](sqlite3_vfs*, const char* name, int size, char* out) {
    return default_vfs()->xFullPathname(default_vfs(), name, size, out);
  };
  vfs.xDlOpen = [](sqlite3_vfs*, const char* name) {
    return default_vfs()->xDlOpen(default_vfs(), name);
  };
  vfs.xDlError = [](sqlite3_vfs*, int size, char* out) {
    default_vfs()->xDlError(default_vfs(), size, out);
  };
  vfs.xDlSym = [](sqlite3_vfs*, void* handle, const char* symbol) {
    return default_vfs()->xDlSym(default_vfs(), handle, symbol);
  };
  vfs.xDlClose = [](sqlite3_vfs*, void* handle) { default_vfs()->xDlClose(default_vfs(), handle); };
  vfs.xRandomness = [](sqlite3_vfs*, int size, char* out) {
    return default_vfs()->xRandomness(default_vfs(), size, out);
  };
  vfs.xSleep = [](sqlite3_vfs*, int microseconds) {
    return default_vfs()->xSleep(default_vfs(), microseconds);
  };
  vfs.xCurrentTime = [](sqlite3_vfs*, double* now) {
    return default_vfs()->xCurrentTime(default_vfs(), now);
  };
  vfs.xGetLastError = [](sqlite3_vfs*, int size, char* out) {
    return default_vfs()->xGetLastError(default_vfs(), size, out);
  };
  vfs.xCurrentTimeInt64 = [](sqlite3_vfs*, sqlite3_int64* now) {
    return default_vfs()->xCurrentTimeInt64(default_vfs(), now);
  };
  return vfs;
}

const char* register_vfs() {
  // SQLite keeps the pointer: the VFS lives as long as the program.
  static sqlite3_vfs vfs = make_vfs();
  sqlite3_vfs_register(&vfs, 0);
  return vfs.zName;
}

}  // namespace

const char* mapped_read_vfs() {
  static const char* const name = register_vfs();
  return name;
}

}  // namespace orvalt::ros2
