#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Core>

namespace orvalt::calibration {

// What the detector made of one colour image.
enum class ImageFate {
  kTags,        // tags of --target_ids found: a frame
  kNoTags,      // no tag at all
  kOtherTags,   // tags, but none of --target_ids
  kUnreadable,  // the image or its name could not be read
};

// One colour image of the run, at the robot's odometry pose when it was taken.
struct PageImage {
  std::int64_t stamp_ns = 0;
  double x = 0.0, y = 0.0;  // base_footprint in the global frame, metres
  double yaw = 0.0;         // radians
  int tags = 0;             // tags of --target_ids detected
  ImageFate fate = ImageFate::kUnreadable;
};

// What became of a pair of consecutive frames.
enum class PairFate { kAccepted, kNoCommonTag, kNoDepth, kNotFinite, kGated };

struct PagePair {
  std::int64_t stamp_ns = 0;       // the earlier frame
  std::int64_t next_stamp_ns = 0;  // the later frame
  PairFate fate = PairFate::kNoCommonTag;
  // |t_odometry - t_camera| in metres where both motions were measured, NaN where not.
  double disagreement_m = std::numeric_limits<double>::quiet_NaN();
};

// One parameter of the result as the observability analysis found it.
struct PageParameter {
  std::string name;             // rx .. tz
  double value = 0.0;           // radians or metres
  std::optional<double> sigma;  // 1-sigma, radians or metres, where the data determine it
  std::string determination;    // "data", "prior", "undetermined", "bounds", "at_bound"
  std::string determined_by;    // the term that determines it, for "data"
  std::string message;          // what it means and what to do, for the others
};

// The joint refinement against the board, when the run made one.
struct PageRefinement {
  bool success = false;
  std::string failure_reason;
  Eigen::Matrix<double, 6, 1> vec6 = Eigen::Matrix<double, 6, 1>::Zero();
  // 1-sigma per parameter; NaN where the recording does not determine it.
  Eigen::Matrix<double, 6, 1> sigma = Eigen::Matrix<double, 6, 1>::Zero();
  // The optimizer's result it started from, with the optimizer's 1-sigma (NaN: not measured).
  Eigen::Matrix<double, 6, 1> optimizer_vec6 = Eigen::Matrix<double, 6, 1>::Zero();
  Eigen::Matrix<double, 6, 1> optimizer_sigma = Eigen::Matrix<double, 6, 1>::Zero();
  double time_offset_s = 0.0;  // odometry time = camera stamp + offset
  double time_offset_sigma_s = 0.0;
  double reprojection_rms_px = 0.0;
  double worst_frame_rms_px = 0.0;
  int frames_used = 0, tags_used = 0, corners_used = 0;
  // (frame stamp, reprojection RMS in pixels) per frame, where known.
  std::vector<std::pair<std::int64_t, double>> frame_rms_px;
};

// One topic of the recording.
struct PageTopic {
  std::string name;
  std::string type;
  std::uint64_t messages = 0;
};

struct PageRecording {
  std::string path;
  std::string storage;  // "sqlite3" or "mcap", with the compression when there is one
  double duration_s = 0.0;
  std::vector<PageTopic> topics;
};

// Everything a run knows that the calibration page shows. A run that failed has `failure` set
// and whatever it had found before; the page shows what there is.
struct ReportPageInput {
  std::optional<std::string> failure;  // why the run failed

  bool has_result = false;
  Eigen::Matrix<double, 6, 1> vec6 = Eigen::Matrix<double, 6, 1>::Zero();  // optimizer's result
  Eigen::Matrix4d matrix = Eigen::Matrix4d::Identity();                    // camera -> base
  std::string urdf;                      // calibration_result.urdf
  std::string static_transform_command;  // static_transform.txt
  std::vector<PageParameter> parameters;
  std::vector<std::string> unusable;  // parameters that make the result unusable, with why
  std::vector<std::string> caveats;   // warnings that do not make it unusable

  // Motion coverage.
  double yaw_span_deg = 0.0;
  double distance_m = 0.0;
  int accepted_pairs = 0;
  int ground_clouds = 0;
  std::vector<std::string> advice;  // the coverage warnings, each with what to do

  std::vector<PageImage> images;  // in time order
  std::vector<PagePair> pairs;    // in time order
  double pair_gate_m = 0.05;
  // Tag centres in the global frame (x, y metres), by tag id, where the run could place them.
  std::vector<std::pair<int, Eigen::Vector2d>> board_tags;
  // Heights above the floor (base z, metres) of each ground cloud's plane inliers at the result.
  std::vector<std::vector<double>> floor_heights_m;

  std::optional<PageRefinement> refinement;

  std::vector<std::pair<std::string, std::string>> settings;  // option name, value as logged
  std::string program_version;
  std::optional<PageRecording> recording;
  double run_seconds = 0.0;  // the run's time until the page was written
};

}  // namespace orvalt::calibration
