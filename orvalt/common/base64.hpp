#pragma once

#include <string>
#include <string_view>

namespace orvalt::common {

// `bytes` in the standard Base64 alphabet with "=" padding (RFC 4648, section 4), as data URIs
// carry binary content.
std::string base64(std::string_view bytes);

}  // namespace orvalt::common
