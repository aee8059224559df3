#include "bench/support/bench_support.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace orvalt::bench {

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

namespace {

double cpu_seconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// A "Name:   123 kB" line of /proc/self/status, in bytes.
double status_bytes(const std::string& name) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(name + ":", 0) == 0) return std::stod(line.substr(name.size() + 1)) * 1024.0;
  }
  throw std::runtime_error("No " + name + " in /proc/self/status");
}

}  // namespace

std::filesystem::path own_directory() {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

double resident_bytes() { return status_bytes("VmRSS"); }

double peak_resident_bytes() { return status_bytes("VmHWM"); }

void reset_peak_resident_bytes() {
  // "5" resets the peak resident size (Linux 4.0 and later).
  std::ofstream clear_refs("/proc/self/clear_refs");
  clear_refs << "5";
  clear_refs.flush();
  if (!clear_refs) throw std::runtime_error("Cannot reset the peak resident size");
}

ProgramRun run_program(const std::filesystem::path& program, const std::vector<std::string>& args,
                       const std::filesystem::path& log) {
  std::vector<std::string> words = {program.string()};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  const auto start = Clock::now();
  pid_t child = 0;
  const int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("Cannot start " + program.string());
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  ProgramRun run;
  run.wall_seconds = seconds_since(start);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  const auto seconds = [](const timeval& time) {
    return static_cast<double>(time.tv_sec) + 1e-6 * static_cast<double>(time.tv_usec);
  };
  run.cpu_seconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  run.peak_bytes = static_cast<double>(usage.ru_maxrss) * 1024.0;
  return run;
}

double thread_cpu_seconds() { return cpu_seconds(CLOCK_THREAD_CPUTIME_ID); }

double process_cpu_seconds() { return cpu_seconds(CLOCK_PROCESS_CPUTIME_ID); }

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

ScratchDir::ScratchDir(const std::filesystem::path& parent, const std::string& prefix) {
  std::string pattern = (parent / (prefix + "_XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("Cannot create a temporary directory under " + parent.string());
  }
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace orvalt::bench
