#pragma once

#include <string>
#include <vector>

#include "orvalt/calibration/pellitor/observability.hpp"
#include "orvalt/calibration/refine/board_refinement.hpp"
#include "orvalt/calibration/varnholt/frame_record.hpp"

namespace orvalt::calibration {

// What the board refinement made of a run's result.
struct BoardRefinementRecord {
  Vector6d optimizer_vec6 = Vector6d::Zero();  // where it started
  // result.success says whether the result files hold result.vec6 or optimizer_vec6; after a
  // failure result.vec6 is where the attempt ended (the optimizer's result when it never ran).
  RefinementResult result;
};

// Fewer frames that saw the board leave the tags' poses, the time offset and the frames'
// odometry corrections barely outnumbered by the corners.
inline constexpr int kMinRefinementFrames = 10;

// The frames of a run as the refinement reads them: the image stamp (the map's key), the
// odometry pose of the frame's file name, taken at the same stamp, flattened to the floor, and
// the detected tags.
std::vector<RefinementFrame> refinement_frames(const FrameMap& frames);
// The odometry's poses on the floor, in the order given.
std::vector<StampedPlanarPose> refinement_odometry(const std::vector<PoseRow>& track);

// Refines input.initial_vec6 (the optimizer's result). Never throws for the input: a recording
// with fewer than kMinRefinementFrames frames, or one the refinement refuses, comes back as a
// failed result with the reason, so that the optimizer's result stands.
BoardRefinementRecord refine_result_on_board(const RefinementInput& input,
                                             const RefinementOptions& options = {});

// What the recording determined about the result the files hold. After a successful
// refinement, each parameter it determined is a measurement ("data", determined by "board
// refinement", its value and 1-sigma); the others keep the optimizer's finding, as the
// refinement held them at the optimizer's values. After a failed one, `optimizer` unchanged.
ObservabilityReport refined_observability(const ObservabilityReport& optimizer,
                                          const BoardRefinementRecord& record);

// The refinement as log lines: the outcome, the reprojection and what it used, the time offset,
// then each parameter with the optimizer's value beside the refined one.
std::vector<std::string> refinement_lines(const BoardRefinementRecord& record);

// "Board refinement failed: <reason>; the result files hold the optimizer's result", or "" after
// a success.
std::string refinement_warning(const BoardRefinementRecord& record);

// Logs refinement_lines at info level, then refinement_warning, if any, at warning level.
void log_refinement(const BoardRefinementRecord& record);

}  // namespace orvalt::calibration
