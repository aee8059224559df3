#pragma once

#include <filesystem>
#include <memory>

#include "orvalt/ros2/storage.hpp"

namespace orvalt::ros2 {

// Reads one MCAP file as rosbag2's `mcap` storage writes it (and as other MCAP writers do):
// chunked or not, chunks compressed with zstd, lz4 or none.
//
// With a sound summary section (Schema, Channel, Statistics and Chunk Index records) it opens
// without reading the data: connections, counts and the time range come from the summary, and
// chunks are found through their indexes (chunks holding none of the filtered connections are
// not even decompressed). Without one, or when the summary is damaged, the data section is
// scanned from the start; a file cut off while it was written (no footer) yields the records
// before the cut, with a warning. CRCs are checked where the file has them: the summary CRC on
// open, each chunk's CRC when it is decompressed, and the data section CRC on a scan.
//
// Connections are the file's channels in channel id order, with the schema's name as type, its
// text and encoding as message definition, and the channel metadata `offered_qos_profiles` and
// `topic_type_hash`. Messages come in (log_time, file order) order even when chunks overlap in
// time. Every error is a std::runtime_error naming the file; no input makes it read outside the
// file or allocate more than the file can justify.
class McapReader final : public StorageReader {
 public:
  explicit McapReader(const std::filesystem::path& file);
  ~McapReader() override;

  const std::vector<Connection>& connections() const override;
  std::vector<std::uint64_t> message_counts() override;
  // Also starts over at the first message, so that each pass over the file begins with it.
  void set_filter(const std::set<int>& connections) override;
  bool next(StorageMessage& out) override;
  // The `serialized_metadata` YAML of the last "rosbag2" Metadata record (Jazzy and later), or
  // "ros_distro: NAME" when that record only names the distribution (Humble, Iron).
  std::optional<std::string> embedded_metadata() override;
  std::optional<TimeRange> time_range() override;

  // True when the summary section served the open; false after a scan of the data section.
  bool used_summary() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvalt::ros2
