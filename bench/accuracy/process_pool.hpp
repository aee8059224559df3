#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace orvalt::bench {

// A program to run as a child process, its standard output and error going to `log`.
struct ChildCommand {
  std::vector<std::string> arguments;  // the program's path first
  std::filesystem::path log;
};

// Runs the commands, at most `parallel` at a time, in order of their start; calls `finished`
// with a command's index and exit status (128 + signal number when a signal ended it) as each
// ends. Returns the statuses in command order. Throws std::runtime_error when a process cannot
// be started.
std::vector<int> run_commands(const std::vector<ChildCommand>& commands, int parallel,
                              const std::function<void(std::size_t, int)>& finished);

}  // namespace orvalt::bench
