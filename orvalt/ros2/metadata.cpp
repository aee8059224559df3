#include "orvalt/ros2/metadata.hpp"

#include <yaml-cpp/yaml.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "orvalt/common/file_not_found_error.hpp"

namespace orvalt::ros2 {
namespace {

constexpr const char* kRootKey = "rosbag2_bagfile_information";

// Reads the known keys, naming the origin and the key path in every error.
class MetadataParser {
 public:
  explicit MetadataParser(std::string origin) : origin_(std::move(origin)) {}

  BagMetadata parse(const YAML::Node& document) const {
    const YAML::Node root = document.IsMap() && document[kRootKey] ? document[kRootKey] : document;
    if (!root.IsMap()) fail(kRootKey, "is not a mapping");

    BagMetadata metadata;
    metadata.version = value<int>(root, "version", "version", -1);
    if (metadata.version < 1) fail("version", "is missing or not a positive integer");
    metadata.storage_identifier = text(root, "storage_identifier", "storage_identifier");
    metadata.relative_file_paths = texts(root, "relative_file_paths");
    metadata.starting_time = nested<std::int64_t>(root, "starting_time", "nanoseconds_since_epoch");
    metadata.duration = nested<std::int64_t>(root, "duration", "nanoseconds");
    metadata.message_count = value<std::uint64_t>(root, "message_count", "message_count", 0);
    metadata.compression_format = text(root, "compression_format", "compression_format");
    metadata.compression_mode = text(root, "compression_mode", "compression_mode");
    metadata.ros_distro = text(root, "ros_distro", "ros_distro");

    for (const YAML::Node& entry : sequence(root, "topics_with_message_count")) {
      const std::string where = "topics_with_message_count[]";
      const YAML::Node topic = entry.IsMap() ? entry["topic_metadata"] : YAML::Node();
      if (!topic || !topic.IsMap()) fail(where + ".topic_metadata", "is not a mapping");
      TopicInformation info;
      info.name = text(topic, "name", where + ".name");
      info.type = text(topic, "type", where + ".type");
      info.serialization_format =
          text(topic, "serialization_format", where + ".serialization_format");
      // Up to version 8 the profiles are YAML text inside a string; version 9 writes the list
      // itself. Both end up as the text a storage file would hold.
      info.offered_qos_profiles = scalar_text(topic["offered_qos_profiles"]);
      info.type_description_hash =
          text(topic, "type_description_hash", where + ".type_description_hash");
      info.message_count = value<std::uint64_t>(entry, "message_count", where, 0);
      metadata.topics_with_message_count.push_back(std::move(info));
    }
    for (const YAML::Node& entry : sequence(root, "files")) {
      if (!entry.IsMap()) fail("files[]", "is not a mapping");
      FileInformation file;
      file.path = text(entry, "path", "files[].path");
      file.starting_time = nested<std::int64_t>(entry, "starting_time", "nanoseconds_since_epoch");
      file.duration = nested<std::int64_t>(entry, "duration", "nanoseconds");
      file.message_count = value<std::uint64_t>(entry, "message_count", "files[]", 0);
      metadata.files.push_back(std::move(file));
    }
    const YAML::Node custom = root["custom_data"];
    if (custom && custom.IsMap()) {
      for (const auto& item : custom) {
        metadata.custom_data[item.first.as<std::string>()] = scalar_text(item.second);
      }
    }
    return metadata;
  }

 private:
  [[noreturn]] void fail(const std::string& key, const std::string& problem) const {
    throw std::runtime_error(origin_ + ": '" + key + "' " + problem);
  }

  template <typename T>
  T value(const YAML::Node& map, const char* key, const std::string& where, T fallback) const {
    const YAML::Node node = map[key];
    if (!node || node.IsNull()) return fallback;
    if (!node.IsScalar()) fail(where, "is not a number");
    try {
      return node.as<T>();
    } catch (const YAML::Exception&) {
      fail(where, "is not a number: " + node.Scalar());
    }
  }

  template <typename T>
  T nested(const YAML::Node& map, const char* outer, const char* inner) const {
    const YAML::Node node = map[outer];
    if (!node || node.IsNull()) return 0;
    if (!node.IsMap()) fail(outer, "is not a mapping");
    return value<T>(node, inner, std::string(outer) + "." + inner, T{0});
  }

  std::string scalar_text(const YAML::Node& node) const {
    if (!node || node.IsNull()) return "";
    if (!node.IsScalar()) {
      YAML::Emitter out;
      out << node;
      return out.c_str();
    }
    return node.Scalar();
  }

  std::string text(const YAML::Node& map, const char* key, const std::string& where) const {
    const YAML::Node node = map[key];
    if (!node || node.IsNull()) return "";
    if (!node.IsScalar()) fail(where, "is not a string");
    return node.Scalar();
  }

  std::vector<YAML::Node> sequence(const YAML::Node& map, const char* key) const {
    const YAML::Node node = map[key];
    std::vector<YAML::Node> items;
    if (!node || node.IsNull()) return items;
    if (!node.IsSequence()) fail(key, "is not a list");
    for (const YAML::Node& item : node) items.push_back(item);
    return items;
  }

  std::vector<std::string> texts(const YAML::Node& map, const char* key) const {
    std::vector<std::string> result;
    for (const YAML::Node& item : sequence(map, key)) {
      if (!item.IsScalar()) fail(std::string(key) + "[]", "is not a string");
      result.push_back(item.Scalar());
    }
    return result;
  }

  std::string origin_;
};

void emit_time(YAML::Emitter& out, const char* key, const char* unit, std::int64_t value) {
  out << YAML::Key << key << YAML::Value << YAML::BeginMap << YAML::Key << unit << YAML::Value
      << value << YAML::EndMap;
}

}  // namespace

BagMetadata parse_metadata(const std::string& yaml_text, const std::string& origin) {
  YAML::Node document;
  try {
    document = YAML::Load(yaml_text);
  } catch (const YAML::Exception& error) {
    throw std::runtime_error(origin + ": not valid YAML: " + error.what());
  }
  try {
    return MetadataParser(origin).parse(document);
  } catch (const YAML::Exception& error) {
    throw std::runtime_error(origin + ": " + error.what());
  }
}

BagMetadata read_metadata(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    if (!std::filesystem::exists(file)) {
      throw common::FileNotFoundError("Bag metadata does not exist: " + file.string());
    }
    throw std::runtime_error("Cannot read " + file.string());
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw std::runtime_error("Cannot read " + file.string());
  return parse_metadata(text.str(), file.string());
}

std::string emit_metadata(const BagMetadata& metadata) {
  YAML::Emitter out;
  out << YAML::BeginMap << YAML::Key << kRootKey << YAML::Value << YAML::BeginMap;
  out << YAML::Key << "version" << YAML::Value << 5;
  out << YAML::Key << "storage_identifier" << YAML::Value << metadata.storage_identifier;
  emit_time(out, "duration", "nanoseconds", metadata.duration);
  emit_time(out, "starting_time", "nanoseconds_since_epoch", metadata.starting_time);
  out << YAML::Key << "message_count" << YAML::Value << metadata.message_count;
  out << YAML::Key << "topics_with_message_count" << YAML::Value << YAML::BeginSeq;
  for (const TopicInformation& topic : metadata.topics_with_message_count) {
    out << YAML::BeginMap << YAML::Key << "topic_metadata" << YAML::Value << YAML::BeginMap;
    out << YAML::Key << "name" << YAML::Value << topic.name;
    out << YAML::Key << "type" << YAML::Value << topic.type;
    out << YAML::Key << "serialization_format" << YAML::Value << topic.serialization_format;
    out << YAML::Key << "offered_qos_profiles" << YAML::Value << YAML::DoubleQuoted
        << topic.offered_qos_profiles;
    out << YAML::EndMap;
    out << YAML::Key << "message_count" << YAML::Value << topic.message_count << YAML::EndMap;
  }
  out << YAML::EndSeq;
  out << YAML::Key << "compression_format" << YAML::Value << YAML::DoubleQuoted
      << metadata.compression_format;
  out << YAML::Key << "compression_mode" << YAML::Value << YAML::DoubleQuoted
      << metadata.compression_mode;
  out << YAML::Key << "relative_file_paths" << YAML::Value << YAML::BeginSeq;
  for (const std::string& path : metadata.relative_file_paths) out << path;
  out << YAML::EndSeq;
  out << YAML::Key << "files" << YAML::Value << YAML::BeginSeq;
  for (const FileInformation& file : metadata.files) {
    out << YAML::BeginMap << YAML::Key << "path" << YAML::Value << file.path;
    emit_time(out, "starting_time", "nanoseconds_since_epoch", file.starting_time);
    emit_time(out, "duration", "nanoseconds", file.duration);
    out << YAML::Key << "message_count" << YAML::Value << file.message_count << YAML::EndMap;
  }
  out << YAML::EndSeq;
  out << YAML::EndMap << YAML::EndMap;
  return std::string(out.c_str()) + "\n";
}

void write_metadata(const std::filesystem::path& file, const BagMetadata& metadata) {
  const std::string text = emit_metadata(metadata);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) throw std::runtime_error("Cannot write " + file.string());
}

}  // namespace orvalt::ros2
