#pragma once

#include <string>

namespace orvalt::common {

// ASCII case only: names, encodings and file extensions are ASCII, and the C locale keeps the
// result independent of the user's settings.
std::string lower(std::string text);
std::string upper(std::string text);

bool ends_with(const std::string& text, const std::string& suffix);

}  // namespace orvalt::common
