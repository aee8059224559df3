#pragma once

#include <stdexcept>

namespace orvalt::common {

// A file or directory that an operation needs does not exist; what() names it.
class FileNotFoundError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace orvalt::common
