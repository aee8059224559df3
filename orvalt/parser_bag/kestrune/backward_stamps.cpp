#include "orvalt/parser_bag/kestrune/backward_stamps.hpp"

#include <numeric>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace orvalt::parser_bag {

void BackwardStamps::observe(const std::string& topic, const std::string& source,
                             std::int64_t stamp) {
  const auto [last, first_seen] = last_stamp_.try_emplace(source, stamp);
  if (first_seen) return;
  if (stamp < last->second) ++counts_[topic];
  last->second = stamp;
}

int BackwardStamps::total() const {
  return std::accumulate(counts_.begin(), counts_.end(), 0,
                         [](int sum, const auto& entry) { return sum + entry.second; });
}

std::string BackwardStamps::summary() const {
  std::vector<std::string> parts;
  for (const auto& [topic, count] : counts_) parts.push_back(fmt::format("{} {}", topic, count));
  return fmt::format("{}", fmt::join(parts, ", "));
}

}  // namespace orvalt::parser_bag
