#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace orvalt::ros2 {

struct TopicInformation {
  std::string name;
  std::string type;
  std::string serialization_format;
  std::string offered_qos_profiles;  // YAML text; version 9's list is turned back into text
  std::string type_description_hash;
  std::uint64_t message_count = 0;
};

struct FileInformation {
  std::string path;
  std::int64_t starting_time = 0;  // ns since epoch
  std::int64_t duration = 0;       // ns
  std::uint64_t message_count = 0;
};

// The contents of a rosbag2 metadata.yaml, any version from 1 to 9.
struct BagMetadata {
  int version = 5;
  std::string storage_identifier;
  std::vector<std::string> relative_file_paths;
  std::int64_t starting_time = 0;  // ns since epoch
  std::int64_t duration = 0;       // ns
  std::uint64_t message_count = 0;
  std::vector<TopicInformation> topics_with_message_count;
  std::string compression_format;      // "" or "zstd"
  std::string compression_mode;        // as written: "", "FILE", "MESSAGE" (any case), "NONE"
  std::vector<FileInformation> files;  // version 5 and later
  std::map<std::string, std::string> custom_data;
  std::string ros_distro;
};

// Parses metadata YAML with or without the root key rosbag2_bagfile_information (storage files
// embed it without), in any key order, ignoring unknown keys. Throws std::runtime_error starting
// with `origin` when the text is not YAML or a known key has a value of the wrong kind.
BagMetadata parse_metadata(const std::string& yaml_text, const std::string& origin);

// Reads and parses `file`; throws common::FileNotFoundError when it does not exist.
BagMetadata read_metadata(const std::filesystem::path& file);

// metadata.yaml text in version 5, the layout ROS 2 Humble writes and Iron and Jazzy read. The
// version field of `metadata` is ignored; keys of later versions are left out.
std::string emit_metadata(const BagMetadata& metadata);

// Writes emit_metadata() to `file`; throws std::runtime_error naming it on a write error.
void write_metadata(const std::filesystem::path& file, const BagMetadata& metadata);

}  // namespace orvalt::ros2
