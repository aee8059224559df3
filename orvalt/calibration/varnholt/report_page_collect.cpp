#include "orvalt/calibration/varnholt/report_page_collect.hpp"

#include <algorithm>
#include <cmath>
#include <map>

#include <opencv2/calib3d.hpp>

#include "orvalt/calibration/varnholt/calibration_exports.hpp"
#include "orvalt/calibration/varnholt/calibration_result.hpp"
#include "orvalt/ros2/bag_reader.hpp"

namespace orvalt::calibration {
namespace {

ImageFate image_fate(ImageOutcome outcome) {
  switch (outcome) {
    case ImageOutcome::kFrame:
      return ImageFate::kTags;
    case ImageOutcome::kNoTags:
      return ImageFate::kNoTags;
    case ImageOutcome::kTagsFiltered:
      return ImageFate::kOtherTags;
    case ImageOutcome::kFailed:
      break;
  }
  return ImageFate::kUnreadable;
}

// The tag's centre in the camera frame (forward-left-up) from its four corners, or nothing
// when they give no pose.
std::optional<Eigen::Vector3d> tag_centre_in_camera(const apriltag::TagPoints& corners,
                                                    const cv::Matx33d& K, double tag_size_m) {
  const float half = static_cast<float>(tag_size_m / 2);
  // The corner order of the detector and of the square solver: clockwise from the top left.
  const std::vector<cv::Point3f> square = {
      {-half, half, 0}, {half, half, 0}, {half, -half, 0}, {-half, -half, 0}};
  if (corners.rows() < 4) return std::nullopt;
  std::vector<cv::Point2f> image;
  for (int row = 0; row < 4; ++row) image.emplace_back(corners(row, 0), corners(row, 1));
  cv::Vec3d rotation, translation;
  if (!cv::solvePnP(square, image, K, cv::noArray(), rotation, translation, false,
                    cv::SOLVEPNP_IPPE_SQUARE)) {
    return std::nullopt;
  }
  // The solver's camera looks along z with x right and y down; ours, as the depth lifting
  // builds it, looks along x with y left and z up.
  const Eigen::Vector3d centre(translation[2], -translation[0], -translation[1]);
  if (!centre.allFinite() || centre.x() <= 0) return std::nullopt;
  return centre;
}

}  // namespace

std::vector<PageImage> page_images(const std::vector<ImageTask>& tasks,
                                   const std::vector<ImageResult>& results) {
  std::vector<PageImage> images;
  for (std::size_t i = 0; i < tasks.size() && i < results.size(); ++i) {
    const std::string stem = std::filesystem::path(tasks[i].color_name).stem().string();
    PoseRow pose;
    try {
      pose = parse_pose_stem(stem);
    } catch (const std::invalid_argument&) {
      continue;
    }
    PageImage image;
    image.stamp_ns = pose.timestamp;
    image.x = pose.tx;
    image.y = pose.ty;
    image.yaw = pose.yaw();
    image.fate = image_fate(results[i].outcome);
    if (results[i].frame)
      image.tags = static_cast<int>(results[i].frame->second.corner_dict.size());
    images.push_back(image);
  }
  std::stable_sort(images.begin(), images.end(),
                   [](const PageImage& a, const PageImage& b) { return a.stamp_ns < b.stamp_ns; });
  return images;
}

std::optional<PageRecording> page_recording(const std::filesystem::path& bag_dir) {
  try {
    const ros2::BagReader reader(bag_dir);
    const ros2::BagInfo& info = reader.info();
    PageRecording recording;
    recording.path = std::filesystem::absolute(bag_dir).lexically_normal().string();
    recording.storage = info.storage_identifier;
    if (!info.compression_format.empty()) {
      recording.storage += ", " + info.compression_format + " (" + info.compression_mode + ")";
    }
    recording.duration_s = static_cast<double>(info.duration) * 1e-9;
    for (const ros2::Connection& connection : reader.connections()) {
      const auto id = static_cast<std::size_t>(connection.id);
      recording.topics.push_back({connection.topic, connection.msgtype,
                                  id < info.message_counts.size() ? info.message_counts[id] : 0});
    }
    return recording;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::vector<std::pair<int, Eigen::Vector2d>> board_tag_positions(
    const FrameMap& frames, const Eigen::Matrix4d& base_from_camera,
    const common::CameraIntrinsics& camera, double tag_size_m) {
  constexpr std::size_t kMostFrames = 30;
  const cv::Matx33d K(camera.fx, 0, camera.cx, 0, camera.fy, camera.cy, 0, 0, 1);

  std::map<int, std::pair<Eigen::Vector2d, int>> sums;
  const std::size_t step = std::max<std::size_t>(1, frames.size() / kMostFrames);
  std::size_t index = 0;
  for (const auto& [stamp, frame] : frames) {
    if (index++ % step != 0) continue;
    const Eigen::Matrix4d global_from_camera =
        TransformUtils::pose_to_mat(frame.pose.translation(), frame.pose.quaternion_wxyz()) *
        base_from_camera;
    for (const auto& [id, corners] : frame.corner_dict) {
      const auto centre = tag_centre_in_camera(corners, K, tag_size_m);
      if (!centre) continue;
      auto& [sum, count] = sums.try_emplace(id, Eigen::Vector2d::Zero(), 0).first->second;
      sum += (global_from_camera.topLeftCorner<2, 3>() * *centre +
              global_from_camera.topRightCorner<2, 1>());
      ++count;
    }
  }
  std::vector<std::pair<int, Eigen::Vector2d>> positions;
  for (const auto& [id, sum_count] : sums) {
    positions.emplace_back(id, sum_count.first / sum_count.second);
  }
  return positions;
}

std::vector<std::vector<double>> floor_heights(const std::vector<Points3d>& clouds_in_camera,
                                               const Eigen::Matrix4d& base_from_camera) {
  std::vector<std::vector<double>> heights;
  const Eigen::RowVector3d z_row = base_from_camera.block<1, 3>(2, 0);
  for (const Points3d& cloud : clouds_in_camera) {
    const Eigen::VectorXd z = (cloud * z_row.transpose()).array() + base_from_camera(2, 3);
    heights.emplace_back(z.data(), z.data() + z.size());
  }
  return heights;
}

std::vector<std::pair<std::string, std::string>> page_settings(const RunSettings& settings) {
  // The log's own lines, so that the page and the log show each value alike.
  static const std::string kPrefix = "========= ";
  std::vector<std::pair<std::string, std::string>> rows;
  for (const std::string& line : settings_dump(settings)) {
    const std::size_t colon = line.find(": ", kPrefix.size());
    if (colon == std::string::npos) continue;
    rows.emplace_back(line.substr(kPrefix.size(), colon - kPrefix.size()), line.substr(colon + 2));
  }
  return rows;
}

void add_result_to_page(ReportPageInput& page, const Vector6d& vec6,
                        const CalibrationReport& report, const RunSettings& settings) {
  const CalibrationResult result = decompose_extrinsic(vec6);
  page.has_result = true;
  page.vec6 = vec6;
  page.matrix = result.extrinsic_matrix;
  const ObservabilityReport findings = result_observability(report);
  page.unusable = unusable_parameters(findings);
  page.urdf = urdf_text(result, settings.base_frame, settings.camera_frame, page.unusable);
  page.static_transform_command =
      static_transform_command(result, settings.base_frame, settings.camera_frame, page.unusable);
  page.parameters.clear();
  for (const ParameterFinding& finding : findings.parameters) {
    page.parameters.push_back({finding.name, finding.value, finding.sigma,
                               determination_name(finding.determination), finding.determined_by,
                               finding.message});
  }
  const MotionCoverage& motion = report.observability.motion;
  page.yaw_span_deg = motion.yaw_span * 180.0 / M_PI;
  page.distance_m = motion.total_distance;
  page.accepted_pairs = motion.accepted_pairs;
  page.ground_clouds = motion.ground_clouds;
  page.advice = motion.warnings;
  page.caveats = report.optimization.validation.warnings;
  if (!report.backward_header_stamps.empty()) page.caveats.push_back(kBackwardStampsWarning);
  const MinimizeResult& minimization = report.optimization.minimization;
  if (!minimization.success) {
    page.caveats.push_back("The minimiser stopped without converging: " + minimization.message);
  }
  if (report.refinement)
    page.refinement = page_refinement(*report.refinement, report.observability);
}

PageRefinement page_refinement(const BoardRefinementRecord& record,
                               const ObservabilityReport& optimizer) {
  const RefinementResult& result = record.result;
  PageRefinement page;
  page.success = result.success;
  page.failure_reason = result.failure_reason;
  page.vec6 = result.vec6;
  page.sigma = result.vec6_sigma;
  page.time_offset_s = result.time_offset_s;
  page.time_offset_sigma_s = result.time_offset_sigma_s;
  page.reprojection_rms_px = result.reprojection_rms_px;
  page.worst_frame_rms_px = result.worst_frame_rms_px;
  page.frames_used = result.frames_used;
  page.tags_used = result.tags_used;
  page.corners_used = result.corners_used;
  page.frame_rms_px = result.frame_rms_px;
  page.optimizer_vec6 = record.optimizer_vec6;
  page.optimizer_sigma.setConstant(std::nan(""));
  for (std::size_t i = 0; i < optimizer.parameters.size() && i < 6; ++i) {
    page.optimizer_sigma[static_cast<Eigen::Index>(i)] =
        optimizer.parameters[i].sigma.value_or(std::nan(""));
  }
  return page;
}

}  // namespace orvalt::calibration
