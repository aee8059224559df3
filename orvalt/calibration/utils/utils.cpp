#include "orvalt/calibration/utils/utils.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "orvalt/common/file_not_found_error.hpp"

namespace orvalt::calibration {
namespace {

constexpr std::string_view kHeader = "timestamp,tx,ty,tz,qx,qy,qz,qw";
constexpr std::size_t kFieldCount = 8;

std::string_view trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

template <typename Number>
bool parse_number(std::string_view text, Number& value) {
  text = trim(text);
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  return error == std::errc() && stop == end && !text.empty();
}

// Parses one data row; on failure returns the reason, on success an empty text.
std::string parse_row(std::string_view line, PoseRow& row) {
  std::vector<std::string_view> fields;
  std::size_t begin = 0;
  while (true) {
    const auto comma = line.find(',', begin);
    fields.push_back(line.substr(begin, comma - begin));
    if (comma == std::string_view::npos) break;
    begin = comma + 1;
  }
  if (fields.size() != kFieldCount) {
    return fmt::format("expected {} comma-separated values, got {}", kFieldCount, fields.size());
  }
  if (!parse_number(fields[0], row.timestamp)) {
    return fmt::format("timestamp '{}' is not an integer", trim(fields[0]));
  }
  double* const values[] = {&row.tx, &row.ty, &row.tz, &row.qx, &row.qy, &row.qz, &row.qw};
  for (std::size_t i = 0; i < 7; ++i) {
    if (!parse_number(fields[i + 1], *values[i]) || !std::isfinite(*values[i])) {
      return fmt::format("value {} ('{}') is not a finite number", i + 2, trim(fields[i + 1]));
    }
  }
  return {};
}

}  // namespace

void Utils::save_pose_set_to_csv(const std::vector<PoseRow>& pose_set,
                                 const std::filesystem::path& path) {
  std::vector<PoseRow> sorted = pose_set;
  std::sort(sorted.begin(), sorted.end());
  std::ofstream out(path);
  if (!out) {
    throw std::runtime_error("Cannot write pose file " + path.string());
  }
  out << kHeader << '\n';
  for (const PoseRow& row : sorted) {
    out << fmt::format("{},{:.9f},{:.9f},{:.9f},{:.9f},{:.9f},{:.9f},{:.9f}\n", row.timestamp,
                       row.tx, row.ty, row.tz, row.qx, row.qy, row.qz, row.qw);
  }
  out.close();
  if (!out) {
    throw std::runtime_error("Cannot write pose file " + path.string());
  }
}

PoseList Utils::load_csv_to_pose_list(const std::filesystem::path& path) {
  if (!std::filesystem::is_regular_file(path)) {
    throw common::FileNotFoundError("Pose file not found: " + path.string());
  }
  std::ifstream in(path);
  if (!in) {
    throw std::runtime_error("Cannot read pose file " + path.string());
  }
  PoseList result;
  std::string line;
  std::size_t line_number = 0;
  bool header_seen = false;
  while (std::getline(in, line)) {
    ++line_number;
    const std::string_view content = trim(line);
    if (content.empty()) continue;
    if (!header_seen) {
      if (content != kHeader) {
        throw std::runtime_error(fmt::format("{}:{}: expected the header line \"{}\"",
                                             path.string(), line_number, kHeader));
      }
      header_seen = true;
      continue;
    }
    PoseRow row;
    if (const std::string reason = parse_row(content, row); !reason.empty()) {
      throw std::runtime_error(fmt::format("{}:{}: {}", path.string(), line_number, reason));
    }
    result.pose_list.push_back(row);
  }
  if (!result.pose_list.empty()) {
    const auto [min_x, max_x] =
        std::minmax_element(result.pose_list.begin(), result.pose_list.end(),
                            [](const PoseRow& a, const PoseRow& b) { return a.tx < b.tx; });
    const auto [min_y, max_y] =
        std::minmax_element(result.pose_list.begin(), result.pose_list.end(),
                            [](const PoseRow& a, const PoseRow& b) { return a.ty < b.ty; });
    result.range_x = max_x->tx - min_x->tx;
    result.range_y = max_y->ty - min_y->ty;
  }
  return result;
}

}  // namespace orvalt::calibration
