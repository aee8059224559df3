#pragma once

#include <string>

namespace orvalt::bench {

// `text` escaped so that MathGL prints it as written: its text markup otherwise reads "_" and
// "^" as sub- and superscripts, "@" as smaller type, "#" as a colour switch, "{" "}" as groups
// and "\" as the start of a command.
std::string mathgl_literal(const std::string& text);

}  // namespace orvalt::bench
