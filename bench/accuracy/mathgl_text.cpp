#include "bench/accuracy/mathgl_text.hpp"

#include <cstring>

namespace orvalt::bench {

std::string mathgl_literal(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    if (c != '\0' && std::strchr("\\_^@#{}", c) != nullptr) escaped += '\\';
    escaped += c;
  }
  return escaped;
}

}  // namespace orvalt::bench
