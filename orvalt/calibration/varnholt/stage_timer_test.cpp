#include "orvalt/calibration/varnholt/stage_timer.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvalt/testing/log_capture.hpp"

namespace orvalt::calibration {
namespace {

using ::testing::ElementsAre;
using ::testing::MatchesRegex;

TEST(StageTimerTest, EachStageRunsFromThePreviousMarkAndTheTotalFromTheStart) {
  TimeDict time_dict = new_time_dict();
  testing::LogCapture log("orvalt.calibration.varnholt");
  StageTimer timer(time_dict);
  timer.finish_stage("parser_time", "Parser bag data", "Parser data");
  timer.finish_stage("optimizer_time", "Run optimizer", "Run optimizer", spdlog::level::info);
  const double total = timer.finish_total();

  const double parser = time_entry(time_dict, "parser_time");
  const double optimizer = time_entry(time_dict, "optimizer_time");
  EXPECT_GE(parser, 0.0);
  EXPECT_GE(optimizer, 0.0);
  EXPECT_EQ(time_entry(time_dict, "total_time"), total);
  EXPECT_GE(total, parser + optimizer);
  EXPECT_EQ(time_entry(time_dict, "load_sensor_time"), 0.0);  // a stage not timed stays 0

  EXPECT_THAT(log.messages(spdlog::level::info),
              ElementsAre(MatchesRegex("Run optimizer time: [0-9]+\\.[0-9]{4} s")));
  EXPECT_THAT(log.messages(spdlog::level::debug),
              ElementsAre(MatchesRegex("Parser bag data time: [0-9]+\\.[0-9]{4} s"),
                          "**********Parser data done**********\n",
                          "**********Run optimizer done**********\n",
                          MatchesRegex("Total calibration time: [0-9]+\\.[0-9]{2} seconds")));
}

TEST(StageTimerTest, AnUnknownStageIsRefused) {
  TimeDict time_dict = new_time_dict();
  StageTimer timer(time_dict);
  EXPECT_THROW(timer.finish_stage("nap_time", "Nap", "Nap"), std::out_of_range);
}

}  // namespace
}  // namespace orvalt::calibration
