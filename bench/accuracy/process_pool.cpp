#include "bench/accuracy/process_pool.hpp"

#include <algorithm>
#include <map>

namespace orvalt::bench {
std::vector<int> run_commands(const std::vector<common::ChildCommand>& commands, int parallel,
                              const std::function<void(std::size_t, int)>& finished) {
  std::vector<int> statuses(commands.size(), 0);
  std::map<pid_t, std::size_t> running;
  std::size_t next = 0;
  while (next < commands.size() || !running.empty()) {
    while (next < commands.size() && static_cast<int>(running.size()) < std::max(parallel, 1)) {
      running[common::start_child(commands[next])] = next;
      ++next;
    }
    const common::ChildExit ended = common::wait_child(-1);
    const auto child = running.find(ended.pid);
    if (child == running.end()) continue;
    statuses[child->second] = ended.status;
    finished(child->second, statuses[child->second]);
    running.erase(child);
  }
  return statuses;
}

}  // namespace orvalt::bench
