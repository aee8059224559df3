#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>

namespace orvalt::common {

// A console progress bar for long loops, drawn on standard error only when it is a terminal:
// "Label:  42%|#####     | 42/100 [00:03<00:04, 12.3it/s]", or "Label: 42it [00:03, 12.3it/s]"
// without a total. Redraws at most ten times a second so that it costs nothing in hot loops.
class ProgressBar {
 public:
  ProgressBar(std::string label, std::optional<std::size_t> total);
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void update(std::size_t steps = 1);
  // Draws the final state and ends the line; later calls do nothing.
  void finish();

  std::size_t count() const { return count_; }

  // The line as drawn after `count` steps and `elapsed_seconds`; exposed for tests.
  static std::string render(const std::string& label, std::optional<std::size_t> total,
                            std::size_t count, double elapsed_seconds);

 private:
  void draw();

  std::string label_;
  std::optional<std::size_t> total_;
  std::size_t count_ = 0;
  bool enabled_;
  bool finished_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace orvalt::common
