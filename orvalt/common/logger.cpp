#include "orvalt/common/logger.hpp"

#include <mutex>
#include <stdexcept>

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include "orvalt/common/strings.hpp"

namespace orvalt::common {
namespace {

// One fan-out sink shared by every logger, so that a program can add the console and a log
// file after libraries have already created their loggers.
std::shared_ptr<spdlog::sinks::dist_sink_mt> shared_sink() {
  static const auto sink = std::make_shared<spdlog::sinks::dist_sink_mt>();
  return sink;
}

std::mutex& registry_mutex() {
  static std::mutex mutex;
  return mutex;
}

constexpr const char* kPattern = "[%Y-%m-%d %H:%M:%S.%e] [%n] [%l] %v";

}  // namespace

std::shared_ptr<spdlog::logger> logger(const std::string& name) {
  std::lock_guard<std::mutex> lock(registry_mutex());
  if (auto existing = spdlog::get(name)) {
    return existing;
  }
  auto created = std::make_shared<spdlog::logger>(name, shared_sink());
  spdlog::initialize_logger(created);
  return created;
}

void configure_console_logging(spdlog::level::level_enum level) {
  auto console = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
  console->set_pattern(kPattern);
  shared_sink()->add_sink(console);
  spdlog::set_level(level);
}

bool add_log_file(const std::string& path) {
  try {
    auto file = std::make_shared<spdlog::sinks::basic_file_sink_mt>(path);
    file->set_pattern(kPattern);
    shared_sink()->add_sink(file);
    return true;
  } catch (const spdlog::spdlog_ex& error) {
    logger("orvalt.common")->warn("Cannot open log file {}: {}", path, error.what());
    return false;
  }
}

spdlog::level::level_enum parse_log_level(const std::string& name) {
  const std::string level = upper(name);
  if (level == "DEBUG") return spdlog::level::debug;
  if (level == "INFO") return spdlog::level::info;
  if (level == "WARNING" || level == "WARN") return spdlog::level::warn;
  if (level == "ERROR") return spdlog::level::err;
  if (level == "CRITICAL") return spdlog::level::critical;
  throw std::invalid_argument("Unknown log level: " + name +
                              " (use DEBUG, INFO, WARNING, ERROR or CRITICAL)");
}

}  // namespace orvalt::common
