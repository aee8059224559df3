#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace orvalt::parser_bag {

// Counts header stamps that go backwards in bag order, as a clock jump in the recording makes
// them: poses matched across the jump may belong to another moment.
class BackwardStamps {
 public:
  // Notes `stamp` (ns) of `source` (a topic, or one transform link of a TF topic) and counts
  // it under `topic` when it is earlier than the previous stamp of the same source.
  void observe(const std::string& topic, const std::string& source, std::int64_t stamp);

  // Backward steps per topic; topics without any are absent.
  const std::map<std::string, int>& counts() const { return counts_; }
  int total() const;
  // "/color 3, /tf 1", topics in name order.
  std::string summary() const;

 private:
  std::map<std::string, std::int64_t> last_stamp_;
  std::map<std::string, int> counts_;
};

}  // namespace orvalt::parser_bag
