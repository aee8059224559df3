#include "orvalt/ros2/time_span.hpp"

#include <stdexcept>

namespace orvalt::ros2 {

std::int64_t time_span(std::int64_t first, std::int64_t last, const std::string& where) {
  std::int64_t span = 0;
  if (__builtin_sub_overflow(last, first, &span)) {
    throw std::runtime_error(where + ": message timestamps from " + std::to_string(first) +
                             " ns to " + std::to_string(last) +
                             " ns span more than the 292 years a bag can hold; the timestamps "
                             "are corrupt");
  }
  return span;
}

}  // namespace orvalt::ros2
