#include "orvalt/ros2/mcap_reader.hpp"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "orvalt/ros2/mapped_file.hpp"
#include "orvalt/ros2/mcap_compression.hpp"
#include "orvalt/ros2/mcap_index.hpp"
#include "orvalt/ros2/mcap_records.hpp"

namespace orvalt::ros2 {
namespace {

using mcap::Block;
using mcap::kNoConnection;
using mcap::McapFormatError;
using mcap::Opcode;
using mcap::RecordView;
using mcap::RecordWalker;

bool is_message(const RecordView& record) {
  return record.opcode == static_cast<std::uint8_t>(Opcode::kMessage);
}

// Decompression buffers kept for reuse; more are only needed while chunks overlap in time.
constexpr std::size_t kPooledBuffers = 4;

struct Entry {
  std::uint64_t log_time;
  const std::uint8_t* data;
  std::size_t size;
  int connection;
};

// A block being read: its records (decompressed into `buffer` unless they are read from the
// mapping) and its wanted messages in time order.
struct OpenBlock {
  std::size_t order = 0;  // the block's place in the file; breaks ties between blocks
  std::vector<std::uint8_t> buffer;
  std::vector<Entry> entries;
  std::size_t next = 0;
};

// Orders the heap so that its front is the earliest next message.
bool later(const std::unique_ptr<OpenBlock>& a, const std::unique_ptr<OpenBlock>& b) {
  const std::uint64_t time_a = a->entries[a->next].log_time;
  const std::uint64_t time_b = b->entries[b->next].log_time;
  if (time_a != time_b) return time_a > time_b;
  return a->order > b->order;
}

}  // namespace

struct McapReader::Impl {
  explicit Impl(const std::filesystem::path& path)
      : path(path), file(path), index(file, path.string()) {}
  ~Impl();

  void restart();
  bool wants(const Block& block) const;
  std::unique_ptr<OpenBlock> prepare_block(std::size_t position, std::vector<std::uint8_t> buffer,
                                           mcap::ChunkDecompressor& decompressor) const;
  std::vector<std::uint8_t> take_buffer();
  void recycle(std::vector<std::uint8_t> buffer);
  void finish(OpenBlock& block);
  std::size_t next_wanted(std::size_t position) const;
  void start_ahead(std::size_t position);
  std::unique_ptr<OpenBlock> take_ahead();
  void work_ahead();
  bool next(StorageMessage& out);

  std::filesystem::path path;
  MappedFile file;
  mcap::McapIndex index;
  mcap::ChunkDecompressor decompressor;

  // Iteration.
  bool filtered = false;
  std::vector<char> wanted;  // per connection, when filtered
  bool started = false;
  std::vector<std::size_t> by_start_time;  // positions in index.blocks()
  std::size_t pending = 0;                 // next entry of by_start_time to open
  std::vector<std::unique_ptr<OpenBlock>> heap;
  std::vector<std::vector<std::uint8_t>> free_buffers;

  // A second thread decompresses and indexes the next block while the caller reads messages
  // of the current one; it only reads state that stays fixed during a pass.
  std::thread worker;
  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  bool job_waiting = false;  // a block for the worker to prepare
  bool job_done = false;
  bool job_started = false;  // by the reading thread, until it takes the result
  std::size_t job_index = 0;
  std::vector<std::uint8_t> job_buffer;
  std::unique_ptr<OpenBlock> job_result;
  std::exception_ptr job_error;
  mcap::ChunkDecompressor worker_decompressor;
};

McapReader::Impl::~Impl() {
  restart();
  if (worker.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
    }
    wake.notify_all();
    worker.join();
  }
}

void McapReader::Impl::restart() {
  if (job_started) {
    try {
      recycle(std::move(take_ahead()->buffer));
    } catch (...) {
      // The block would have failed when reached; a new pass meets the error again.
    }
  }
  for (auto& block : heap) finish(*block);
  heap.clear();
  started = false;
}

bool McapReader::Impl::wants(const Block& block) const {
  if (!filtered || block.channels.empty()) return true;
  return std::any_of(block.channels.begin(), block.channels.end(), [&](std::uint16_t channel) {
    const int connection = index.connection_of(channel);
    return connection != kNoConnection && wanted[static_cast<std::size_t>(connection)];
  });
}

// Reads only what a pass leaves unchanged, so that the worker thread may run it.
std::unique_ptr<OpenBlock> McapReader::Impl::prepare_block(
    std::size_t position, std::vector<std::uint8_t> buffer,
    mcap::ChunkDecompressor& decompressor) const {
  const Block& block = index.blocks()[position];
  auto open = std::make_unique<OpenBlock>();
  open->order = position;
  open->buffer = std::move(buffer);
  try {
    file.populate(block.offset, block.length);
    const auto [records, size] = index.records(block, open->buffer, decompressor);
    RecordWalker walker(records, size);
    RecordView record;
    while (walker.next(record)) {
      if (!is_message(record)) continue;
      const mcap::MessageView message = mcap::parse_message(record);
      const int connection = index.connection_of(message.channel_id);
      if (connection == kNoConnection) {
        throw McapFormatError("a message is on channel " + std::to_string(message.channel_id) +
                              ", which the file does not define");
      }
      if (filtered && !wanted[static_cast<std::size_t>(connection)]) continue;
      open->entries.push_back({message.log_time, message.data, message.size, connection});
    }
  } catch (const McapFormatError& error) {
    throw McapFormatError(std::string(block.chunk ? "chunk" : "message run") + " at offset " +
                          std::to_string(block.offset) + ": " + error.what());
  }
  const auto by_time = [](const Entry& a, const Entry& b) { return a.log_time < b.log_time; };
  if (!std::is_sorted(open->entries.begin(), open->entries.end(), by_time)) {
    std::stable_sort(open->entries.begin(), open->entries.end(), by_time);
  }
  return open;
}

std::vector<std::uint8_t> McapReader::Impl::take_buffer() {
  if (free_buffers.empty()) return {};
  std::vector<std::uint8_t> buffer = std::move(free_buffers.back());
  free_buffers.pop_back();
  return buffer;
}

void McapReader::Impl::recycle(std::vector<std::uint8_t> buffer) {
  if (free_buffers.size() < kPooledBuffers) free_buffers.push_back(std::move(buffer));
}

// Its mapped bytes leave resident memory, so that a pass over a large file holds only the
// blocks still open.
void McapReader::Impl::finish(OpenBlock& block) {
  const Block& indexed = index.blocks()[block.order];
  file.release(indexed.offset, indexed.length);
  recycle(std::move(block.buffer));
}

// The first position from `position` on whose block the filter wants.
std::size_t McapReader::Impl::next_wanted(std::size_t position) const {
  while (position < by_start_time.size() && !wants(index.blocks()[by_start_time[position]])) {
    ++position;
  }
  return position;
}

void McapReader::Impl::start_ahead(std::size_t position) {
  if (!worker.joinable()) worker = std::thread([this] { work_ahead(); });
  {
    std::lock_guard<std::mutex> lock(mutex);
    job_index = position;
    job_buffer = take_buffer();
    job_waiting = true;
    job_done = false;
  }
  job_started = true;
  wake.notify_all();
}

std::unique_ptr<OpenBlock> McapReader::Impl::take_ahead() {
  std::unique_lock<std::mutex> lock(mutex);
  wake.wait(lock, [&] { return job_done; });
  job_started = false;
  if (job_error) std::rethrow_exception(std::exchange(job_error, nullptr));
  return std::move(job_result);
}

void McapReader::Impl::work_ahead() {
  std::unique_lock<std::mutex> lock(mutex);
  while (true) {
    wake.wait(lock, [&] { return stopping || job_waiting; });
    if (stopping) return;
    job_waiting = false;
    const std::size_t position = job_index;
    std::vector<std::uint8_t> buffer = std::move(job_buffer);
    lock.unlock();
    std::unique_ptr<OpenBlock> result;
    std::exception_ptr error;
    try {
      result = prepare_block(position, std::move(buffer), worker_decompressor);
    } catch (...) {
      error = std::current_exception();
    }
    lock.lock();
    job_result = std::move(result);
    job_error = error;
    job_done = true;
    wake.notify_all();
  }
}

bool McapReader::Impl::next(StorageMessage& out) {
  if (!started) {
    by_start_time.resize(index.blocks().size());
    for (std::size_t i = 0; i < index.blocks().size(); ++i) by_start_time[i] = i;
    std::stable_sort(by_start_time.begin(), by_start_time.end(), [&](std::size_t a, std::size_t b) {
      return index.blocks()[a].start_time < index.blocks()[b].start_time;
    });
    pending = next_wanted(0);
    started = true;
  }
  // A block whose first message may come before the earliest open one must be open too.
  while (pending < by_start_time.size() &&
         (heap.empty() || index.blocks()[by_start_time[pending]].start_time <=
                              heap.front()->entries[heap.front()->next].log_time)) {
    const std::size_t position = by_start_time[pending];
    std::unique_ptr<OpenBlock> open =
        job_started ? take_ahead() : prepare_block(position, take_buffer(), decompressor);
    pending = next_wanted(pending + 1);
    if (pending < by_start_time.size()) start_ahead(by_start_time[pending]);
    if (open->entries.empty()) {
      finish(*open);
      continue;
    }
    heap.push_back(std::move(open));
    std::push_heap(heap.begin(), heap.end(), later);
  }
  if (heap.empty()) return false;

  std::pop_heap(heap.begin(), heap.end(), later);
  OpenBlock& block = *heap.back();
  const Entry& entry = block.entries[block.next++];
  out.connection = entry.connection;
  out.timestamp = static_cast<std::int64_t>(entry.log_time);
  out.data.assign(entry.data, entry.data + entry.size);
  if (block.next < block.entries.size()) {
    std::push_heap(heap.begin(), heap.end(), later);
  } else {
    finish(block);
    heap.pop_back();
  }
  return true;
}

namespace {

// Runs `action`, naming the file in any format error it raises.
template <typename Action>
auto naming_file(const std::filesystem::path& path, Action&& action) -> decltype(action()) {
  try {
    return action();
  } catch (const McapFormatError& error) {
    throw std::runtime_error(path.string() + ": " + error.what());
  }
}

}  // namespace

McapReader::McapReader(const std::filesystem::path& file)
    : impl_(naming_file(file, [&] { return std::make_unique<Impl>(file); })) {}

McapReader::~McapReader() = default;

const std::vector<Connection>& McapReader::connections() const {
  return impl_->index.connections();
}

std::vector<std::uint64_t> McapReader::message_counts() {
  return naming_file(impl_->path, [&] { return impl_->index.message_counts(); });
}

void McapReader::set_filter(const std::set<int>& connections) {
  impl_->restart();
  impl_->filtered = true;
  impl_->wanted.assign(this->connections().size(), 0);
  for (const int connection : connections) {
    if (connection < 0 || static_cast<std::size_t>(connection) >= impl_->wanted.size()) {
      throw std::invalid_argument(impl_->path.string() + " has no connection " +
                                  std::to_string(connection));
    }
    impl_->wanted[static_cast<std::size_t>(connection)] = 1;
  }
}

bool McapReader::next(StorageMessage& out) {
  return naming_file(impl_->path, [&] { return impl_->next(out); });
}

std::optional<std::string> McapReader::embedded_metadata() {
  return naming_file(impl_->path, [&] { return impl_->index.embedded_metadata(); });
}

std::optional<TimeRange> McapReader::time_range() { return impl_->index.time_range(); }

bool McapReader::used_summary() const { return impl_->index.used_summary(); }

std::unique_ptr<StorageReader> open_mcap_reader(const std::filesystem::path& file) {
  return std::make_unique<McapReader>(file);
}

}  // namespace orvalt::ros2
