#include "orvalt/common/progress_bar.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

namespace orvalt::common {
namespace {

std::string clock_text(double seconds) {
  const long total = std::lround(std::max(0.0, seconds));
  if (total >= 3600) {
    return fmt::format("{}:{:02d}:{:02d}", total / 3600, (total / 60) % 60, total % 60);
  }
  return fmt::format("{:02d}:{:02d}", total / 60, total % 60);
}

constexpr int kBarWidth = 30;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

}  // namespace

ProgressBar::ProgressBar(std::string label, std::optional<std::size_t> total)
    : label_(std::move(label)),
      total_(total),
      enabled_(isatty(fileno(stderr)) == 1),
      start_(std::chrono::steady_clock::now()),
      last_draw_(start_) {
  if (enabled_) draw();
}

ProgressBar::~ProgressBar() { finish(); }

void ProgressBar::update(std::size_t steps) {
  count_ += steps;
  if (!enabled_ || finished_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - last_draw_ >= kRedrawInterval) {
    last_draw_ = now;
    draw();
  }
}

void ProgressBar::finish() {
  if (finished_) return;
  finished_ = true;
  if (!enabled_) return;
  draw();
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

void ProgressBar::draw() {
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  std::fprintf(stderr, "\r%s", render(label_, total_, count_, elapsed).c_str());
  std::fflush(stderr);
}

std::string ProgressBar::render(const std::string& label, std::optional<std::size_t> total,
                                std::size_t count, double elapsed_seconds) {
  const double rate = elapsed_seconds > 0 ? static_cast<double>(count) / elapsed_seconds : 0.0;
  if (!total || *total == 0) {
    return fmt::format("{}: {}it [{}, {:.1f}it/s]", label, count, clock_text(elapsed_seconds),
                       rate);
  }
  const double fraction = std::min(1.0, static_cast<double>(count) / static_cast<double>(*total));
  const int filled = static_cast<int>(fraction * kBarWidth);
  const double remaining =
      rate > 0 ? static_cast<double>(*total - std::min(count, *total)) / rate : 0.0;
  return fmt::format("{}: {:3d}%|{}{}| {}/{} [{}<{}, {:.1f}it/s]", label,
                     static_cast<int>(fraction * 100), std::string(filled, '#'),
                     std::string(kBarWidth - filled, ' '), count, *total,
                     clock_text(elapsed_seconds), clock_text(remaining), rate);
}

}  // namespace orvalt::common
