#include "orvalt/ros2/bag_info.hpp"

#include <time.h>

#include <array>
#include <filesystem>
#include <iomanip>
#include <sstream>

#include "orvalt/ros2/time_span.hpp"

namespace orvalt::ros2 {
namespace {

constexpr const char* kIndent = "                   ";  // the width of "Topic information: "

// Seconds and milliseconds, rounded down, also before 1970.
std::pair<std::int64_t, int> split_milliseconds(std::int64_t nanoseconds) {
  std::int64_t milliseconds = nanoseconds / 1000000;
  if (nanoseconds % 1000000 < 0) --milliseconds;
  std::int64_t seconds = milliseconds / 1000;
  int rest = static_cast<int>(milliseconds % 1000);
  if (rest < 0) {
    --seconds;
    rest += 1000;
  }
  return {seconds, rest};
}

std::string seconds_text(std::int64_t nanoseconds) {
  const auto [seconds, milliseconds] = split_milliseconds(nanoseconds);
  std::ostringstream text;
  text << seconds << '.' << std::setw(3) << std::setfill('0') << milliseconds;
  return text.str();
}

}  // namespace

std::string format_bag_size(std::uintmax_t bytes) {
  static constexpr std::array<const char*, 5> kUnits = {"B", "KiB", "MiB", "GiB", "TiB"};
  double size = static_cast<double>(bytes);
  std::size_t unit = 0;
  while (size >= 1024.0 && unit + 1 < kUnits.size()) {
    size /= 1024.0;
    ++unit;
  }
  std::ostringstream text;
  text << std::fixed << std::setprecision(unit == 0 ? 0 : 1) << size << ' ' << kUnits[unit];
  return text.str();
}

std::string format_bag_time(std::int64_t nanoseconds) {
  const auto [seconds, milliseconds] = split_milliseconds(nanoseconds);
  const time_t time = static_cast<time_t>(seconds);
  tm local{};
  localtime_r(&time, &local);
  std::ostringstream text;
  text << std::put_time(&local, "%b %e %Y %H:%M:%S") << '.' << std::setw(3) << std::setfill('0')
       << milliseconds << " (" << seconds_text(nanoseconds) << ')';
  return text.str();
}

BagContents read_bag_contents(const BagReader& reader) {
  BagContents contents;
  contents.message_counts.assign(reader.connections().size(), 0);
  std::int64_t last = 0;
  auto stream = reader.messages();
  // Messages come in timestamp order: the first and the last give the span.
  while (const auto message = stream.next()) {
    if (contents.message_count == 0) contents.starting_time = message->timestamp;
    last = message->timestamp;
    ++contents.message_count;
    ++contents.message_counts[static_cast<std::size_t>(message->connection->id)];
  }
  contents.complete = stream.complete();
  if (contents.message_count > 0) {
    contents.duration = time_span(contents.starting_time, last, reader.info().path.string());
  }
  return contents;
}

bool holds_all_listed(const BagInfo& info, const BagContents& contents) {
  return contents.complete && contents.message_count >= info.listed_message_count &&
         contents.duration >= info.listed_duration;
}

std::string format_bag_info(const BagReader& reader, const BagContents& contents) {
  const BagInfo& info = reader.info();
  std::ostringstream out;
  out << "\nFiles:             ";
  std::uintmax_t bag_size = 0;
  for (std::size_t index = 0; index < info.files.size(); ++index) {
    const std::filesystem::path& file = info.files[index];
    const std::filesystem::path shown = std::filesystem::is_directory(info.path)
                                            ? file.lexically_relative(info.path)
                                            : file.filename();
    out << (index == 0 ? "" : kIndent) << shown.string() << '\n';
    std::error_code ignored;
    const std::uintmax_t size = std::filesystem::file_size(file, ignored);
    if (!ignored) bag_size += size;
  }
  if (info.files.empty()) out << '\n';
  out << "Bag size:          " << format_bag_size(bag_size) << '\n';
  out << "Storage id:        " << info.storage_identifier << '\n';
  out << "Duration:          " << seconds_text(contents.duration) << "s\n";
  out << "Start:             " << format_bag_time(contents.starting_time) << '\n';
  out << "End:               " << format_bag_time(contents.starting_time + contents.duration)
      << '\n';
  out << "Messages:          " << contents.message_count << '\n';
  out << "Topic information: ";
  const auto& connections = reader.connections();
  for (std::size_t index = 0; index < connections.size(); ++index) {
    const Connection& connection = connections[index];
    out << (index == 0 ? "" : kIndent) << "Topic: " << connection.topic
        << " | Type: " << connection.msgtype << " | Count: " << contents.message_counts[index]
        << " | Serialization Format: " << connection.serialization_format << '\n';
  }
  if (connections.empty()) out << '\n';
  return out.str();
}

}  // namespace orvalt::ros2
