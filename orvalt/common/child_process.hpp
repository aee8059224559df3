#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace orvalt::common {

// A program to run as a child process. The arguments reach it exactly as given, never through a
// shell, so paths with spaces or quotes need no escaping.
struct ChildCommand {
  std::vector<std::string> arguments;  // the program's path first
  std::filesystem::path output;        // standard output and error; empty: the parent's
  std::filesystem::path errors;        // standard error apart from `output`; empty: with it
  std::filesystem::path working_dir;   // empty: the parent's
};

// How a child ended: its exit status (128 + the signal number when a signal ended it, as a
// shell reports it), processor seconds (user and system) and peak resident bytes.
struct ChildExit {
  pid_t pid = -1;
  int status = -1;
  double cpu_seconds = 0;
  double peak_bytes = 0;
};

// Starts `command` without waiting for it. Throws std::runtime_error, naming the program, when
// it cannot be started (missing, not executable, an output file that cannot be opened).
pid_t start_child(const ChildCommand& command);

// Waits for the child `pid`, or for whichever child ends first with -1.
// Throws std::runtime_error when there is no such child.
ChildExit wait_child(pid_t pid);

// start_child and wait_child in one.
ChildExit run_child(const ChildCommand& command);

}  // namespace orvalt::common
