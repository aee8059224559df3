#include "orvalt/common/json_text.hpp"

#include <cmath>

#include <nlohmann/json.hpp>

#include "orvalt/common/float_text.hpp"

namespace orvalt::common {
namespace {

using Json = nlohmann::ordered_json;

void append(const Json& value, int indent, int depth, std::string& out) {
  const bool is_object = value.is_object();
  if (is_object || value.is_array()) {
    if (value.empty()) {
      out += is_object ? "{}" : "[]";
      return;
    }
    const std::string inner(static_cast<std::size_t>(indent * (depth + 1)), ' ');
    out += is_object ? "{\n" : "[\n";
    bool first = true;
    for (auto item = value.begin(); item != value.end(); ++item) {
      if (!first) out += ",\n";
      first = false;
      out += inner;
      if (is_object) out += Json(item.key()).dump() + ": ";
      append(item.value(), indent, depth + 1, out);
    }
    out += "\n" + std::string(static_cast<std::size_t>(indent * depth), ' ');
    out += is_object ? "}" : "]";
    return;
  }
  if (value.is_number_float()) {
    const double number = value.get<double>();
    out += std::isfinite(number) ? float_text(number) : "null";
    return;
  }
  out += value.dump();
}

}  // namespace

std::string json_text(const nlohmann::ordered_json& value, int indent) {
  std::string out;
  append(value, indent, 0, out);
  return out;
}

}  // namespace orvalt::common
