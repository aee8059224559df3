#include "orvalt/calibration/utils/utils.hpp"

#include <fstream>
#include <stdexcept>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvalt/common/file_not_found_error.hpp"
#include "orvalt/testing/file_contents.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::calibration {
namespace {

using ::testing::HasSubstr;

using orvalt::testing::read_text;

void write_text(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path) << text;
}

TEST(UtilsTest, SavesSortedRowsWithNineDecimalsAndLoadsThemBack) {
  orvalt::testing::TempDir dir;
  const std::vector<PoseRow> unordered = {
      {1700000000200000000, 1.5, -2.25, 0.0, 0.0, 0.0, 0.7071067811865476, 0.7071067811865476},
      {1700000000100000000, 0.1234567891, 3.0, 0.01, 0.0, 0.0, 0.0, 1.0},
      {1700000000100000000, -4.0, 0.5, 0.0, 0.0, 0.0, 0.0, 1.0},
  };
  const auto path = dir / "odom_pose.csv";
  Utils::save_pose_set_to_csv(unordered, path);
  EXPECT_EQ(read_text(path),
            "timestamp,tx,ty,tz,qx,qy,qz,qw\n"
            "1700000000100000000,-4.000000000,0.500000000,0.000000000,0.000000000,0.000000000,"
            "0.000000000,1.000000000\n"
            "1700000000100000000,0.123456789,3.000000000,0.010000000,0.000000000,0.000000000,"
            "0.000000000,1.000000000\n"
            "1700000000200000000,1.500000000,-2.250000000,0.000000000,0.000000000,0.000000000,"
            "0.707106781,0.707106781\n");

  const PoseList loaded = Utils::load_csv_to_pose_list(path);
  ASSERT_EQ(loaded.pose_list.size(), 3u);
  EXPECT_EQ(loaded.pose_list[0].tx, -4.0);
  EXPECT_EQ(loaded.pose_list[1].timestamp, 1700000000100000000);
  EXPECT_DOUBLE_EQ(loaded.pose_list[2].qz, 0.707106781);
  EXPECT_DOUBLE_EQ(loaded.range_x, 5.5);
  EXPECT_DOUBLE_EQ(loaded.range_y, 5.25);

  // Saving what was loaded reproduces the file byte for byte.
  Utils::save_pose_set_to_csv(loaded.pose_list, dir / "again.csv");
  EXPECT_EQ(read_text(dir / "again.csv"), read_text(path));
}

TEST(UtilsTest, EmptySetAndFileOrderAreKept) {
  orvalt::testing::TempDir dir;
  Utils::save_pose_set_to_csv({}, dir / "empty.csv");
  const PoseList empty = Utils::load_csv_to_pose_list(dir / "empty.csv");
  EXPECT_TRUE(empty.pose_list.empty());
  EXPECT_EQ(empty.range_x, 0.0);
  EXPECT_EQ(empty.range_y, 0.0);

  // Files written elsewhere (CRLF, out of order) load in file order.
  write_text(dir / "other.csv",
             "timestamp,tx,ty,tz,qx,qy,qz,qw\r\n9,1,2,3,0,0,0,1\r\n5,-1,2,3,0,0,0,1\r\n");
  const PoseList other = Utils::load_csv_to_pose_list(dir / "other.csv");
  ASSERT_EQ(other.pose_list.size(), 2u);
  EXPECT_EQ(other.pose_list[0].timestamp, 9);
  EXPECT_EQ(other.pose_list[1].timestamp, 5);
  EXPECT_DOUBLE_EQ(other.range_x, 2.0);
  EXPECT_DOUBLE_EQ(other.range_y, 0.0);
}

TEST(UtilsTest, MissingFileAndMalformedRowsNameFileAndLine) {
  orvalt::testing::TempDir dir;
  EXPECT_THROW(Utils::load_csv_to_pose_list(dir / "absent.csv"), common::FileNotFoundError);

  const std::string header = "timestamp,tx,ty,tz,qx,qy,qz,qw\n";
  const std::string good = "1,0,0,0,0,0,0,1\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"few.csv", header + good + "2,0,0,0,0,0,1\n"},
      {"many.csv", header + good + "2,0,0,0,0,0,0,1,7\n"},
      {"stamp.csv", header + good + "2.5,0,0,0,0,0,0,1\n"},
      {"text.csv", header + good + "2,0,abc,0,0,0,0,1\n"},
      {"nan.csv", header + good + "2,0,nan,0,0,0,0,1\n"},
      {"empty_field.csv", header + good + "2,0,,0,0,0,0,1\n"},
  };
  for (const auto& [name, text] : cases) {
    write_text(dir / name, text);
    try {
      Utils::load_csv_to_pose_list(dir / name);
      ADD_FAILURE() << name << " loaded without error";
    } catch (const std::runtime_error& error) {
      EXPECT_THAT(error.what(), HasSubstr((dir / name).string() + ":3:")) << name;
    }
  }
  write_text(dir / "headless.csv", good);
  EXPECT_THROW(
      {
        try {
          Utils::load_csv_to_pose_list(dir / "headless.csv");
        } catch (const std::runtime_error& error) {
          EXPECT_THAT(error.what(), HasSubstr("headless.csv:1:"));
          throw;
        }
      },
      std::runtime_error);
}

TEST(UtilsTest, UnwritablePathIsAnError) {
  orvalt::testing::TempDir dir;
  EXPECT_THROW(Utils::save_pose_set_to_csv({}, dir / "missing" / "pose.csv"), std::runtime_error);
}

}  // namespace
}  // namespace orvalt::calibration
