#include "orvalt/simulation/ground_truth.hpp"

#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "orvalt/calibration/utils/transform_utils.hpp"
#include "orvalt/common/angles.hpp"
#include "orvalt/common/file_not_found_error.hpp"
#include "orvalt/testing/eigen_matchers.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::simulation {
namespace {

using Json = nlohmann::ordered_json;
using ::testing::ElementsAre;

class GroundTruthTest : public ::testing::Test {
 protected:
  GroundTruthTest() {
    options_.output = (directory_ / "bag").string();
    options_.duration = 3.0;
    options_.noise.depth_dropout = 0.002;
    std::filesystem::create_directories(options_.output);
    simulation_ = std::make_unique<Simulation>(options_);
    summary_.directory = options_.output;
    summary_.topics["/tf"] = {151, 4.5};
    write_ground_truth(*simulation_, summary_);
    std::ifstream in(directory_ / "bag" / kGroundTruthFile);
    json_ = Json::parse(in);
  }

  orvalt::testing::TempDir directory_;
  SimulationOptions options_;
  std::unique_ptr<Simulation> simulation_;
  RecordingSummary summary_;
  Json json_;
};

// The true extrinsic comes first, under the keys of calibration_result.json in its order, so
// that a result and the truth read alike.
TEST_F(GroundTruthTest, TrueExtrinsicHasTheCalibrationResultLayout) {
  std::vector<std::string> keys;
  for (const auto& item : json_.items()) keys.push_back(item.key());
  keys.resize(7);
  EXPECT_THAT(keys, ElementsAre("vec6", "rotation", "translation", "rotation_euler", "rotation_deg",
                                "rotation_quat", "extrinsic_matrix_4x4"));
  calibration::Vector6d vec6;
  for (int i = 0; i < 6; ++i) vec6[i] = json_["vec6"][i].get<double>();
  for (int i = 0; i < 6; ++i) EXPECT_EQ(vec6[i], options_.extrinsic[i]);
  const Eigen::Matrix4d matrix = calibration::TransformUtils::vector6_to_transform_matrix(vec6);
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      EXPECT_EQ(json_["extrinsic_matrix_4x4"][r][c].get<double>(), matrix(r, c));
    }
  }
  for (int r = 0; r < 3; ++r) {
    EXPECT_EQ(json_["translation"][r].get<double>(), matrix(r, 3));
    EXPECT_NEAR(json_["rotation_deg"][r].get<double>(), common::rad_to_deg(vec6[r]), 1e-9);
  }
  const double w = json_["rotation_quat"][0].get<double>();
  EXPECT_NEAR(w, Eigen::Quaterniond(Eigen::Matrix3d(matrix.topLeftCorner<3, 3>())).w(), 1e-12);
  // Indented by 4, one array element per line, as the result file.
  std::ifstream in(directory_ / "bag" / kGroundTruthFile);
  std::string first, second;
  std::getline(in, first);
  std::getline(in, first);
  std::getline(in, second);
  EXPECT_EQ(first, "    \"vec6\": [");
  EXPECT_EQ(second.substr(0, 9), "        0");
}

TEST_F(GroundTruthTest, RecordsEverySettingNeededToReproduceIt) {
  EXPECT_EQ(json_["seed"].get<std::uint64_t>(), options_.seed);
  EXPECT_EQ(json_["noise"]["depth_dropout"].get<double>(), 0.002);
  EXPECT_EQ(json_["topics"]["/tf"]["mean_delay_ms"].get<double>(), 4.5);
  EXPECT_EQ(json_["nominal_extrinsic"]["vec6"][5].get<double>(), 0.146);
  // Every tag corner in the world, as the board class places it.
  const auto& corner = json_["board"]["tags"][7]["corners_world_m"][2];
  const Eigen::Vector3d expected = simulation_->scene().board().tags()[7].corners[2];
  for (int i = 0; i < 3; ++i) EXPECT_EQ(corner[i].get<double>(), expected[i]);
}

TEST_F(GroundTruthTest, ReadsBackFromTheFileOrItsDirectory) {
  for (const auto& path : {directory_ / "bag", directory_ / "bag" / kGroundTruthFile}) {
    const GroundTruth truth = read_ground_truth(path);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(truth.vec6[i], options_.extrinsic[i]);
    EXPECT_THAT(truth.extrinsic_matrix,
                testing::EigenNear(simulation_->base_from_camera().matrix(), 0.0));
    EXPECT_EQ(truth.intrinsics.cy, options_.intrinsics.cy);
    EXPECT_EQ(truth.intrinsics.width, 640);
    EXPECT_EQ(truth.seed, options_.seed);
  }
}

// Recordings without latency keep the file they always had; older files read as without.
TEST_F(GroundTruthTest, CameraLatencyIsRecordedWhereThereIsOne) {
  EXPECT_FALSE(json_.contains("camera_latency_ms"));
  EXPECT_EQ(read_ground_truth(directory_ / "bag").camera_latency_ms, 0.0);

  SimulationOptions late = options_;
  late.camera_latency_ms = 35.5;
  summary_.directory = directory_ / "late";
  std::filesystem::create_directories(summary_.directory);
  write_ground_truth(Simulation(late), summary_);
  std::ifstream in(summary_.directory / kGroundTruthFile);
  EXPECT_EQ(Json::parse(in)["camera_latency_ms"].get<double>(), 35.5);
  EXPECT_EQ(read_ground_truth(summary_.directory).camera_latency_ms, 35.5);

  std::ofstream(directory_ / "text.json") << "{\"camera_latency_ms\": \"late\"}";
  EXPECT_THROW(read_ground_truth(directory_ / "text.json"), std::runtime_error);
}

TEST_F(GroundTruthTest, MissingOrMalformedFilesAreReported) {
  EXPECT_THROW(read_ground_truth(directory_ / "nowhere.json"), common::FileNotFoundError);
  std::ofstream(directory_ / "broken.json") << "{\"vec6\": [1, 2]}";
  EXPECT_THROW(read_ground_truth(directory_ / "broken.json"), std::runtime_error);
  std::ofstream(directory_ / "garbage.json") << "not json";
  EXPECT_THROW(read_ground_truth(directory_ / "garbage.json"), std::runtime_error);
}

}  // namespace
}  // namespace orvalt::simulation
