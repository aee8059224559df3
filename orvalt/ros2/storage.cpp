#include "orvalt/ros2/storage.hpp"

#include <stdexcept>

namespace orvalt::ros2 {
namespace {

void check_storage_identifier(const std::string& storage_identifier) {
  if (storage_identifier != "sqlite3" && storage_identifier != "mcap") {
    throw std::invalid_argument("Unknown storage id '" + storage_identifier +
                                "' (known: sqlite3, mcap)");
  }
}

}  // namespace

std::unique_ptr<StorageReader> open_storage_reader(const std::filesystem::path& file,
                                                   const std::string& storage_identifier) {
  check_storage_identifier(storage_identifier);
  return storage_identifier == "sqlite3" ? open_sqlite3_reader(file) : open_mcap_reader(file);
}

std::unique_ptr<StorageWriter> create_storage_writer(const std::filesystem::path& file,
                                                     const std::string& storage_identifier) {
  check_storage_identifier(storage_identifier);
  return storage_identifier == "sqlite3" ? create_sqlite3_writer(file) : create_mcap_writer(file);
}

std::string storage_file_extension(const std::string& storage_identifier) {
  check_storage_identifier(storage_identifier);
  return storage_identifier == "sqlite3" ? ".db3" : ".mcap";
}

}  // namespace orvalt::ros2
