#include "orvalt/calibration/varnholt/board_refinement_stage.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <fmt/format.h>

#include "orvalt/apriltag/quinsel/tag_edge_refinement.hpp"
#include "orvalt/common/angles.hpp"
#include "orvalt/common/logger.hpp"

namespace orvalt::calibration {
namespace {

auto log() { return common::logger("orvalt.calibration.varnholt"); }

constexpr const char* kParameterNames[6] = {"rx", "ry", "rz", "tx", "ty", "tz"};

bool is_rotation(int parameter) { return parameter < 3; }

// A six-vector entry in the unit users read: degrees with 4 decimals, millimetres with 2.
std::string parameter_text(int parameter, double value) {
  return is_rotation(parameter) ? fmt::format("{:.4f} deg", common::rad_to_deg(value))
                                : fmt::format("{:.2f} mm", value * 1e3);
}

// The robot drives on the floor: of the odometry's 3D pose only the position on it and the
// heading matter.
PlanarPose planar_pose(const PoseRow& pose) { return {pose.tx, pose.ty, pose.yaw()}; }

BoardRefinementRecord failed(const RefinementInput& input, const std::string& reason) {
  BoardRefinementRecord record;
  record.optimizer_vec6 = input.initial_vec6;
  record.result.failure_reason = reason;
  record.result.vec6 = input.initial_vec6;
  record.result.extrinsic = TransformUtils::vector6_to_transform_matrix(input.initial_vec6);
  return record;
}

}  // namespace

std::vector<RefinementFrame> refinement_frames(const FrameMap& frames) {
  std::vector<RefinementFrame> result;
  result.reserve(frames.size());
  for (const auto& [stamp, frame] : frames) {
    RefinementFrame refinement_frame;
    refinement_frame.image_stamp_ns = stamp;
    refinement_frame.odometry_stamp_ns = frame.pose.timestamp;
    refinement_frame.base_in_odom = planar_pose(frame.pose);
    refinement_frame.tags = frame.edge_corners;
    result.push_back(std::move(refinement_frame));
  }
  return result;
}

std::vector<StampedPlanarPose> refinement_odometry(const std::vector<PoseRow>& track) {
  std::vector<StampedPlanarPose> result;
  result.reserve(track.size());
  for (const PoseRow& pose : track) result.push_back({pose.timestamp, planar_pose(pose)});
  return result;
}

BoardRefinementRecord refine_result_on_board(const RefinementInput& input,
                                             const RefinementOptions& options) {
  // A frame counts when some tag's corners came back from its edges: tags with short sides or
  // blurred past recognition are detected but not refined.
  const int frames = static_cast<int>(
      std::count_if(input.frames.begin(), input.frames.end(),
                    [](const RefinementFrame& frame) { return !frame.tags.empty(); }));
  if (frames < kMinRefinementFrames) {
    return failed(input,
                  fmt::format("only {} frames saw the board with a tag whose edges fit (sides of "
                              "{:g} px or more), at least {} are needed",
                              frames, apriltag::kMinEdgeFitSidePx, kMinRefinementFrames));
  }
  try {
    BoardRefinementRecord record;
    record.optimizer_vec6 = input.initial_vec6;
    record.result = refine_with_board(input, options);
    return record;
  } catch (const std::invalid_argument& error) {
    return failed(input, error.what());
  }
}

ObservabilityReport refined_observability(const ObservabilityReport& optimizer,
                                          const BoardRefinementRecord& record) {
  ObservabilityReport report = optimizer;
  if (!record.result.success) return report;
  for (int i = 0; i < 6; ++i) {
    if (!record.result.vec6_determined[i]) continue;
    ParameterFinding& finding = report.parameters[i];
    finding.value = record.result.vec6(i);
    finding.determination = Determination::kData;
    finding.determined_by = "board refinement";
    finding.sigma = record.result.vec6_sigma(i);
    finding.message.clear();
  }
  return report;
}

std::vector<std::string> refinement_lines(const BoardRefinementRecord& record) {
  const RefinementResult& result = record.result;
  std::vector<std::string> lines;
  if (result.success) {
    lines.push_back(fmt::format(
        "Board refinement converged after {} iterations: the result files hold its result",
        result.iterations));
  } else {
    lines.push_back("Board refinement did not succeed: the result files hold the optimizer's");
  }
  if (result.corners_used > 0) {
    lines.push_back(fmt::format(
        "Board refinement reprojection RMS: {:.3f} px (worst frame {:.3f} px at stamp {}); {} "
        "frames, {} tags, {} corners, {} of them outliers",
        result.reprojection_rms_px, result.worst_frame_rms_px, result.worst_frame_stamp_ns,
        result.frames_used, result.tags_used, result.corners_used, result.outlier_corners));
  }
  if (!result.success) return lines;
  lines.push_back(fmt::format(
      "Board refinement noise seen: corners {:.3f} px, floor {:.2f} mm; odometry distance "
      "error {:+.2f} %, turn error {:+.2f} %",
      result.corner_noise_px, result.floor_noise_m * 1e3, 100.0 * result.odometry_scale_errors(0),
      100.0 * result.odometry_scale_errors(1)));
  lines.push_back(
      result.time_offset_determined
          ? fmt::format("Board refinement time offset (odometry time minus camera stamp): "
                        "{:.2f} ms ± {:.2f} ms",
                        result.time_offset_s * 1e3, result.time_offset_sigma_s * 1e3)
          : "Board refinement time offset: not determined by the recording, taken as 0");
  for (int i = 0; i < 6; ++i) {
    const std::string optimizer = parameter_text(i, record.optimizer_vec6(i));
    lines.push_back(
        result.vec6_determined[i]
            ? fmt::format("  {}: optimizer {}, refined {} ± {}", kParameterNames[i], optimizer,
                          parameter_text(i, result.vec6(i)),
                          parameter_text(i, result.vec6_sigma(i)))
            : fmt::format("  {}: optimizer {}, not determined by the board refinement (no "
                          "turning in front of the board?): the optimizer's value stands",
                          kParameterNames[i], optimizer));
  }
  return lines;
}

std::string refinement_warning(const BoardRefinementRecord& record) {
  if (record.result.success) return "";
  return "Board refinement failed: " + record.result.failure_reason +
         "; the result files hold the optimizer's result";
}

void log_refinement(const BoardRefinementRecord& record) {
  for (const std::string& line : refinement_lines(record)) log()->info("{}", line);
  const std::string warning = refinement_warning(record);
  if (!warning.empty()) log()->warn("⚠ {}", warning);
}

}  // namespace orvalt::calibration
