#include "orvalt/calibration/varnholt/ground_plane.hpp"

#include <filesystem>
#include <fstream>
#include <random>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <open3d/geometry/PointCloud.h>
#include <open3d/io/PointCloudIO.h>

#include "orvalt/testing/log_capture.hpp"
#include "orvalt/testing/temp_dir.hpp"

namespace orvalt::calibration {
namespace {

namespace fs = std::filesystem;

const CropBox kBox{0.2, 0.3, -0.1, 0.1, -0.5, 0.5};

// `inside` points of a floor at z = -0.15 within kBox (with millimetre noise, all within the
// RANSAC threshold), plus `scattered` points spread through the box's height, and points
// outside the box that the crop removes.
void write_cloud(const fs::path& path, int inside, int scattered = 0, unsigned seed = 1) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> x(0.2, 0.3), y(-0.1, 0.1), z(-0.5, 0.5),
      noise(-5e-4, 5e-4);
  open3d::geometry::PointCloud cloud;
  for (int i = 0; i < inside; ++i)
    cloud.points_.emplace_back(x(random), y(random), -0.15 + noise(random));
  for (int i = 0; i < scattered; ++i) cloud.points_.emplace_back(x(random), y(random), z(random));
  for (int i = 0; i < 50; ++i) cloud.points_.emplace_back(1.0 + x(random), y(random), -0.15);
  ASSERT_TRUE(open3d::io::WritePointCloud(path.string(), cloud));
}

std::size_t points_in(const fs::path& path) {
  open3d::geometry::PointCloud cloud;
  open3d::io::ReadPointCloud(path.string(), cloud);
  return cloud.points_.size();
}

class GroundPlaneTest : public ::testing::Test {
 protected:
  GroundPlaneTest() { fs::create_directories(clouds_); }
  std::string message_of(const fs::path& cloud, const CropBox& box = kBox) {
    try {
      crop_and_estimate_plane_points(cloud.string(), box, saved_);
    } catch (const std::invalid_argument& error) {
      return error.what();
    }
    return "no error";
  }

  testing::TempDir dir_;
  fs::path clouds_ = dir_ / "clouds";
  fs::path saved_ = dir_ / "cropped_plane_points";
};

TEST_F(GroundPlaneTest, FloorInliersAreSavedUnderTheSameName) {
  write_cloud(clouds_ / "17.pose.ply", 200, 20);
  EXPECT_EQ(crop_and_estimate_plane_points((clouds_ / "17.pose.ply").string(), kBox, saved_),
            std::make_pair(true, true));
  EXPECT_EQ(points_in(saved_ / "17.pose.ply"), 200u);
}

TEST_F(GroundPlaneTest, ThirtyCroppedPointsAreEnough) {
  write_cloud(clouds_ / "a.ply", 30);
  EXPECT_EQ(message_of(clouds_ / "a.ply"), "no error");
  write_cloud(clouds_ / "b.ply", 29);
  EXPECT_EQ(message_of(clouds_ / "b.ply"),
            "The number of points after cropping is too small (29<30), making it impossible to "
            "perform plane fitting");
}

TEST_F(GroundPlaneTest, BadBoxIsRefusedBeforeTheFileIsRead) {
  std::ofstream(clouds_ / "garbage.ply") << "not a cloud";
  CropBox flat = kBox;
  flat.x_max = flat.x_min;
  EXPECT_EQ(message_of(clouds_ / "garbage.ply", flat),
            "Invalid bounding box dimensions. Ensure x_min < x_max, y_min < y_max, and z_min < "
            "z_max.");
  EXPECT_EQ(message_of(clouds_ / "garbage.ply"),
            "Point cloud file is empty or failed to read. Please check the file path and format.");
}

TEST_F(GroundPlaneTest, MissingCloudIsReportedNotThrown) {
  testing::LogCapture log("orvalt.calibration.varnholt");
  const fs::path missing = clouds_ / "gone.ply";
  EXPECT_EQ(crop_and_estimate_plane_points(missing.string(), kBox, saved_),
            std::make_pair(false, false));
  EXPECT_TRUE(log.contains("[warning] Point cloud file not found: " + missing.string() + ", skip"));
}

TEST_F(GroundPlaneTest, CloudWithoutADominantPlaneIsNoGround) {
  write_cloud(clouds_ / "clutter.ply", 0, 300);
  EXPECT_EQ(crop_and_estimate_plane_points((clouds_ / "clutter.ply").string(), kBox, saved_),
            std::make_pair(true, false));
  EXPECT_FALSE(fs::exists(saved_ / "clutter.ply"));
}

TEST_F(GroundPlaneTest, SeededFitsRepeat) {
  // Noise wider than the threshold makes the inlier set depend on the samples drawn.
  open3d::geometry::PointCloud cloud;
  std::mt19937 random(3);
  std::uniform_real_distribution<double> x(0.2, 0.3), y(-0.1, 0.1), noise(-0.004, 0.004);
  for (int i = 0; i < 400; ++i)
    cloud.points_.emplace_back(x(random), y(random), -0.15 + noise(random));
  ASSERT_TRUE(open3d::io::WritePointCloud((clouds_ / "noisy.ply").string(), cloud));
  // Parallel sampling went wrong in about one run of two; twenty runs catch it.
  std::vector<std::size_t> counts;
  for (int run = 0; run < 20; ++run) {
    crop_and_estimate_plane_points((clouds_ / "noisy.ply").string(), kBox, saved_, 0.002, 0.0);
    counts.push_back(points_in(saved_ / "noisy.ply"));
  }
  EXPECT_THAT(counts, ::testing::Each(counts[0]));
}

TEST_F(GroundPlaneTest, CountRuleSkipsCloudsWithoutPlaneAndNeedsThree) {
  write_cloud(clouds_ / "1.ply", 100, 0, 1);
  write_cloud(clouds_ / "2.ply", 100, 0, 2);
  write_cloud(clouds_ / "3.PLY", 100, 0, 3);  // upper-case suffix: not a cloud of the run
  write_cloud(clouds_ / "4.ply", 0, 300, 4);
  std::ofstream(clouds_ / "notes.txt") << "x";
  testing::LogCapture log("orvalt.calibration.varnholt");
  try {
    collect_ground_planes(clouds_, kBox, saved_);
    FAIL() << "expected an error";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "Must have at least 3 valid 3D points for plane estimation, got 2");
  }
  EXPECT_TRUE(log.contains("[warning] Failed to detect a valid plane for 4.ply, thus skip"));

  write_cloud(clouds_ / "5.ply", 100, 0, 5);
  EXPECT_EQ(collect_ground_planes(clouds_, kBox, saved_), 3);
  EXPECT_TRUE(log.contains("[info] Valid 3D points for plane estimation: 3"));
}

}  // namespace
}  // namespace orvalt::calibration
