#pragma once

#include <string>

#include <nlohmann/json_fwd.hpp>

namespace orvalt::common {

// `value` as nlohmann's dump(indent) writes it (keys in their order, `indent` spaces per
// level, one array element per line, non-ASCII text as it is), except that every float is
// written by float_text, in its shortest round-trip form: nlohmann's own digits are not always
// the shortest (0.15113095 comes out as 0.15113094999999999). Non-finite floats are null.
std::string json_text(const nlohmann::ordered_json& value, int indent = 4);

}  // namespace orvalt::common
