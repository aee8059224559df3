#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace orvalt::bench {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start);

// Processor seconds of the calling thread and of the whole process: on a shared machine wall
// time also counts other processes.
double thread_cpu_seconds();
double process_cpu_seconds();

// The middle value, or the mean of the two middle values of an even count.
double median(std::vector<double> values);

// The folder of the running program, where the other built programs sit too.
std::filesystem::path own_directory();

// Resident memory of this process now and its peak since start or the last
// reset_peak_resident_bytes(), in bytes (from /proc/self/status).
double resident_bytes();
double peak_resident_bytes();
// Lowers the peak to the current resident size, so that the next peak belongs to what follows.
void reset_peak_resident_bytes();

// A finished child process: exit status (128 + the signal number when one ended it), wall and
// processor (user and system) seconds, peak resident bytes (at least what this process held
// when it started the child).
struct ProgramRun {
  int status = -1;
  double wall_seconds = 0;
  double cpu_seconds = 0;
  double peak_bytes = 0;
};

// Runs `program` with `args`, standard output and error into `log`, and waits for it.
ProgramRun run_program(const std::filesystem::path& program, const std::vector<std::string>& args,
                       const std::filesystem::path& log);

// A fresh directory under `parent` whose name starts with `prefix`, removed with everything in
// it when the object goes out of scope.
class ScratchDir {
 public:
  ScratchDir(const std::filesystem::path& parent, const std::string& prefix);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace orvalt::bench
