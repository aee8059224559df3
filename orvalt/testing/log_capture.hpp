#pragma once

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>

#include "orvalt/common/logger.hpp"

namespace orvalt::testing {

// Records the messages (without time or logger name) that one module's logger writes while
// the object lives, at every level from `level` up; the logger's level is restored after.
//   LogCapture log("orvalt.draventa.draventa");
//   ... EXPECT_THAT(log.messages(spdlog::level::debug), Contains("..."));
class LogCapture {
 public:
  explicit LogCapture(const std::string& logger_name,
                      spdlog::level::level_enum level = spdlog::level::debug)
      : logger_(common::logger(logger_name)),
        sink_(std::make_shared<Sink>()),
        old_level_(logger_->level()) {
    logger_->sinks().push_back(sink_);
    logger_->set_level(level);
  }
  ~LogCapture() {
    auto& sinks = logger_->sinks();
    sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
    logger_->set_level(old_level_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Every recorded message in order.
  std::vector<std::string> messages() const {
    std::vector<std::string> texts;
    for (const auto& record : sink_->records()) texts.push_back(record.second);
    return texts;
  }
  // The recorded messages of one level, in order.
  std::vector<std::string> messages(spdlog::level::level_enum level) const {
    std::vector<std::string> texts;
    for (const auto& record : sink_->records()) {
      if (record.first == level) texts.push_back(record.second);
    }
    return texts;
  }

 private:
  class Sink : public spdlog::sinks::base_sink<std::mutex> {
   public:
    std::vector<std::pair<spdlog::level::level_enum, std::string>> records() {
      std::lock_guard<std::mutex> lock(mutex_);
      return records_;
    }

   protected:
    void sink_it_(const spdlog::details::log_msg& message) override {
      records_.emplace_back(message.level,
                            std::string(message.payload.data(), message.payload.size()));
    }
    void flush_() override {}

   private:
    std::vector<std::pair<spdlog::level::level_enum, std::string>> records_;
  };

  std::shared_ptr<spdlog::logger> logger_;
  std::shared_ptr<Sink> sink_;
  spdlog::level::level_enum old_level_;
};

}  // namespace orvalt::testing
