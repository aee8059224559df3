#include "orvalt/ros2/bag_writer.hpp"

#include <deque>
#include <limits>
#include <stdexcept>

#include "orvalt/common/logger.hpp"
#include "orvalt/ros2/messages.hpp"
#include "orvalt/ros2/metadata.hpp"
#include "orvalt/ros2/storage.hpp"
#include "orvalt/ros2/time_span.hpp"

namespace orvalt::ros2 {
namespace {

namespace fs = std::filesystem;

struct Span {
  std::int64_t first = std::numeric_limits<std::int64_t>::max();
  std::int64_t last = std::numeric_limits<std::int64_t>::min();
  void add(std::int64_t timestamp) {
    first = std::min(first, timestamp);
    last = std::max(last, timestamp);
  }
  std::int64_t start() const { return first <= last ? first : 0; }
  std::int64_t duration() const { return first <= last ? last - first : 0; }
};

}  // namespace

struct BagWriter::Impl {
  fs::path directory;
  std::string storage;
  std::string file_name;
  std::unique_ptr<StorageWriter> writer;
  std::deque<Connection> connections;  // references handed out stay valid
  std::vector<std::uint64_t> counts;
  std::uint64_t message_count = 0;
  Span span;
  bool closed = false;

  void check_open() const {
    if (closed) throw std::runtime_error("Bag " + directory.string() + " is closed");
  }

  BagMetadata metadata() const {
    BagMetadata metadata;
    metadata.storage_identifier = storage;
    metadata.relative_file_paths = {file_name};
    metadata.starting_time = span.start();
    metadata.duration = span.duration();
    metadata.message_count = message_count;
    for (const Connection& connection : connections) {
      TopicInformation topic;
      topic.name = connection.topic;
      topic.type = connection.msgtype;
      topic.serialization_format = connection.serialization_format;
      topic.offered_qos_profiles = connection.offered_qos_profiles;
      topic.message_count = counts[connection.id];
      metadata.topics_with_message_count.push_back(std::move(topic));
    }
    metadata.files.push_back({file_name, span.start(), span.duration(), message_count});
    return metadata;
  }
};

BagWriter::BagWriter(const std::filesystem::path& directory, const std::string& storage)
    : impl_(std::make_unique<Impl>()) {
  const std::string extension = storage_file_extension(storage);
  fs::path bag = directory.lexically_normal();
  if (bag.filename().empty()) bag = bag.parent_path();
  if (bag.empty() || bag.filename() == "." || bag.filename() == "..") {
    throw std::invalid_argument("Not a bag directory name: " + directory.string());
  }
  if (fs::exists(bag)) {
    throw std::runtime_error("Cannot create bag " + bag.string() + ": it exists already");
  }
  std::error_code error;
  fs::create_directories(bag, error);
  if (error) {
    throw std::runtime_error("Cannot create bag " + bag.string() + ": " + error.message());
  }
  impl_->directory = bag;
  impl_->storage = storage;
  // rosbag2's own naming: the folder name, the split index, the storage's extension.
  impl_->file_name = bag.filename().string() + "_0" + extension;
  try {
    impl_->writer = create_storage_writer(bag / impl_->file_name, storage);
  } catch (...) {
    fs::remove_all(bag, error);
    throw;
  }
}

BagWriter::~BagWriter() {
  try {
    close();
  } catch (const std::exception& error) {
    common::logger("orvalt.ros2.bag_writer")
        ->error("Closing bag {} failed: {}", impl_->directory.string(), error.what());
  }
}

const Connection& BagWriter::add_connection(const std::string& topic, const std::string& msgtype,
                                            const std::string& offered_qos_profiles,
                                            const std::string& message_definition) {
  impl_->check_open();
  for (const Connection& known : impl_->connections) {
    if (known.topic != topic) continue;
    if (known.msgtype != msgtype) {
      throw std::invalid_argument("Topic " + topic + " is already in bag " +
                                  impl_->directory.string() + " with type " + known.msgtype);
    }
    return known;
  }
  Connection connection;
  connection.id = static_cast<int>(impl_->connections.size());
  connection.topic = topic;
  connection.msgtype = msgtype;
  connection.offered_qos_profiles = offered_qos_profiles;
  if (impl_->storage == "mcap") {
    // sqlite3 schema 3 has no place for definitions; MCAP schemas need one.
    connection.message_definition =
        message_definition.empty() ? ros2::message_definition(msgtype) : message_definition;
    if (!connection.message_definition.empty()) connection.message_definition_encoding = "ros2msg";
  }
  impl_->writer->add_connection(connection);
  impl_->connections.push_back(std::move(connection));
  impl_->counts.push_back(0);
  return impl_->connections.back();
}

void BagWriter::write(const Connection& connection, std::int64_t timestamp,
                      const std::vector<std::uint8_t>& data) {
  impl_->check_open();
  if (connection.id < 0 || connection.id >= static_cast<int>(impl_->connections.size()) ||
      impl_->connections[connection.id].topic != connection.topic) {
    throw std::invalid_argument("Connection " + connection.topic + " is not one of bag " +
                                impl_->directory.string());
  }
  Span widened = impl_->span;
  widened.add(timestamp);
  // Refused before writing, so the metadata's duration can always be stated.
  time_span(widened.first, widened.last, impl_->directory.string());
  impl_->writer->write(connection.id, timestamp, data);
  ++impl_->counts[connection.id];
  ++impl_->message_count;
  impl_->span = widened;
}

void BagWriter::close() {
  if (impl_->closed) return;
  impl_->closed = true;
  impl_->writer->close();
  write_metadata(impl_->directory / "metadata.yaml", impl_->metadata());
}

}  // namespace orvalt::ros2
