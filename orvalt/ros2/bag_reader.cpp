#include "orvalt/ros2/bag_reader.hpp"

#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <numeric>
#include <stdexcept>
#include <utility>

#include "orvalt/common/file_not_found_error.hpp"
#include "orvalt/common/logger.hpp"
#include "orvalt/common/strings.hpp"
#include "orvalt/ros2/compression.hpp"
#include "orvalt/ros2/metadata.hpp"
#include "orvalt/ros2/storage.hpp"
#include "orvalt/ros2/time_span.hpp"

namespace orvalt::ros2 {
namespace {

namespace fs = std::filesystem;

auto log() { return common::logger("orvalt.ros2.bag_reader"); }

using common::ends_with;
using common::upper;

// Natural order: runs of digits compare as numbers, so "bag_10.db3" follows "bag_9.db3".
bool natural_less(const std::string& a, const std::string& b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (std::isdigit(static_cast<unsigned char>(a[i])) &&
        std::isdigit(static_cast<unsigned char>(b[j]))) {
      std::size_t end_a = i;
      std::size_t end_b = j;
      while (end_a < a.size() && std::isdigit(static_cast<unsigned char>(a[end_a]))) ++end_a;
      while (end_b < b.size() && std::isdigit(static_cast<unsigned char>(b[end_b]))) ++end_b;
      std::string number_a = a.substr(i, end_a - i);
      std::string number_b = b.substr(j, end_b - j);
      number_a.erase(0, std::min(number_a.find_first_not_of('0'), number_a.size()));
      number_b.erase(0, std::min(number_b.find_first_not_of('0'), number_b.size()));
      if (number_a.size() != number_b.size()) return number_a.size() < number_b.size();
      if (number_a != number_b) return number_a < number_b;
      i = end_a;
      j = end_b;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
  return a < b;
}

// A storage file recognised by its name: *.db3, *.mcap, each optionally compressed as *.zstd.
struct StorageKind {
  std::string storage_identifier;
  bool compressed = false;
};

std::optional<StorageKind> storage_kind(const fs::path& file) {
  std::string name = file.filename().string();
  const bool compressed = ends_with(name, ".zstd");
  if (compressed) name.resize(name.size() - 5);
  if (ends_with(name, ".db3")) return StorageKind{"sqlite3", compressed};
  if (ends_with(name, ".mcap")) return StorageKind{"mcap", compressed};
  return std::nullopt;
}

// Where decompressed copies of FILE-mode storage files live while the bag is open.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "orvalt_bag_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("Cannot create a temporary directory under " +
                               fs::temp_directory_path().string());
    }
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Whether `file` (absolute and normal) lies inside `directory` (absolute and normal).
bool inside(const fs::path& file, const fs::path& directory) {
  const fs::path relative = file.lexically_normal().lexically_relative(directory);
  return !relative.empty() && *relative.begin() != ".." && relative != ".";
}

// rosbag2's rules: before version 4 the listed paths start with the bag folder's own name;
// Foxy's compression writer kept that prefix in version 4 files, so the bare name is tried too.
// Only files inside the bag folder are read: a metadata.yaml must not make a tool read (or a
// reindex copy) some other file on the machine.
fs::path resolve_listed_file(const fs::path& directory, const std::string& listed, int version,
                             const fs::path& metadata_file) {
  const fs::path path(listed);
  const fs::path normal = path.lexically_normal();
  if (path.is_absolute() || path.has_root_name() || (!normal.empty() && *normal.begin() == "..")) {
    throw std::runtime_error(metadata_file.string() + ": storage file path '" + listed +
                             "' leaves the bag folder; only paths inside it are read");
  }
  std::vector<fs::path> candidates;
  if (version < 4) candidates.push_back(directory.parent_path() / path);
  candidates.push_back(directory / path);
  candidates.push_back(directory / path.filename());
  for (const fs::path& candidate : candidates) {
    if (inside(candidate, directory) && fs::is_regular_file(candidate)) return candidate;
  }
  throw common::FileNotFoundError("Bag file " + listed + " listed in " + metadata_file.string() +
                                  " does not exist");
}

enum class MessageCompression { kNone, kZstd, kDetect };

struct StorageFile {
  fs::path path;      // as the bag holds it
  fs::path readable;  // the decompressed copy of a compressed file, else `path`
  std::string storage_identifier;
  bool compressed = false;
  std::vector<int> connection_ids;  // file-local connection -> BagReader connection id
  bool damaged = false;             // reading it stops at damage found on opening
};

// Runs `action`, naming the user's file in errors that arise in a decompressed copy.
template <typename Action>
auto naming_file(const StorageFile& file, Action&& action) {
  if (!file.compressed) return action();
  try {
    return action();
  } catch (const std::exception& error) {
    throw std::runtime_error(file.path.string() + " (decompressed): " + error.what());
  }
}

// What one storage file holds, per file-local connection.
struct FileSummary {
  std::vector<std::uint64_t> counts;
  std::optional<TimeRange> range;
  std::optional<std::string> damage;  // the error that ended a pass over a damaged file
};

// A pass over the file's messages, ending early at the first error.
FileSummary read_through(StorageReader& reader) {
  FileSummary summary;
  summary.counts.assign(reader.connections().size(), 0);
  StorageMessage message;
  try {
    while (reader.next(message)) {
      ++summary.counts.at(static_cast<std::size_t>(message.connection));
      if (!summary.range) summary.range = TimeRange{message.timestamp, message.timestamp};
      summary.range->first = std::min(summary.range->first, message.timestamp);
      summary.range->last = std::max(summary.range->last, message.timestamp);
    }
  } catch (const std::runtime_error& error) {
    summary.damage = error.what();
  }
  return summary;
}

std::uint64_t total(const std::vector<std::uint64_t>& counts) {
  return std::accumulate(counts.begin(), counts.end(), std::uint64_t{0});
}

double seconds(std::int64_t nanoseconds) { return static_cast<double>(nanoseconds) * 1e-9; }

}  // namespace

struct BagReader::Impl {
  BagInfo info;
  std::vector<Connection> connections;
  std::vector<StorageFile> files;
  MessageCompression message_compression = MessageCompression::kNone;
  std::vector<TopicInformation> metadata_topics;
  std::unique_ptr<ScratchDir> scratch;
  bool closed = false;

  void find_files_from_metadata(const fs::path& directory, const fs::path& metadata_file);
  void find_files_in(const fs::path& directory);
  void use_bare_file(const fs::path& file);
  void load_files();
  FileSummary summarise(StorageFile& file, std::unique_ptr<StorageReader>& reader) const;
  void warn_of_missing_data() const;
  int connection_id(const Connection& connection);
  std::unique_ptr<StorageReader> open(const StorageFile& file) const;
};

void BagReader::Impl::find_files_from_metadata(const fs::path& directory,
                                               const fs::path& metadata_file) {
  const BagMetadata metadata = read_metadata(metadata_file);
  info.has_metadata = true;
  info.metadata_version = metadata.version;
  info.storage_identifier = metadata.storage_identifier;
  if (info.storage_identifier != "sqlite3" && info.storage_identifier != "mcap") {
    throw std::runtime_error(metadata_file.string() + ": unknown storage id '" +
                             metadata.storage_identifier + "' (known: sqlite3, mcap)");
  }
  const std::string mode = upper(metadata.compression_mode);
  const bool compressed = !mode.empty() && mode != "NONE";
  if (compressed) {
    if (upper(metadata.compression_format) != "ZSTD") {
      throw std::runtime_error(metadata_file.string() + ": unsupported compression format '" +
                               metadata.compression_format + "' (known: zstd)");
    }
    if (mode != "FILE" && mode != "MESSAGE") {
      throw std::runtime_error(metadata_file.string() + ": unknown compression mode '" +
                               metadata.compression_mode + "' (known: FILE, MESSAGE)");
    }
    info.compression_format = "zstd";
    info.compression_mode = mode;
    if (mode == "MESSAGE") message_compression = MessageCompression::kZstd;
  }

  std::vector<std::string> listed = metadata.relative_file_paths;
  if (listed.empty()) {
    for (const FileInformation& file : metadata.files) listed.push_back(file.path);
  }
  if (listed.empty()) {
    throw std::runtime_error(metadata_file.string() + " lists no storage files");
  }
  // A file listed twice would yield each of its messages twice.
  std::set<fs::path> seen;
  for (const std::string& name : listed) {
    StorageFile file;
    file.path = resolve_listed_file(directory, name, metadata.version, metadata_file);
    if (!seen.insert(fs::canonical(file.path)).second) {
      throw std::runtime_error(metadata_file.string() + " lists storage file " +
                               file.path.string() + " more than once");
    }
    file.storage_identifier = info.storage_identifier;
    file.compressed = compressed && mode == "FILE";
    files.push_back(std::move(file));
  }
  metadata_topics = metadata.topics_with_message_count;
  info.listed_message_count = metadata.message_count;
  info.listed_duration = metadata.duration;
}

// A recording cut off before metadata.yaml was written: its storage files, as a reindex would
// find them.
void BagReader::Impl::find_files_in(const fs::path& directory) {
  std::vector<std::pair<fs::path, StorageKind>> found;
  for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
    if (!entry.is_regular_file()) continue;
    if (const auto kind = storage_kind(entry.path())) found.emplace_back(entry.path(), *kind);
  }
  if (found.empty()) {
    throw common::FileNotFoundError(directory.string() +
                                    " has no metadata.yaml and no storage files (*.db3, *.mcap, "
                                    "*.db3.zstd, *.mcap.zstd)");
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
    return natural_less(a.first.filename().string(), b.first.filename().string());
  });
  info.storage_identifier = found.front().second.storage_identifier;
  for (const auto& [path, kind] : found) {
    if (kind.storage_identifier != info.storage_identifier) {
      throw std::runtime_error(directory.string() +
                               " has no metadata.yaml and holds files of two storages (sqlite3 "
                               "and mcap); open one storage file directly");
    }
    StorageFile file;
    file.path = path;
    file.storage_identifier = kind.storage_identifier;
    file.compressed = kind.compressed;
    files.push_back(std::move(file));
  }
  message_compression = MessageCompression::kDetect;
}

void BagReader::Impl::use_bare_file(const fs::path& path) {
  const auto kind = storage_kind(path);
  if (!kind) {
    throw std::runtime_error(path.string() +
                             " is not a bag storage file (*.db3, *.mcap, *.db3.zstd or "
                             "*.mcap.zstd) nor a bag directory");
  }
  info.storage_identifier = kind->storage_identifier;
  StorageFile file;
  file.path = path;
  file.storage_identifier = kind->storage_identifier;
  file.compressed = kind->compressed;
  files.push_back(std::move(file));
  message_compression = MessageCompression::kDetect;
}

std::unique_ptr<StorageReader> BagReader::Impl::open(const StorageFile& file) const {
  return naming_file(file,
                     [&] { return open_storage_reader(file.readable, file.storage_identifier); });
}

// Connections are one per (topic, type) across all files: ids differ between split files, and
// an MCAP file may offer one topic on several channels.
int BagReader::Impl::connection_id(const Connection& connection) {
  for (const Connection& known : connections) {
    if (known.topic == connection.topic && known.msgtype == connection.msgtype) return known.id;
  }
  Connection added = connection;
  added.id = static_cast<int>(connections.size());
  for (const TopicInformation& topic : metadata_topics) {
    if (topic.name != added.topic || topic.type != added.msgtype) continue;
    if (added.offered_qos_profiles.empty()) added.offered_qos_profiles = topic.offered_qos_profiles;
    if (added.type_description_hash.empty()) {
      added.type_description_hash = topic.type_description_hash;
    }
  }
  connections.push_back(std::move(added));
  info.message_counts.push_back(0);
  return connections.back().id;
}

// Counts and times from the plugin where it can give them, else from a pass over the data. A
// damaged file (cut off while recording, say) counts the messages before the damage, which is
// where every later pass over it stops too.
FileSummary BagReader::Impl::summarise(StorageFile& file,
                                       std::unique_ptr<StorageReader>& reader) const {
  FileSummary summary;
  try {
    summary.counts = reader->message_counts();
    summary.range = reader->time_range();
    // Without a range the plugin cannot tell without reading; one pass over this file does.
    if (!summary.range && total(summary.counts) > 0) summary = read_through(*reader);
  } catch (const std::runtime_error& error) {
    reader = open(file);
    summary = read_through(*reader);
    summary.damage = error.what();
  }
  if (summary.damage) {
    file.damaged = true;
    log()->warn("{} is damaged; reading the {} messages before the damage ({})",
                       file.path.string(), total(summary.counts), *summary.damage);
  }
  return summary;
}

void BagReader::Impl::load_files() {
  std::optional<TimeRange> range;
  for (std::size_t index = 0; index < files.size(); ++index) {
    StorageFile& file = files[index];
    file.readable = file.path;
    if (file.compressed) {
      if (!scratch) scratch = std::make_unique<ScratchDir>();
      std::string name = file.path.filename().string();
      name.resize(name.size() - (ends_with(name, ".zstd") ? 5 : 0));
      file.readable = scratch->path() / (std::to_string(index) + "_" + name);
      zstd_decompress_file(file.path, file.readable);
    }
    auto reader = open(file);
    const FileSummary summary = summarise(file, reader);
    for (std::size_t local = 0; local < reader->connections().size(); ++local) {
      const int id = connection_id(reader->connections()[local]);
      file.connection_ids.push_back(id);
      if (local < summary.counts.size()) info.message_counts[id] += summary.counts[local];
    }
    info.message_count += total(summary.counts);
    const std::uint64_t orphaned =
        file.damaged ? 0 : naming_file(file, [&] { return reader->orphaned_message_count(); });
    if (orphaned > 0) {
      log()->warn("{}: skipping {} messages whose topic id is not in its topics table",
                         file.path.string(), orphaned);
    }

    if (const auto& file_range = summary.range) {
      time_span(file_range->first, file_range->last, file.path.string());
      if (!range) range = file_range;
      range->first = std::min(range->first, file_range->first);
      range->last = std::max(range->last, file_range->last);
    }

    if (!info.has_metadata && info.compression_mode.empty()) {
      if (file.compressed) {
        info.compression_format = "zstd";
        info.compression_mode = "FILE";
      } else {
        try {
          if (const auto embedded =
                  naming_file(file, [&] { return reader->embedded_metadata(); })) {
            const BagMetadata metadata = parse_metadata(*embedded, file.path.string());
            if (upper(metadata.compression_mode) == "MESSAGE") {
              info.compression_format = "zstd";
              info.compression_mode = "MESSAGE";
            }
          }
        } catch (const std::runtime_error& error) {
          log()->debug("Ignoring the metadata stored in {}: {}", file.path.string(), error.what());
        }
      }
    }
    info.files.push_back(fs::absolute(file.path).lexically_normal());
  }
  if (range) {
    info.starting_time = range->first;
    info.duration = time_span(range->first, range->last, info.path.string());
  }
  warn_of_missing_data();
}

// A recording that lost its end (power cut, full disk, a partial copy) still reads; what a
// calibration is then based on must be plain from the log.
void BagReader::Impl::warn_of_missing_data() const {
  if (info.message_count >= info.listed_message_count && info.duration >= info.listed_duration) {
    return;
  }
  log()->warn(
      "{}: only {} of the {} messages and {:.3f} of the {:.3f} seconds that metadata.yaml lists "
      "can be read; the recording was cut off or is damaged",
      info.path.string(), info.message_count, info.listed_message_count, seconds(info.duration),
      seconds(info.listed_duration));
}

BagReader::BagReader(const std::filesystem::path& path) : impl_(std::make_unique<Impl>()) {
  if (!fs::exists(path)) {
    throw common::FileNotFoundError("Bag does not exist: " + path.string());
  }
  fs::path bag = path;
  if (fs::is_regular_file(path) && path.filename() == "metadata.yaml") {
    bag = path.parent_path().empty() ? fs::path(".") : path.parent_path();
  }
  bag = fs::absolute(bag).lexically_normal();
  if (bag.filename().empty()) bag = bag.parent_path();
  impl_->info.path = bag;
  if (fs::is_directory(bag)) {
    const fs::path metadata_file = bag / "metadata.yaml";
    if (fs::exists(metadata_file)) {
      impl_->find_files_from_metadata(bag, metadata_file);
    } else {
      impl_->find_files_in(bag);
    }
  } else {
    impl_->use_bare_file(bag);
  }
  impl_->load_files();
  log()->debug("Opened {}: {} files, {} connections, {} messages", bag.string(),
               impl_->files.size(), impl_->connections.size(), impl_->info.message_count);
}

BagReader::~BagReader() = default;

const BagInfo& BagReader::info() const { return impl_->info; }

const std::vector<Connection>& BagReader::connections() const { return impl_->connections; }

std::set<std::string> BagReader::topics() const {
  std::set<std::string> topics;
  for (const Connection& connection : impl_->connections) topics.insert(connection.topic);
  return topics;
}

void BagReader::close() {
  impl_->closed = true;
  impl_->scratch.reset();
}

struct MessageStream::Impl {
  struct Source {
    const StorageFile* file = nullptr;
    std::unique_ptr<StorageReader> reader;
    StorageMessage head;
  };

  const BagReader::Impl* bag = nullptr;
  std::vector<Source> sources;
  // A min-heap of sources by (head timestamp, file order): a k-way merge in which equal
  // timestamps keep file order, and each file keeps its own storage order.
  std::vector<std::size_t> heap;
  bool complete = true;  // no file has stopped at damage

  bool later(std::size_t a, std::size_t b) const {
    const std::int64_t time_a = sources[a].head.timestamp;
    const std::int64_t time_b = sources[b].head.timestamp;
    return time_a != time_b ? time_a > time_b : a > b;
  }
  void push(std::size_t index) {
    heap.push_back(index);
    std::push_heap(heap.begin(), heap.end(), [this](auto a, auto b) { return later(a, b); });
  }
  std::size_t pop() {
    std::pop_heap(heap.begin(), heap.end(), [this](auto a, auto b) { return later(a, b); });
    const std::size_t index = heap.back();
    heap.pop_back();
    return index;
  }
  // A file stops at damage rather than ending the pass: the messages before it are sound.
  void advance(std::size_t index) {
    Source& source = sources[index];
    try {
      if (naming_file(*source.file, [&] { return source.reader->next(source.head); })) {
        push(index);
      }
    } catch (const std::runtime_error& error) {
      complete = false;
      if (!source.file->damaged) {
        log()->warn("Stopped reading {} at damaged data: {}", source.file->path.string(),
                           error.what());
      }
    }
  }
};

MessageStream BagReader::messages(const std::vector<const Connection*>& only) const {
  if (impl_->closed) throw std::runtime_error("Bag " + impl_->info.path.string() + " is closed");
  std::vector<bool> wanted(impl_->connections.size(), only.empty());
  for (const Connection* connection : only) {
    if (connection == nullptr || connection->id < 0 ||
        connection->id >= static_cast<int>(impl_->connections.size()) ||
        impl_->connections[connection->id].topic != connection->topic ||
        impl_->connections[connection->id].msgtype != connection->msgtype) {
      throw std::invalid_argument("Connection is not one of bag " + impl_->info.path.string());
    }
    wanted[connection->id] = true;
  }

  auto stream = std::make_unique<MessageStream::Impl>();
  stream->bag = impl_.get();
  for (const StorageFile& file : impl_->files) {
    std::set<int> local;
    for (std::size_t index = 0; index < file.connection_ids.size(); ++index) {
      if (wanted[file.connection_ids[index]]) local.insert(static_cast<int>(index));
    }
    if (local.empty()) continue;
    MessageStream::Impl::Source source;
    source.file = &file;
    source.reader = impl_->open(file);
    if (!only.empty()) source.reader->set_filter(local);
    stream->sources.push_back(std::move(source));
  }
  for (std::size_t index = 0; index < stream->sources.size(); ++index) stream->advance(index);
  return MessageStream(std::move(stream));
}

MessageStream::MessageStream(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
MessageStream::~MessageStream() = default;
MessageStream::MessageStream(MessageStream&&) noexcept = default;
MessageStream& MessageStream::operator=(MessageStream&&) noexcept = default;

bool MessageStream::complete() const { return impl_->complete; }

std::optional<BagMessage> MessageStream::next() {
  if (impl_->heap.empty()) return std::nullopt;
  const std::size_t index = impl_->pop();
  MessageStream::Impl::Source& source = impl_->sources[index];
  const StorageFile& file = *source.file;
  if (source.head.connection < 0 ||
      source.head.connection >= static_cast<int>(file.connection_ids.size())) {
    throw std::runtime_error(file.path.string() + ": message of unknown connection " +
                             std::to_string(source.head.connection));
  }
  BagMessage message;
  message.connection = &impl_->bag->connections[file.connection_ids[source.head.connection]];
  message.timestamp = source.head.timestamp;
  message.data = std::move(source.head.data);
  impl_->advance(index);

  const MessageCompression compression = impl_->bag->message_compression;
  const bool framed = is_zstd_frame(message.data.data(), message.data.size());
  if (compression == MessageCompression::kZstd ||
      (compression == MessageCompression::kDetect && framed)) {
    message.data =
        zstd_decompress(message.data.data(), message.data.size(),
                        "Cannot decompress the message of " + message.connection->topic + " at " +
                            std::to_string(message.timestamp) + " in " + file.path.string());
  }
  return message;
}

}  // namespace orvalt::ros2
