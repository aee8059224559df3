#include "orvalt/common/logger.hpp"

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include "orvalt/testing/file_contents.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::common {
namespace {

TEST(LoggerTest, SameNameGivesTheSameLogger) {
  EXPECT_EQ(logger("orvalt.test.a"), logger("orvalt.test.a"));
  EXPECT_NE(logger("orvalt.test.a"), logger("orvalt.test.b"));
  EXPECT_EQ(logger("orvalt.test.a")->name(), "orvalt.test.a");
}

TEST(LoggerTest, ParsesLevelNamesInAnyCase) {
  EXPECT_EQ(parse_log_level("DEBUG"), spdlog::level::debug);
  EXPECT_EQ(parse_log_level("info"), spdlog::level::info);
  EXPECT_EQ(parse_log_level("Warning"), spdlog::level::warn);
  EXPECT_EQ(parse_log_level("ERROR"), spdlog::level::err);
  EXPECT_THROW(parse_log_level("LOUD"), std::invalid_argument);
}

TEST(LoggerTest, LogFileGetsLinesOfLoggersCreatedBeforeAndAfter) {
  testing::TempDir dir;
  auto early = logger("orvalt.test.early");
  ASSERT_TRUE(add_log_file((dir / "run.log").string()));
  auto late = logger("orvalt.test.late");
  early->info("first {:.4f}", 0.5);
  late->warn("second");
  spdlog::apply_all([](const std::shared_ptr<spdlog::logger>& each) { each->flush(); });
  const std::string text = testing::read_text(dir / "run.log");
  EXPECT_NE(text.find("[orvalt.test.early] [info] first 0.5000"), std::string::npos);
  EXPECT_NE(text.find("[orvalt.test.late] [warning] second"), std::string::npos);
}

TEST(LoggerTest, UnwritableLogFileIsReportedNotThrown) {
  EXPECT_FALSE(add_log_file("/proc/no/such/dir/run.log"));
}

}  // namespace
}  // namespace orvalt::common
