#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "orvalt/common/child_process.hpp"

namespace orvalt::bench {

// Runs the commands, at most `parallel` at a time, in order of their start; calls `finished`
// with a command's index and exit status (128 + signal number when a signal ended it) as each
// ends. Returns the statuses in command order. Throws std::runtime_error when a process cannot
// be started.
std::vector<int> run_commands(const std::vector<common::ChildCommand>& commands, int parallel,
                              const std::function<void(std::size_t, int)>& finished);

}  // namespace orvalt::bench
