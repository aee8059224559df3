#include "orvalt/draventa/camera_pose_estimator.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <Eigen/LU>
#include <Eigen/SVD>
#include <opencv2/core.hpp>

#include "orvalt/common/float_text.hpp"
#include "orvalt/common/logger.hpp"

namespace orvalt::draventa {
namespace {

constexpr const char* kShapeError =
    "[Error]: Depth images must have same shape and size as camera image";

// The array shape as numpy would report it: (rows, cols), plus the channel count when there
// is more than one, so that a colour image never passes for a depth image.
std::vector<int> shape_of(const cv::Mat& image) {
  std::vector<int> shape(image.size.p, image.size.p + image.dims);
  if (image.channels() > 1) shape.push_back(image.channels());
  return shape;
}

bool has_camera_shape(const cv::Mat& depth, int height, int width) {
  return shape_of(depth) == std::vector<int>{height, width};
}

// The raw value at [row][col] in single precision, whatever the element type.
float raw_depth(const cv::Mat& depth, int row, int col) {
  switch (depth.depth()) {
    case CV_8U:
      return static_cast<float>(depth.at<std::uint8_t>(row, col));
    case CV_8S:
      return static_cast<float>(depth.at<std::int8_t>(row, col));
    case CV_16U:
      return static_cast<float>(depth.at<std::uint16_t>(row, col));
    case CV_16S:
      return static_cast<float>(depth.at<std::int16_t>(row, col));
    case CV_32S:
      return static_cast<float>(depth.at<std::int32_t>(row, col));
    case CV_32F:
      return depth.at<float>(row, col);
    case CV_64F:
      return static_cast<float>(depth.at<double>(row, col));
    case CV_16F:
      return static_cast<float>(depth.at<cv::float16_t>(row, col));
    default:
      throw std::invalid_argument("Unsupported depth image element type " +
                                  std::to_string(depth.depth()));
  }
}

// A point is inside the image when its coordinate truncated toward zero is in [0, limit)
// (NaN is not). Its depth is that of the nearest pixel, kept inside the image: a truncated
// lookup would read, on average, half a pixel up and to the left of the corner, which
// tilts the measured motion (0.11 degrees of yaw on exact simulated data).
bool depth_pixel_inside(float coordinate, int limit, int& index) {
  const float truncated = std::trunc(coordinate);
  if (!(truncated >= 0.0f && truncated < static_cast<float>(limit))) return false;
  index = std::clamp(static_cast<int>(std::lround(coordinate)), 0, limit - 1);
  return true;
}

}  // namespace

CameraPoseEstimator::CameraPoseEstimator(double fx, double fy, double cx, double cy, int width,
                                         int height)
    : width(width), height(height), fx(fx), fy(fy), cx(cx), cy(cy) {
  K << fx, 0.0, cx, 0.0, fy, cy, 0.0, 0.0, 1.0;
}

CameraMotion CameraPoseEstimator::compute_camera_relative_transform(
    const apriltag::TagMap& prev_tags, const apriltag::TagMap& curr_tags, const cv::Mat& prev_depth,
    const cv::Mat& curr_depth) const {
  if (prev_tags.empty() || curr_tags.empty()) {
    throw std::invalid_argument("[Error]: Must provide non-empty tag detections in both frames");
  }
  if (shape_of(prev_depth) != shape_of(curr_depth) ||
      !has_camera_shape(prev_depth, height, width)) {
    throw std::invalid_argument(kShapeError);
  }
  if (prev_depth.depth() != curr_depth.depth()) {
    throw std::invalid_argument("[Error]: Depth images must have same dtype");
  }
  const auto log = common::logger("orvalt.draventa.draventa");

  std::vector<std::pair<const apriltag::TagPoints*, const apriltag::TagPoints*>> common_tags;
  std::set<int> visited;
  for (const auto& [id, prev_points] : prev_tags) {
    if (!visited.insert(id).second) continue;
    const auto curr = std::find_if(curr_tags.begin(), curr_tags.end(),
                                   [id = id](const auto& entry) { return entry.first == id; });
    if (curr != curr_tags.end()) common_tags.emplace_back(&prev_points, &curr->second);
  }
  if (common_tags.empty()) {
    log->debug("[Warning] No common tags in both frames, return identity transform");
    return {};
  }

  std::vector<Points3d> valid_prev_points;
  std::vector<Points3d> valid_curr_points;
  for (const auto& [prev_points, curr_points] : common_tags) {
    Points3d p_prev = _back_project_tag_points(*prev_points, prev_depth);
    Points3d p_curr = _back_project_tag_points(*curr_points, curr_depth);
    if (p_prev.rows() == 5 && p_curr.rows() == 5) {
      valid_prev_points.push_back(std::move(p_prev));
      valid_curr_points.push_back(std::move(p_curr));
    }
  }
  const auto rows = static_cast<Eigen::Index>(5 * valid_prev_points.size());
  if (rows < 4) {
    log->debug("[Warning] Must have at least 4 valid 3D points for motion estimation, got {}",
               rows);
    return {};
  }
  Points3d pts_prev(rows, 3);
  Points3d pts_curr(rows, 3);
  for (std::size_t k = 0; k < valid_prev_points.size(); ++k) {
    pts_prev.middleRows<5>(static_cast<Eigen::Index>(5 * k)) = valid_prev_points[k];
    pts_curr.middleRows<5>(static_cast<Eigen::Index>(5 * k)) = valid_curr_points[k];
  }

  const auto [R, t] = _estimate_3d3d(pts_prev, pts_curr);
  CameraMotion motion;
  motion.success = true;
  motion.cam_k1_from_cam_k.block<3, 3>(0, 0) = R;
  motion.cam_k1_from_cam_k.block<3, 1>(0, 3) = t;
  return motion;
}

Points3d CameraPoseEstimator::_back_project_tag_points(const apriltag::TagPoints& uv,
                                                       const cv::Mat& depth, double min_depth,
                                                       double max_depth, double depth_scale) const {
  if (!has_camera_shape(depth, height, width)) throw std::invalid_argument(kShapeError);
  const Eigen::Index count = uv.rows();
  std::vector<int> us(count);
  std::vector<int> vs(count);
  for (Eigen::Index i = 0; i < count; ++i) {
    if (!depth_pixel_inside(uv(i, 0), width, us[i]) ||
        !depth_pixel_inside(uv(i, 1), height, vs[i])) {
      return Points3d(0, 3);
    }
  }
  // The bounds are compared in single precision, like the depths, so that a raw 50 mm is
  // exactly the 0.05 m bound and is rejected.
  const float scale = static_cast<float>(depth_scale);
  const float lower = static_cast<float>(min_depth);
  const float upper = static_cast<float>(max_depth);
  Points3d points(count, 3);
  for (Eigen::Index i = 0; i < count; ++i) {
    const float d = raw_depth(depth, vs[i], us[i]) / scale;
    if (!(d > lower && d < upper)) return Points3d(0, 3);
    points.row(i) = forward_left_up(uv(i, 0), uv(i, 1), d);
  }
  return points;
}

Points3d CameraPoseEstimator::_batch_back_project(const apriltag::TagMap& tag_dict,
                                                  const std::set<int>& tag_ids,
                                                  const cv::Mat& depth, double min_depth,
                                                  double max_depth, double depth_scale) const {
  if (!has_camera_shape(depth, height, width)) throw std::invalid_argument(kShapeError);
  const float scale = static_cast<float>(depth_scale);
  const float lower = static_cast<float>(min_depth);
  const float upper = static_cast<float>(max_depth);
  std::vector<Eigen::Vector3d> rows;
  for (const int id : tag_ids) {
    const auto tag = std::find_if(tag_dict.begin(), tag_dict.end(),
                                  [id](const auto& entry) { return entry.first == id; });
    if (tag == tag_dict.end()) {
      throw std::invalid_argument("Tag " + std::to_string(id) + " is not in the tag map");
    }
    const apriltag::TagPoints& uv = tag->second;
    std::vector<bool> mask;
    const std::size_t first_row = rows.size();
    for (Eigen::Index i = 0; i < uv.rows(); ++i) {
      int u = 0;
      int v = 0;
      if (!depth_pixel_inside(uv(i, 0), width, u) || !depth_pixel_inside(uv(i, 1), height, v)) {
        continue;
      }
      const float d = raw_depth(depth, v, u) / scale;
      mask.push_back(d > lower && d < upper);
      if (mask.back()) rows.push_back(forward_left_up(uv(i, 0), uv(i, 1), d).transpose());
    }
    if (rows.size() == first_row) {
      std::vector<const char*> words;
      for (const bool passed : mask) words.push_back(passed ? "True" : "False");
      common::logger("orvalt.draventa.draventa")
          ->debug("[Warning] Tag {} has no valid depth points in range [{}, {}], mask: [{}]", id,
                  common::float_text(min_depth), common::float_text(max_depth),
                  fmt::join(words, " "));
    }
  }
  Points3d points(static_cast<Eigen::Index>(rows.size()), 3);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    points.row(static_cast<Eigen::Index>(i)) = rows[i].transpose();
  }
  return points;
}

Eigen::RowVector3d CameraPoseEstimator::forward_left_up(double u, double v, double d) const {
  return {d, -((u - cx) * d / fx), -((v - cy) * d / fy)};
}

std::pair<Eigen::Matrix3d, Eigen::Vector3d> CameraPoseEstimator::_estimate_3d3d(
    const Eigen::Ref<const Eigen::MatrixXd>& X, const Eigen::Ref<const Eigen::MatrixXd>& Y) {
  if (X.rows() != Y.rows() || X.cols() < 3 || Y.cols() < 3) {
    throw std::invalid_argument("_estimate_3d3d needs two N x 3 point arrays of equal length");
  }
  const auto x = X.leftCols<3>();
  const auto y = Y.leftCols<3>();
  const Eigen::RowVector3d centroid_x = x.colwise().mean();
  const Eigen::RowVector3d centroid_y = y.colwise().mean();
  // Current-frame points on the left: H = sum of y_i x_i^T, so that R = U V^T maps x to y.
  const Eigen::Matrix3d H = (y.rowwise() - centroid_y).transpose() * (x.rowwise() - centroid_x);
  const Eigen::JacobiSVD<Eigen::Matrix3d> svd(H, Eigen::ComputeFullU | Eigen::ComputeFullV);
  Eigen::Matrix3d Vt = svd.matrixV().transpose();
  Eigen::Matrix3d R = svd.matrixU() * Vt;
  if (R.determinant() < 0.0) {
    // A reflection fits better than any rotation (noisy or nearly planar points); the closest
    // rotation flips the axis of the smallest singular value.
    Vt.row(2) *= -1.0;
    R = svd.matrixU() * Vt;
  }
  const Eigen::Vector3d t = centroid_y.transpose() - R * centroid_x.transpose();
  return {R, t};
}

}  // namespace orvalt::draventa
