#include "orvalt/calibration/varnholt/run_loop.hpp"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "orvalt/testing/log_capture.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::calibration {
namespace {

namespace fs = std::filesystem;

struct Call {
  std::string bag_dir;
  std::string parser_output_dir;
};

class RunLoopTest : public ::testing::Test {
 protected:
  RunLoopTest() {
    settings_.bag_datasets_dir = (dir_ / "datasets").string();
    settings_.parser_output_dir = (dir_ / "out").string();
    fs::create_directories(settings_.bag_datasets_dir);
  }

  std::vector<TimeDict> run() {
    return run_datasets(settings_, [this](RunSettings& settings) {
      calls_.push_back({*settings.bag_dir, settings.parser_output_dir});
      TimeDict time_dict = new_time_dict();
      time_entry(time_dict, "total_time") = static_cast<double>(calls_.size());
      return time_dict;
    });
  }

  testing::TempDir dir_;
  RunSettings settings_;
  std::vector<Call> calls_;
};

TEST_F(RunLoopTest, EveryDatasetRunsCalibNumTimesInItsOwnDirectories) {
  fs::create_directories(dir_ / "datasets" / "A");
  fs::create_directories(dir_ / "datasets" / "B");
  settings_.calib_num = 2;
  testing::LogCapture log("orvalt.calibration.varnholt");
  const auto results = run();
  ASSERT_EQ(results.size(), 4u);
  // Listing order is the platform's; each dataset's repetitions follow each other.
  std::vector<std::string> listed;
  for (const auto& entry : fs::directory_iterator(dir_ / "datasets")) {
    listed.push_back(entry.path().filename().string());
  }
  ASSERT_EQ(calls_.size(), 4u);
  for (int run = 0; run < 4; ++run) {
    const std::string& dataset = listed[run / 2];
    EXPECT_EQ(calls_[run].bag_dir, (dir_ / "datasets" / dataset).string());
    EXPECT_EQ(calls_[run].parser_output_dir,
              (dir_ / "out" / dataset / ("calib_" + std::to_string(run % 2))).string());
  }
  EXPECT_EQ(log.count("[info] Start calibration 0"), 2);
  EXPECT_EQ(log.count("[info] Start calibration 1"), 2);
  EXPECT_TRUE(log.contains("[info] Calibration done, 4 datasets, 2 times each dataset"));
}

TEST_F(RunLoopTest, PlainFilesAreDatasetsToo) {
  std::ofstream(dir_ / "datasets" / "notes.txt") << "x";
  EXPECT_EQ(run().size(), 1u);
  EXPECT_EQ(calls_[0].bag_dir, (dir_ / "datasets" / "notes.txt").string());
}

TEST_F(RunLoopTest, NoDatasetsOrNoRepetitionsRunNothing) {
  testing::LogCapture log("orvalt.calibration.varnholt");
  EXPECT_TRUE(run().empty());
  EXPECT_TRUE(log.contains("[info] Calibration done, 0 datasets, 1 times each dataset"));
  fs::create_directories(dir_ / "datasets" / "A");
  settings_.calib_num = 0;
  EXPECT_TRUE(run().empty());
  EXPECT_TRUE(calls_.empty());
}

TEST_F(RunLoopTest, AFailedRunEndsTheLoop) {
  fs::create_directories(dir_ / "datasets" / "A");
  fs::create_directories(dir_ / "datasets" / "B");
  int calls = 0;
  EXPECT_THROW(run_datasets(settings_,
                            [&calls](RunSettings&) -> TimeDict {
                              ++calls;
                              throw std::invalid_argument("Data parsing error, exiting");
                            }),
               std::invalid_argument);
  EXPECT_EQ(calls, 1);
}

TEST_F(RunLoopTest, MissingDatasetsDirectoryFailsBeforeAnyRun) {
  settings_.bag_datasets_dir = (dir_ / "missing").string();
  EXPECT_THROW(run(), fs::filesystem_error);
  EXPECT_TRUE(calls_.empty());
}

TEST(TimeStatisticsTest, MeanMaximumAndMinimumPerStage) {
  TimeDict first = new_time_dict(), second = new_time_dict();
  time_entry(first, "parser_time") = 1.0;
  time_entry(second, "parser_time") = 2.0;
  time_entry(first, "total_time") = 3.004;
  const auto lines = time_statistics({first, second});
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[0],
            "=============parser_time : avg time: 1.50(s), max time: 2.00(s), min time: 1.00(s)");
  EXPECT_EQ(lines[7],
            "=============total_time : avg time: 1.50(s), max time: 3.00(s), min time: 0.00(s)");
  EXPECT_EQ(time_statistics({first})[7],
            "=============total_time : avg time: 3.00(s), max time: 3.00(s), min time: 3.00(s)");
  EXPECT_TRUE(time_statistics({}).empty());
}

TEST(TimeDictTest, StagesInOrder) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : new_time_dict()) {
    keys.push_back(key);
    EXPECT_EQ(value, 0.0);
  }
  EXPECT_EQ(keys, (std::vector<std::string>{
                      "parser_time", "init_apriltag_time", "init_pose_estimator_time",
                      "load_sensor_time", "compute_odom_camera_motion_transforms_time",
                      "optimizer_time", "save_calibration_result_time", "total_time"}));
  TimeDict time_dict = new_time_dict();
  EXPECT_THROW(time_entry(time_dict, "nap_time"), std::out_of_range);
}

}  // namespace
}  // namespace orvalt::calibration
