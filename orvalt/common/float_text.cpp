#include "orvalt/common/float_text.hpp"

#include <fmt/format.h>

namespace orvalt::common {

std::string float_text(double value) {
  // fmt's default presentation is the shortest round-trip form with Python's exponent
  // thresholds; only the ".0" of integral values differs.
  std::string text = fmt::format("{}", value);
  if (text.find_first_of(".eni") == std::string::npos) text += ".0";
  return text;
}

}  // namespace orvalt::common
