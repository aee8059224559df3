#pragma once

#include <filesystem>
#include <string>
#include <utility>

#include "orvalt/calibration/varnholt/crop_box.hpp"

namespace orvalt::calibration {

// Crops the cloud at `pc_path` to `box`, fits a plane by RANSAC (`dist_threshold` metres, 3
// points per sample, 1000 iterations, seeded with 42 so that runs repeat) and, when at least
// `inlier_ratio` of the cropped points lie on it, writes those inliers to
// ground_points_save_dir / the cloud's file name. Returns (cloud exists, plane found): a
// missing file gives (false, false) with a warning, a fit below the ratio (true, false).
// Throws std::invalid_argument for an empty box dimension, an empty or unreadable cloud, or
// fewer than 30 points in the box.
std::pair<bool, bool> crop_and_estimate_plane_points(
    const std::string& pc_path, const CropBox& box,
    const std::filesystem::path& ground_points_save_dir, double dist_threshold = 0.002,
    double inlier_ratio = 0.7);

// Runs crop_and_estimate_plane_points on every "*.ply" of `pointcloud_dir` (listing order) and
// returns how many clouds gave a ground plane; a cloud without one is skipped with a warning.
// Throws std::invalid_argument "Must have at least 3 valid 3D points for plane estimation,
// got N" when fewer than three did.
int collect_ground_planes(const std::filesystem::path& pointcloud_dir, const CropBox& box,
                          const std::filesystem::path& ground_points_save_dir);

}  // namespace orvalt::calibration
