#pragma once

#include <cstdint>
#include <string>

namespace orvalt::ros2 {

// Nanoseconds from `first` to `last` (first <= last). Bag timestamps are signed 64-bit
// nanoseconds, so a corrupt file can hold two whose distance does not fit in one: that is
// refused with a std::runtime_error that starts with `where` (a file or bag path).
std::int64_t time_span(std::int64_t first, std::int64_t last, const std::string& where);

}  // namespace orvalt::ros2
