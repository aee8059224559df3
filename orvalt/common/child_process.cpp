#include "orvalt/common/child_process.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace orvalt::common {
namespace {

// Owns the spawn actions, so that every way out of start_child releases them.
class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;

  void write_to(int descriptor, const std::filesystem::path& path) {
    posix_spawn_file_actions_addopen(&actions_, descriptor, path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  void same_as(int descriptor, int target) {
    posix_spawn_file_actions_adddup2(&actions_, target, descriptor);
  }
  void change_directory(const std::filesystem::path& directory) {
    posix_spawn_file_actions_addchdir_np(&actions_, directory.c_str());
  }
  const posix_spawn_file_actions_t* get() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

double seconds(const timeval& time) {
  return static_cast<double>(time.tv_sec) + 1e-6 * static_cast<double>(time.tv_usec);
}

}  // namespace

pid_t start_child(const ChildCommand& command) {
  if (command.arguments.empty()) throw std::invalid_argument("A child command needs a program");
  SpawnActions actions;
  // The directory change comes first: relative output paths then name files in it, as they
  // would for a shell's `cd dir && program > file`.
  if (!command.working_dir.empty()) actions.change_directory(command.working_dir);
  if (!command.output.empty()) {
    actions.write_to(STDOUT_FILENO, command.output);
    if (command.errors.empty()) actions.same_as(STDERR_FILENO, STDOUT_FILENO);
  }
  if (!command.errors.empty()) actions.write_to(STDERR_FILENO, command.errors);
  std::vector<char*> argv;
  for (const std::string& argument : command.arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int error = posix_spawn(&pid, argv[0], actions.get(), nullptr, argv.data(), environ);
  if (error != 0) {
    throw std::runtime_error("Cannot start " + command.arguments.front() + ": " +
                             std::strerror(error));
  }
  return pid;
}

ChildExit wait_child(pid_t pid) {
  int wait_status = 0;
  rusage usage{};
  pid_t ended = -1;
  do {
    ended = wait4(pid, &wait_status, 0, &usage);
  } while (ended < 0 && errno == EINTR);
  if (ended < 0) throw std::runtime_error(std::string("Waiting failed: ") + std::strerror(errno));
  ChildExit exit;
  exit.pid = ended;
  if (WIFEXITED(wait_status)) {
    exit.status = WEXITSTATUS(wait_status);
  } else if (WIFSIGNALED(wait_status)) {
    exit.status = 128 + WTERMSIG(wait_status);
  }
  exit.cpu_seconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  exit.peak_bytes = static_cast<double>(usage.ru_maxrss) * 1024.0;
  return exit;
}

ChildExit run_child(const ChildCommand& command) { return wait_child(start_child(command)); }

}  // namespace orvalt::common
