#pragma once

#include <set>
#include <utility>

#include <Eigen/Core>
#include <opencv2/core/mat.hpp>

#include "orvalt/apriltag/quinsel/tag_map.hpp"
#include "orvalt/calibration/utils/transform_utils.hpp"

namespace orvalt::draventa {

using calibration::Points3d;

// Motion of the camera between frames k and k+1. On success, every tag point maps as
// p_in_cam_k1 = cam_k1_from_cam_k * p_in_cam_k (forward-left-up camera axes of the two
// frames). Without a usable tag, success is false and the transform the identity.
struct CameraMotion {
  bool success = false;
  Eigen::Matrix4d cam_k1_from_cam_k = Eigen::Matrix4d::Identity();
};

// Measures the depth camera's rigid motion between two frames from the tag points of their
// colour images and their registered depth images (single channel, `height` x `width`, raw
// values in millimetres for 16-bit images). Camera points are in forward-left-up axes:
// (depth, -optical x, -optical y). The object never changes after construction, so one
// estimator may serve several threads.
class CameraPoseEstimator {
 public:
  CameraPoseEstimator(double fx, double fy, double cx, double cy, int width, int height);

  // Throws std::invalid_argument for an empty tag map or depth images that differ in shape
  // (or do not match the camera) or in element type. Tags shared by both frames take part
  // only when all five points of both frames have valid depth.
  CameraMotion compute_camera_relative_transform(const apriltag::TagMap& prev_tags,
                                                 const apriltag::TagMap& curr_tags,
                                                 const cv::Mat& prev_depth,
                                                 const cv::Mat& curr_depth) const;

  // The 3D points of one tag (all or nothing): one row per pixel point, or zero rows when a
  // point lies outside the image or its depth (metres) is not strictly inside
  // (min_depth, max_depth). A point is outside when its coordinates truncated toward zero
  // are; its depth is that of the nearest pixel and its position the sub-pixel one.
  Points3d _back_project_tag_points(const apriltag::TagPoints& uv, const cv::Mat& depth,
                                    double min_depth = 0.05, double max_depth = 5.0,
                                    double depth_scale = 1000.0) const;

  // The valid points of all listed tags, point by point, stacked in id order. Throws
  // std::invalid_argument for an id missing from tag_dict.
  Points3d _batch_back_project(const apriltag::TagMap& tag_dict, const std::set<int>& tag_ids,
                               const cv::Mat& depth, double min_depth = 0.01,
                               double max_depth = 10.0, double depth_scale = 1000.0) const;

  // (R, t) with Y ~= R * X + t in the least-squares sense, R a proper rotation. Row i of X is
  // paired with row i of Y; only the first three columns are used. Throws
  // std::invalid_argument when the row counts differ or a matrix has fewer than 3 columns.
  static std::pair<Eigen::Matrix3d, Eigen::Vector3d> _estimate_3d3d(
      const Eigen::Ref<const Eigen::MatrixXd>& X, const Eigen::Ref<const Eigen::MatrixXd>& Y);

  int width;
  int height;
  double fx;
  double fy;
  double cx;
  double cy;
  Eigen::Matrix3d K;  // [[fx, 0, cx], [0, fy, cy], [0, 0, 1]], for callers

 private:
  // The point at depth d (metres) seen at the sub-pixel position (u, v).
  Eigen::RowVector3d forward_left_up(double u, double v, double d) const;
};

}  // namespace orvalt::draventa
