#include <sqlite3.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "orvalt/common/file_not_found_error.hpp"
#include "orvalt/ros2/sqlite3_mapped_vfs.hpp"
#include "orvalt/ros2/storage.hpp"

namespace orvalt::ros2 {
namespace {

namespace fs = std::filesystem;

// SQLite URIs end the path at '?' or '#' and decode '%' escapes, so those three are escaped.
std::string uri_path(const fs::path& file) {
  std::string escaped;
  for (const char c : fs::absolute(file).string()) {
    if (c == '%' || c == '?' || c == '#') {
      char code[4];
      std::snprintf(code, sizeof code, "%%%02X", static_cast<unsigned char>(c));
      escaped += code;
    } else {
      escaped += c;
    }
  }
  return escaped;
}

class Database {
 public:
  Database(fs::path file, int flags, const std::string& name) : file_(std::move(file)) {
    const int result = sqlite3_open_v2(name.c_str(), &db_, flags, nullptr);
    if (result != SQLITE_OK) {
      const std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(result);
      sqlite3_close_v2(db_);
      throw std::runtime_error("Cannot open " + file_.string() + ": " + message);
    }
    sqlite3_extended_result_codes(db_, 1);
  }
  ~Database() { sqlite3_close_v2(db_); }
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  sqlite3* get() const { return db_; }
  const fs::path& file() const { return file_; }

  [[noreturn]] void fail(const std::string& doing) const {
    throw std::runtime_error(doing + " " + file_.string() + ": " + sqlite3_errmsg(db_));
  }

  void exec(const std::string& sql, const char* doing) const {
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) fail(doing);
  }

  // Closes now, reporting what the destructor could only ignore.
  void close() {
    if (sqlite3_close(db_) != SQLITE_OK) fail("Cannot close");
    db_ = nullptr;
  }

 private:
  fs::path file_;
  sqlite3* db_ = nullptr;
};

class Statement {
 public:
  Statement(const Database& db, const std::string& sql, const char* doing)
      : db_(&db), doing_(doing) {
    if (sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &statement_, nullptr) != SQLITE_OK) {
      db.fail(doing);
    }
  }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // True for a row, false at the end; throws for an error.
  bool step() {
    const int result = sqlite3_step(statement_);
    if (result == SQLITE_ROW) return true;
    if (result == SQLITE_DONE) return false;
    db_->fail(doing_);
  }
  void reset() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }

  std::int64_t integer(int column) const { return sqlite3_column_int64(statement_, column); }
  bool is_null(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
  std::string text(int column) const {
    const auto* bytes = sqlite3_column_text(statement_, column);
    if (bytes == nullptr) return "";
    return std::string(reinterpret_cast<const char*>(bytes),
                       static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)));
  }

  void bind(int index, std::int64_t value) { check(sqlite3_bind_int64(statement_, index, value)); }
  void bind(int index, const std::string& value) {
    check(sqlite3_bind_text64(statement_, index, value.data(), value.size(), SQLITE_TRANSIENT,
                              SQLITE_UTF8));
  }
  // The bytes must stay valid until the statement has been stepped.
  void bind_blob(int index, const std::vector<std::uint8_t>& value) {
    // An empty vector may have no storage; zeroblob stores an empty BLOB, not NULL.
    if (value.empty()) {
      check(sqlite3_bind_zeroblob(statement_, index, 0));
    } else {
      check(sqlite3_bind_blob64(statement_, index, value.data(), value.size(), SQLITE_STATIC));
    }
  }

 private:
  void check(int result) const {
    if (result != SQLITE_OK) db_->fail(doing_);
  }

  const Database* db_;
  const char* doing_;
  sqlite3_stmt* statement_ = nullptr;
};

// rosbag2's own rule: the schema table's version where there is one, else whether the topics
// table has the column added in generation 2.
int detect_schema_version(const Database& db, bool has_schema_table) {
  if (has_schema_table) {
    Statement version(db, "SELECT schema_version FROM schema", "Cannot read");
    if (version.step() && !version.is_null(0)) return static_cast<int>(version.integer(0));
  }
  Statement columns(db, "PRAGMA table_info(topics)", "Cannot read");
  while (columns.step()) {
    if (columns.text(1) == "offered_qos_profiles") return 2;
  }
  return 1;
}

// Whether the database header states more pages than the file holds: a file cut off after it
// was written (a partial copy, a full disk). The stated count only counts when the header marks
// it valid (change counter equal to version-valid-for); otherwise SQLite goes by the file size.
bool shorter_than_its_header(const fs::path& file, std::uintmax_t file_size) {
  std::array<unsigned char, 100> header{};
  std::ifstream in(file, std::ios::binary);
  if (!in.read(reinterpret_cast<char*>(header.data()), header.size())) return false;
  const auto big_endian = [&](std::size_t at, std::size_t bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < bytes; ++i) value = value << 8 | header[at + i];
    return value;
  };
  if (big_endian(24, 4) != big_endian(92, 4)) return false;
  const std::uint64_t page_size = big_endian(16, 2) == 1 ? 65536 : big_endian(16, 2);
  return page_size * big_endian(28, 4) > file_size;
}

class Sqlite3Reader final : public StorageReader {
 public:
  explicit Sqlite3Reader(const fs::path& file)
      : db_(file, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI,
            // immutable: no locks, no -shm/-wal beside the user's file, even for WAL files.
            "file:" + uri_path(file) + "?mode=ro&immutable=1&vfs=" + mapped_read_vfs()),
        file_size_(fs::file_size(file)) {
    // The file is untrusted input: no schema-defined code, strict corruption checks. Pages are
    // read from a mapping of the file (it never changes) whose pages do not stay resident.
    // SQLite refuses a whole file that is shorter than its header states, unless the schema is
    // writable; the connection being read-only keeps that harmless. The pages before the cut
    // then read, and one past it is reported as corrupt where a query needs it.
    const bool cut_off = shorter_than_its_header(file, file_size_);
    sqlite3_db_config(db_.get(), SQLITE_DBCONFIG_DEFENSIVE, cut_off ? 0 : 1, nullptr);
    if (cut_off) db_.exec("PRAGMA writable_schema = ON", "Cannot read");
    sqlite3_db_config(db_.get(), SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    db_.exec("PRAGMA cell_size_check = ON; PRAGMA mmap_size = 2147418112", "Cannot read");

    std::map<std::string, std::string> kinds;
    Statement objects(db_, "SELECT name, type FROM sqlite_master", "Cannot read");
    while (objects.step()) kinds[objects.text(0)] = objects.text(1);
    for (const char* required : {"topics", "messages"}) {
      if (kinds[required] != "table") {
        throw std::runtime_error(file.string() + " is not a rosbag2 database: it has no '" +
                                 required + "' table");
      }
    }
    schema_version_ = detect_schema_version(db_, kinds["schema"] == "table");
    has_metadata_table_ = schema_version_ >= 3 && kinds["metadata"] == "table";
    read_connections(kinds["message_definitions"] == "table");
  }

  const std::vector<Connection>& connections() const override { return connections_; }

  std::vector<std::uint64_t> message_counts() override {
    std::vector<std::uint64_t> counts(connections_.size(), 0);
    for (const auto& [topic_id, count] : counts_by_topic_id()) {
      const auto known = connection_of_topic_.find(topic_id);
      if (known != connection_of_topic_.end()) counts[known->second] = count;
    }
    return counts;
  }

  std::uint64_t orphaned_message_count() override {
    std::uint64_t orphaned = 0;
    for (const auto& [topic_id, count] : counts_by_topic_id()) {
      if (connection_of_topic_.count(topic_id) == 0) orphaned += count;
    }
    return orphaned;
  }

  std::optional<TimeRange> time_range() override {
    Statement range(db_, "SELECT MIN(timestamp), MAX(timestamp) FROM messages", "Cannot read");
    if (!range.step() || range.is_null(0)) return std::nullopt;
    return TimeRange{range.integer(0), range.integer(1)};
  }

  void set_filter(const std::set<int>& connections) override {
    wanted_topic_ids_.clear();
    for (const int connection : connections) {
      if (connection >= 0 && connection < static_cast<int>(topic_ids_.size())) {
        wanted_topic_ids_.insert(topic_ids_[connection]);
      }
    }
    filtered_ = true;
    rows_.reset();
    done_ = false;
  }

  bool next(StorageMessage& out) override {
    if (done_) return false;
    if (!rows_) rows_.emplace(db_, messages_query(), "Cannot read messages of");
    if (!rows_->step()) {
      done_ = true;
      return false;
    }
    out.connection = connection_of_topic_.at(rows_->integer(1));
    out.timestamp = rows_->integer(2);
    read_data(rows_->integer(0), out.data);
    return true;
  }

  std::optional<std::string> embedded_metadata() override {
    if (!has_metadata_table_) return std::nullopt;
    Statement last(db_, "SELECT metadata FROM metadata ORDER BY id DESC LIMIT 1", "Cannot read");
    if (!last.step()) return std::nullopt;
    return last.text(0);
  }

  ~Sqlite3Reader() override {
    if (blob_) sqlite3_blob_close(blob_);
  }

 private:
  void read_connections(bool has_definitions_table) {
    std::unordered_map<std::string, std::pair<std::string, std::string>> definitions;
    if (schema_version_ >= 4 && has_definitions_table) {
      Statement rows(db_,
                     "SELECT topic_type, encoding, encoded_message_definition "
                     "FROM message_definitions ORDER BY id",
                     "Cannot read");
      while (rows.step())
        definitions.emplace(rows.text(0), std::make_pair(rows.text(1), rows.text(2)));
    }
    std::string sql = "SELECT id, name, type, serialization_format";
    if (schema_version_ >= 2) sql += ", offered_qos_profiles";
    if (schema_version_ >= 4) sql += ", type_description_hash";
    Statement topics(db_, sql + " FROM topics ORDER BY id", "Cannot read");
    while (topics.step()) {
      Connection connection;
      connection.id = static_cast<int>(connections_.size());
      connection.topic = topics.text(1);
      connection.msgtype = topics.text(2);
      connection.serialization_format = topics.text(3);
      if (schema_version_ >= 2) connection.offered_qos_profiles = topics.text(4);
      if (schema_version_ >= 4) connection.type_description_hash = topics.text(5);
      const auto definition = definitions.find(connection.msgtype);
      if (definition != definitions.end()) {
        connection.message_definition_encoding = definition->second.first;
        connection.message_definition = definition->second.second;
      }
      connection_of_topic_[topics.integer(0)] = connection.id;
      topic_ids_.push_back(topics.integer(0));
      connections_.push_back(std::move(connection));
    }
  }

  // One pass over the messages table serves both kinds of count.
  const std::map<std::int64_t, std::uint64_t>& counts_by_topic_id() {
    if (!counts_by_topic_id_) {
      counts_by_topic_id_.emplace();
      Statement count(db_, "SELECT topic_id, COUNT(*) FROM messages GROUP BY topic_id",
                      "Cannot read");
      while (count.step()) {
        (*counts_by_topic_id_)[count.integer(0)] = static_cast<std::uint64_t>(count.integer(1));
      }
    }
    return *counts_by_topic_id_;
  }

  // Topic ids are integers read from the file itself, so they are safe to inline. The
  // timestamp index (timestamp, rowid) already gives the order without a sort.
  std::string messages_query() const {
    std::string ids;
    if (filtered_) {
      for (const std::int64_t id : wanted_topic_ids_)
        ids += (ids.empty() ? "" : ",") + std::to_string(id);
    } else {
      for (const std::int64_t id : topic_ids_) ids += (ids.empty() ? "" : ",") + std::to_string(id);
    }
    return "SELECT id, topic_id, timestamp FROM messages WHERE topic_id IN (" + ids +
           ") ORDER BY timestamp, id";
  }

  // Incremental blob I/O copies a large payload straight into `data`, without an
  // intermediate copy inside SQLite.
  void read_data(std::int64_t id, std::vector<std::uint8_t>& data) {
    const int opened =
        blob_ ? sqlite3_blob_reopen(blob_, id)
              : sqlite3_blob_open(db_.get(), "main", "messages", "data", id, 0, &blob_);
    if (opened != SQLITE_OK) db_.fail("Cannot read message " + std::to_string(id) + " of");
    const int size = sqlite3_blob_bytes(blob_);
    // A corrupt record can claim any size; no payload is larger than the file holding it.
    if (size < 0 || static_cast<std::uintmax_t>(size) > file_size_) {
      throw std::runtime_error("Cannot read message " + std::to_string(id) + " of " +
                               db_.file().string() + ": database disk image is malformed");
    }
    data.resize(static_cast<std::size_t>(size));
    if (size > 0 && sqlite3_blob_read(blob_, data.data(), size, 0) != SQLITE_OK) {
      db_.fail("Cannot read message " + std::to_string(id) + " of");
    }
  }

  Database db_;
  std::uintmax_t file_size_;
  int schema_version_ = 1;
  bool has_metadata_table_ = false;
  std::vector<Connection> connections_;
  std::vector<std::int64_t> topic_ids_;  // per connection
  std::unordered_map<std::int64_t, int> connection_of_topic_;
  std::optional<std::map<std::int64_t, std::uint64_t>> counts_by_topic_id_;
  bool filtered_ = false;
  std::set<std::int64_t> wanted_topic_ids_;
  std::optional<Statement> rows_;
  bool done_ = false;
  sqlite3_blob* blob_ = nullptr;
};

// The tables exactly as ROS 2 Humble's sqlite3 plugin (schema generation 3) creates them.
constexpr const char* kHumbleSchema =
    "CREATE TABLE schema(schema_version INTEGER PRIMARY KEY,ros_distro TEXT NOT NULL);"
    "INSERT INTO schema (schema_version, ros_distro) VALUES (3, 'humble');"
    "CREATE TABLE metadata(id INTEGER PRIMARY KEY,metadata_version INTEGER NOT NULL,"
    "metadata TEXT NOT NULL);"
    "CREATE TABLE topics(id INTEGER PRIMARY KEY,name TEXT NOT NULL,type TEXT NOT NULL,"
    "serialization_format TEXT NOT NULL,offered_qos_profiles TEXT NOT NULL);"
    "CREATE TABLE messages(id INTEGER PRIMARY KEY,topic_id INTEGER NOT NULL,"
    "timestamp INTEGER NOT NULL, data BLOB NOT NULL);"
    "CREATE INDEX timestamp_idx ON messages (timestamp ASC);";

// Commit in batches: one transaction per message would sync the file for every message, one
// for the whole bag would hold unbounded state.
constexpr std::size_t kBatchBytes = std::size_t{64} << 20;
constexpr std::size_t kBatchMessages = 10000;

Database create_database(const fs::path& file) {
  if (fs::exists(file)) throw std::runtime_error("Cannot create " + file.string() + ": it exists");
  return Database(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI,
                  "file:" + uri_path(file));
}

class Sqlite3Writer final : public StorageWriter {
 public:
  explicit Sqlite3Writer(const fs::path& file) : db_(create_database(file)) {
    // Humble's default: the rollback journal in memory, synced at commits only. Pages four
    // times SQLite's default cut the overflow chain of an image payload to a quarter, which
    // reads and writes large messages faster at a cost of little space for small ones.
    db_.exec("PRAGMA page_size = 16384; PRAGMA journal_mode = MEMORY; PRAGMA synchronous = NORMAL",
             "Cannot write");
    db_.exec(std::string("BEGIN;") + kHumbleSchema, "Cannot write");
    insert_topic_.emplace(db_,
                          "INSERT INTO topics (name, type, serialization_format, "
                          "offered_qos_profiles) VALUES (?, ?, ?, ?)",
                          "Cannot write");
    insert_message_.emplace(
        db_, "INSERT INTO messages (topic_id, timestamp, data) VALUES (?, ?, ?)", "Cannot write");
  }

  ~Sqlite3Writer() override {
    try {
      close();
    } catch (const std::exception&) {
      // The owner calls close() itself to see errors; a destructor can only drop them.
    }
  }

  void add_connection(const Connection& connection) override {
    check_open();
    insert_topic_->bind(1, connection.topic);
    insert_topic_->bind(2, connection.msgtype);
    insert_topic_->bind(3, connection.serialization_format);
    insert_topic_->bind(4, connection.offered_qos_profiles);
    insert_topic_->step();
    insert_topic_->reset();
    topic_ids_.push_back(sqlite3_last_insert_rowid(db_.get()));
  }

  void write(int connection, std::int64_t timestamp,
             const std::vector<std::uint8_t>& data) override {
    check_open();
    if (connection < 0 || connection >= static_cast<int>(topic_ids_.size())) {
      throw std::invalid_argument("No connection " + std::to_string(connection) + " in " +
                                  db_.file().string());
    }
    insert_message_->bind(1, topic_ids_[connection]);
    insert_message_->bind(2, timestamp);
    insert_message_->bind_blob(3, data);
    insert_message_->step();
    insert_message_->reset();
    batch_bytes_ += data.size();
    if (++batch_messages_ >= kBatchMessages || batch_bytes_ >= kBatchBytes) {
      db_.exec("COMMIT; BEGIN", "Cannot write");
      batch_bytes_ = 0;
      batch_messages_ = 0;
    }
  }

  void close() override {
    if (closed_) return;
    closed_ = true;
    db_.exec("COMMIT", "Cannot write");
    insert_topic_.reset();
    insert_message_.reset();
    db_.close();
  }

 private:
  void check_open() const {
    if (closed_) throw std::runtime_error(db_.file().string() + " is closed");
  }

  Database db_;
  std::optional<Statement> insert_topic_;
  std::optional<Statement> insert_message_;
  std::vector<std::int64_t> topic_ids_;
  std::size_t batch_bytes_ = 0;
  std::size_t batch_messages_ = 0;
  bool closed_ = false;
};

}  // namespace

std::unique_ptr<StorageReader> open_sqlite3_reader(const fs::path& file) {
  if (!fs::exists(file))
    throw common::FileNotFoundError("Bag file does not exist: " + file.string());
  if (!fs::is_regular_file(file)) throw std::runtime_error(file.string() + " is not a file");
  return std::make_unique<Sqlite3Reader>(file);
}

std::unique_ptr<StorageWriter> create_sqlite3_writer(const fs::path& file) {
  return std::make_unique<Sqlite3Writer>(file);
}

}  // namespace orvalt::ros2
