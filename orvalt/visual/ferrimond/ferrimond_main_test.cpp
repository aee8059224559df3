#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "orvalt/calibration/utils/utils.hpp"
#include "orvalt/testing/fixtures.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::visual {
namespace {

int run_ferrimond(const std::string& arguments) {
  const std::string command = "'" + (orvalt::testing::program_dir() / "ferrimond").string() + "' " +
                              arguments + " > /dev/null 2>&1";
  const int raw = std::system(command.c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

TEST(FerrimondProgramTest, PlotsTheNamedFileIntoTheNamedFolder) {
  orvalt::testing::TempDir dir;
  std::vector<calibration::PoseRow> rows(30);
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i].tx = 0.02 * static_cast<double>(i);
  calibration::Utils::save_pose_set_to_csv(rows, dir / "poses.csv");
  EXPECT_EQ(run_ferrimond("--input '" + (dir / "poses.csv").string() + "' --output_dir '" +
                          (dir / "plots").string() + "'"),
            0);
  EXPECT_TRUE(std::filesystem::exists(dir / "plots" / "robot_transform_2D.png"));
  EXPECT_TRUE(std::filesystem::exists(dir / "plots" / "robot_transform_axis.png"));
}

TEST(FerrimondProgramTest, MissingInputOrFolderParentFails) {
  orvalt::testing::TempDir dir;
  EXPECT_EQ(run_ferrimond("--input '" + (dir / "absent.csv").string() + "' --output_dir '" +
                          (dir / "plots").string() + "'"),
            1);
  EXPECT_EQ(run_ferrimond("--input '" + (dir / "absent.csv").string() + "' --output_dir '" +
                          (dir / "a" / "b").string() + "'"),
            1);
  EXPECT_FALSE(std::filesystem::exists(dir / "a"));
}

}  // namespace
}  // namespace orvalt::visual
