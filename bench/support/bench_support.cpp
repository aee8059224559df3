#include "bench/support/bench_support.hpp"

#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "orvalt/common/child_process.hpp"

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
  common::ChildCommand command;
  command.arguments = {program.string()};
  command.arguments.insert(command.arguments.end(), args.begin(), args.end());
  command.output = log;
  // The child runs in this process's memory until it execs, and exec hands the peak of that
  // memory on as the child's own: without the reset, the child's peak would be this
  // process's, from images it held long before.
  reset_peak_resident_bytes();
  const auto start = Clock::now();
  const common::ChildExit exit = common::run_child(command);
  ProgramRun run;
  run.wall_seconds = seconds_since(start);
  run.status = exit.status;
  run.cpu_seconds = exit.cpu_seconds;
  run.peak_bytes = exit.peak_bytes;
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
