// Runs simulate_recording as a user does.

#include <fstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "orvalt/common/angles.hpp"
#include "orvalt/ros2/bag_reader.hpp"
#include "orvalt/simulation/ground_truth.hpp"
#include "orvalt/testing/program_run.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::simulation {
namespace {

using ::testing::HasSubstr;

using orvalt::testing::ProgramRun;

ProgramRun run(const std::filesystem::path& output, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"--output", output.string()});
  return orvalt::testing::run_program("simulate_recording", arguments);
}

TEST(SimulateRecordingTest, WritesABagWithItsGroundTruth) {
  // A space in the path, as in a user's "My Recordings" folder.
  const orvalt::testing::TempDir directory("orvalt simulate");
  const auto bag = directory / "bag";
  const ProgramRun result = run(bag, {"--duration",  "1.5",  "--noise",   "none",
                                      "--seed",      "7",    "--storage", "mcap",
                                      "--extrinsic", "1",    "2",         "3",
                                      "0.02",        "0.03", "0.15",      "--board_pose",
                                      "1.2",         "0.1",  "5",         "--camera_latency_ms",
                                      "30"});
  ASSERT_EQ(result.status, 0) << result.output;
  const ros2::BagReader reader(bag);
  EXPECT_EQ(reader.info().storage_identifier, "mcap");
  EXPECT_EQ(reader.topics().size(), 6u);
  const GroundTruth truth = read_ground_truth(bag);
  EXPECT_EQ(truth.seed, 7u);
  EXPECT_NEAR(truth.vec6[2], common::deg_to_rad(3.0), 1e-15);
  EXPECT_EQ(truth.vec6[5], 0.15);
  std::ifstream in(bag / kGroundTruthFile);
  const auto json = nlohmann::json::parse(in);
  EXPECT_EQ(json["noise"]["image_noise"].get<double>(), 0.0);
  EXPECT_EQ(json["noise"]["odometry"]["yaw_noise"].get<double>(), 0.0);
  EXPECT_NEAR(json["board"]["yaw_rad"].get<double>(), common::deg_to_rad(5.0), 1e-15);
  EXPECT_EQ(json["board"]["position_m"][0].get<double>(), 1.2);
  EXPECT_EQ(json["camera_latency_ms"].get<double>(), 30.0);
}

TEST(SimulateRecordingTest, SingleSettingsOverrideThePresetAndTheTopics) {
  const orvalt::testing::TempDir directory;
  const auto bag = directory / "bag";
  const ProgramRun result =
      run(bag, {"--duration", "1", "--noise", "none", "--depth_noise", "3", "--odom_slip", "0.05",
                "--camera_depth_topic", "/camera/depth"});
  ASSERT_EQ(result.status, 0) << result.output;
  std::ifstream in(bag / kGroundTruthFile);
  const auto json = nlohmann::json::parse(in);
  EXPECT_EQ(json["noise"]["depth_noise_m"].get<double>(), 0.003);
  EXPECT_EQ(json["noise"]["odometry"]["slip"].get<double>(), 0.05);
  EXPECT_EQ(json["noise"]["image_blur_px"].get<double>(), 0.0);
  EXPECT_EQ(ros2::BagReader(bag).topics().count("/camera/depth"), 1u);
}

TEST(SimulateRecordingTest, BadArgumentsEndWithStatus2) {
  const orvalt::testing::TempDir directory;
  const std::vector<std::vector<std::string>> bad_arguments = {
      {"--duration", "abc"}, {"--no_such_option", "1"},      {"--duration", "-3"},
      {"--noise", "some"},   {"--extrinsic", "1", "2", "3"}, {"--trajectory", "zigzag"},
      {"--board_grid", "2"}, {"--camera_latency_ms", "-5"},  {"--camera_latency_ms", "1000"}};
  for (const auto& arguments : bad_arguments) {
    const ProgramRun result = run(directory / "bag", arguments);
    const std::string shown = ::testing::PrintToString(arguments);
    EXPECT_EQ(result.status, 2) << shown << "\n" << result.output;
    EXPECT_THAT(result.output, HasSubstr("usage: simulate_recording")) << shown;
    EXPECT_FALSE(std::filesystem::exists(directory / "bag")) << shown;
  }
}

TEST(SimulateRecordingTest, ExistingOutputEndsWithStatus1) {
  const orvalt::testing::TempDir directory;
  std::filesystem::create_directories(directory / "bag");
  const ProgramRun result = run(directory / "bag", {"--duration", "1"});
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(result.output, HasSubstr("already exists"));
}

}  // namespace
}  // namespace orvalt::simulation
