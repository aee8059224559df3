#include "orvalt/calibration/varnholt/ground_plane.hpp"

#include <stdexcept>

#include <fmt/format.h>
#include <omp.h>
#include <open3d/geometry/BoundingVolume.h>
#include <open3d/geometry/PointCloud.h>
#include <open3d/io/PointCloudIO.h>
#include <open3d/utility/Random.h>

#include "orvalt/common/logger.hpp"
#include "orvalt/common/strings.hpp"

namespace orvalt::calibration {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMinCroppedPoints = 30;
constexpr int kRansacPoints = 3;
constexpr int kRansacIterations = 1000;
constexpr int kRansacSeed = 42;
constexpr int kMinGroundClouds = 3;

// Open3D 0.16 draws the RANSAC samples from its seeded generator on several OpenMP threads,
// in whatever order they happen to run, so the same cloud gave other inliers from run to run
// (later Open3D releases fixed this). On one thread the seeded fit repeats exactly.
class OneOpenMpThread {
 public:
  OneOpenMpThread() : previous_(omp_get_max_threads()) { omp_set_num_threads(1); }
  ~OneOpenMpThread() { omp_set_num_threads(previous_); }
  OneOpenMpThread(const OneOpenMpThread&) = delete;
  OneOpenMpThread& operator=(const OneOpenMpThread&) = delete;

 private:
  int previous_;
};

using common::ends_with;

}  // namespace

std::pair<bool, bool> crop_and_estimate_plane_points(const std::string& pc_path, const CropBox& box,
                                                     const fs::path& ground_points_save_dir,
                                                     double dist_threshold, double inlier_ratio) {
  const auto log = common::logger("orvalt.calibration.varnholt");
  if (!fs::exists(pc_path)) {
    log->warn("Point cloud file not found: {}, skip", pc_path);
    return {false, false};
  }
  if (box.x_min >= box.x_max || box.y_min >= box.y_max || box.z_min >= box.z_max) {
    throw std::invalid_argument(
        "Invalid bounding box dimensions. Ensure x_min < x_max, y_min < y_max, and z_min < "
        "z_max.");
  }
  open3d::geometry::PointCloud cloud;
  open3d::io::ReadPointCloud(pc_path, cloud);
  if (cloud.IsEmpty()) {
    throw std::invalid_argument(
        "Point cloud file is empty or failed to read. Please check the file path and format.");
  }
  const open3d::geometry::AxisAlignedBoundingBox crop_box({box.x_min, box.y_min, box.z_min},
                                                          {box.x_max, box.y_max, box.z_max});
  const auto cropped = cloud.Crop(crop_box);
  const std::size_t n = cropped->points_.size();
  if (n < kMinCroppedPoints) {
    throw std::invalid_argument(
        fmt::format("The number of points after cropping is too small ({}<{}), making it "
                    "impossible to perform plane fitting",
                    n, kMinCroppedPoints));
  }
  const OneOpenMpThread one_thread;
  open3d::utility::random::Seed(kRansacSeed);
  const auto [plane, inliers] =
      cropped->SegmentPlane(dist_threshold, kRansacPoints, kRansacIterations);
  const double ratio = static_cast<double>(inliers.size()) / static_cast<double>(n);
  if (ratio < inlier_ratio) {
    log->debug(
        "Failed to detect a valid plane in the cropped point cloud. inlier_ratio: {:.4f}, less "
        "than {:.4f}, please check the bounding box.",
        ratio, inlier_ratio);
    return {true, false};
  }
  fs::create_directories(ground_points_save_dir);
  const fs::path save_path = ground_points_save_dir / fs::path(pc_path).filename();
  if (!open3d::io::WritePointCloud(save_path.string(), *cropped->SelectByIndex(inliers))) {
    throw std::runtime_error("Failed to write ground plane points: " + save_path.string());
  }
  return {true, true};
}

int collect_ground_planes(const fs::path& pointcloud_dir, const CropBox& box,
                          const fs::path& ground_points_save_dir) {
  const auto log = common::logger("orvalt.calibration.varnholt");
  const fs::path directory = fs::absolute(pointcloud_dir);
  int count = 0;
  for (const auto& entry : fs::directory_iterator(directory)) {
    const std::string name = entry.path().filename().string();
    if (!ends_with(name, ".ply")) continue;
    const auto [exists, plane] =
        crop_and_estimate_plane_points((directory / name).string(), box, ground_points_save_dir);
    if (exists && !plane) {
      log->warn("Failed to detect a valid plane for {}, thus skip", name);
      continue;
    }
    // A cloud that vanished since the listing gave no ground points, so it does not count.
    if (plane) ++count;
  }
  if (count < kMinGroundClouds) {
    throw std::invalid_argument("Must have at least 3 valid 3D points for plane estimation, got " +
                                std::to_string(count));
  }
  log->info("Valid 3D points for plane estimation: {}", count);
  return count;
}

}  // namespace orvalt::calibration
