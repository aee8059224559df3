#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "orvalt/calibration/utils/utils.hpp"
#include "orvalt/testing/program_run.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::visual {
namespace {

int run_ferrimond(const std::filesystem::path& input, const std::filesystem::path& output_dir) {
  return orvalt::testing::run_program(
             "ferrimond", {"--input", input.string(), "--output_dir", output_dir.string()})
      .status;
}

TEST(FerrimondProgramTest, PlotsTheNamedFileIntoTheNamedFolder) {
  orvalt::testing::TempDir dir;
  std::vector<calibration::PoseRow> rows(30);
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i].tx = 0.02 * static_cast<double>(i);
  calibration::Utils::save_pose_set_to_csv(rows, dir / "poses.csv");
  EXPECT_EQ(run_ferrimond(dir / "poses.csv", dir / "plots"), 0);
  EXPECT_TRUE(std::filesystem::exists(dir / "plots" / "robot_transform_2D.png"));
  EXPECT_TRUE(std::filesystem::exists(dir / "plots" / "robot_transform_axis.png"));
}

TEST(FerrimondProgramTest, MissingInputOrFolderParentFails) {
  orvalt::testing::TempDir dir;
  EXPECT_EQ(run_ferrimond(dir / "absent.csv", dir / "plots"), 1);
  EXPECT_EQ(run_ferrimond(dir / "absent.csv", dir / "a" / "b"), 1);
  EXPECT_FALSE(std::filesystem::exists(dir / "a"));
}

}  // namespace
}  // namespace orvalt::visual
