#pragma once

#include <filesystem>
#include <string_view>

namespace orvalt::common {

// Writes `content` to `path` so that the file is either whole or as it was before: the text
// goes to a fresh temporary file in the same folder, is flushed to the disk and checked, and
// only then renamed over `path`. Throws std::runtime_error "Failed to write <path>: <reason>"
// (disk full, folder missing or not writable), leaving no temporary file behind.
void write_file_atomically(const std::filesystem::path& path, std::string_view content);

}  // namespace orvalt::common
