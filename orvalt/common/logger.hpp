#pragma once

#include <memory>
#include <string>

#include <spdlog/logger.h>

namespace orvalt::common {

// Returns the named logger of a module ("orvalt.calibration.varnholt"), creating it on first
// use. All loggers share the sinks and level that a program entry configured; library code
// only logs through them and never configures anything.
std::shared_ptr<spdlog::logger> logger(const std::string& name);

// Program entries only. Sends every logger's lines to standard error at the given level.
void configure_console_logging(spdlog::level::level_enum level = spdlog::level::info);

// Program entries only. Also writes every line the console gets to `path` (appending).
// Returns false, after logging one warning, when the file cannot be opened.
bool add_log_file(const std::string& path);

// Parses a level name (DEBUG, INFO, WARNING, ERROR, CRITICAL; any case).
// Throws std::invalid_argument for any other text.
spdlog::level::level_enum parse_log_level(const std::string& name);

}  // namespace orvalt::common
