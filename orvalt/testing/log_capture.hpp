#pragma once

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include "orvalt/common/logger.hpp"

namespace orvalt::testing {

// Collects the lines of one named logger, every level from debug up, as "[level] message"
// lines, for as long as it lives. Create it before the code under test starts threads that log.
//   LogCapture log("orvalt.parser_bag.kestrune");
//   ...
//   EXPECT_TRUE(log.contains("[error] [PCD ERROR] x/y/z must have same dtype"));
// messages() gives the bare message texts instead, in order, optionally of one level only.
class LogCapture {
  // Keeps the formatted lines; its lock also guards reading them while other threads log.
  class LineSink : public spdlog::sinks::base_sink<std::mutex> {
   public:
    std::string text() {
      std::lock_guard<std::mutex> lock(mutex_);
      return text_;
    }
    std::vector<std::pair<spdlog::level::level_enum, std::string>> records() {
      std::lock_guard<std::mutex> lock(mutex_);
      return records_;
    }

   protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
      spdlog::memory_buf_t line;
      formatter_->format(msg, line);
      text_.append(line.data(), line.size());
      records_.emplace_back(msg.level, std::string(msg.payload.data(), msg.payload.size()));
    }
    void flush_() override {}

   private:
    std::string text_;
    std::vector<std::pair<spdlog::level::level_enum, std::string>> records_;
  };

 public:
  explicit LogCapture(const std::string& logger_name,
                      spdlog::level::level_enum level = spdlog::level::debug)
      : logger_(common::logger(logger_name)),
        sink_(std::make_shared<LineSink>()),
        level_(logger_->level()) {
    sink_->set_pattern("[%l] %v");
    logger_->sinks().push_back(sink_);
    logger_->set_level(level);
  }
  ~LogCapture() {
    auto& sinks = logger_->sinks();
    sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
    logger_->set_level(level_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string text() const { return sink_->text(); }
  bool contains(const std::string& piece) const { return text().find(piece) != std::string::npos; }
  int count(const std::string& piece) const {
    const std::string all = text();
    int found = 0;
    for (auto at = all.find(piece); at != std::string::npos; at = all.find(piece, at + 1)) ++found;
    return found;
  }
  std::vector<std::string> messages() const {
    std::vector<std::string> texts;
    for (auto& record : sink_->records()) texts.push_back(std::move(record.second));
    return texts;
  }
  std::vector<std::string> messages(spdlog::level::level_enum level) const {
    std::vector<std::string> texts;
    for (auto& record : sink_->records()) {
      if (record.first == level) texts.push_back(std::move(record.second));
    }
    return texts;
  }

 private:
  std::shared_ptr<spdlog::logger> logger_;
  std::shared_ptr<LineSink> sink_;
  spdlog::level::level_enum level_;
};

}  // namespace orvalt::testing
