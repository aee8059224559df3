#include "bench/accuracy/process_pool.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <stdexcept>

extern char** environ;

namespace orvalt::bench {
namespace {

pid_t start(const ChildCommand& command) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, command.log.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  std::vector<char*> argv;
  for (const std::string& argument : command.arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    throw std::runtime_error("Cannot start " + command.arguments.front() + ": " +
                             std::strerror(error));
  }
  return pid;
}

int exit_status(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return 1;
}

}  // namespace

std::vector<int> run_commands(const std::vector<ChildCommand>& commands, int parallel,
                              const std::function<void(std::size_t, int)>& finished) {
  std::vector<int> statuses(commands.size(), 0);
  std::map<pid_t, std::size_t> running;
  std::size_t next = 0;
  while (next < commands.size() || !running.empty()) {
    while (next < commands.size() && static_cast<int>(running.size()) < std::max(parallel, 1)) {
      running[start(commands[next])] = next;
      ++next;
    }
    int wait_status = 0;
    const pid_t pid = waitpid(-1, &wait_status, 0);
    if (pid < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error(std::string("waitpid failed: ") + std::strerror(errno));
    }
    const auto child = running.find(pid);
    if (child == running.end()) continue;
    statuses[child->second] = exit_status(wait_status);
    finished(child->second, statuses[child->second]);
    running.erase(child);
  }
  return statuses;
}

}  // namespace orvalt::bench
