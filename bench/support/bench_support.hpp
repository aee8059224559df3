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
