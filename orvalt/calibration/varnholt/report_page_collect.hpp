#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Core>

#include "orvalt/calibration/report_page/report_page_input.hpp"
#include "orvalt/calibration/utils/transform_utils.hpp"
#include "orvalt/calibration/varnholt/calibration_report.hpp"
#include "orvalt/calibration/varnholt/frame_record.hpp"
#include "orvalt/calibration/varnholt/run_settings.hpp"
#include "orvalt/calibration/varnholt/sensor_pose_loader.hpp"
#include "orvalt/common/camera_intrinsics.hpp"

// What a calibration run hands to its report page, gathered from the run's own records.
namespace orvalt::calibration {

// Every colour image of a run with its pose, tag count and fate; `results` index-aligned with
// `tasks`. Images whose name is no pose stem are left out, as they have no place or time.
std::vector<PageImage> page_images(const std::vector<ImageTask>& tasks,
                                   const std::vector<ImageResult>& results);

// The recording's storage, duration and topics with their message counts; nothing when it
// cannot be read (the page then goes without).
std::optional<PageRecording> page_recording(const std::filesystem::path& bag_dir);

// Each target tag's centre in the global frame (x, y), from its pose in the frames that saw it
// (solved from its four corners and its size) carried through the odometry and
// `base_from_camera`, averaged over at most 30 frames spread over the run.
std::vector<std::pair<int, Eigen::Vector2d>> board_tag_positions(
    const FrameMap& frames, const Eigen::Matrix4d& base_from_camera,
    const common::CameraIntrinsics& camera, double tag_size_m);

// Each ground cloud's points' height in the base frame at `base_from_camera`.
std::vector<std::vector<double>> floor_heights(const std::vector<Points3d>& clouds_in_camera,
                                               const Eigen::Matrix4d& base_from_camera);

// The settings as the log shows them, name and value.
std::vector<std::pair<std::string, std::string>> page_settings(const RunSettings& settings);

// Fills the result, the observability findings, the coverage and the warnings of `report`
// into `page`, with the URDF and static-transform texts the run wrote.
void add_result_to_page(ReportPageInput& page, const Vector6d& vec6,
                        const CalibrationReport& report, const RunSettings& settings);

// The board refinement as the page shows it, beside the optimizer's result and its 1-sigmas
// (`optimizer`: what the optimizer's run determined).
PageRefinement page_refinement(const BoardRefinementRecord& record,
                               const ObservabilityReport& optimizer);

}  // namespace orvalt::calibration
