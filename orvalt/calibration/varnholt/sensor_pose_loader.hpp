#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "orvalt/apriltag/quinsel/detector_engine.hpp"
#include "orvalt/calibration/varnholt/frame_record.hpp"

namespace orvalt::calibration {

// One colour image to detect tags in, with everything the worker needs (texts and numbers
// only, so that tasks share nothing).
struct ImageTask {
  std::string color_path;
  std::string depth_path;
  std::string pcd_path;
  std::string color_name;
  bool draw_visual = true;
  std::string visual_dir;
  std::string tag_family;
  double tag_size_m = 0.15;
  std::vector<int> target_ids;
  apriltag::DetectorEngine detector = apriltag::DetectorEngine::opencv;
  int tag_border_bits = 1;
  // Also find each tag's corners again from its edges (FrameRecord::edge_corners).
  bool edge_corners = false;
};

// The pose a sensor file's stem "timestamp.tx_ty_tz_qw_qx_qy_qz" names. Parses a file stem as the
// bag parser names its files: an integer timestamp, one ".", then seven numbers joined by "_".
// Throws std::invalid_argument for a stem without "." or a timestamp that is not an integer, and
// "Invalid position info format: <pose text>, please check the format" when the pose text does not
// hold exactly seven numbers.
PoseRow parse_pose_stem(const std::string& stem);

// The tasks of a run: one per colour image (extension .jpg, .jpeg or .png in any case) of
// `color_dir` that has a depth image of the same name in `depth_dir`, in listing order. The
// point-cloud path is `pointcloud_dir` / the colour name with every ".png" replaced by ".ply".
// Every task gets the same detector settings.
std::vector<ImageTask> collect_image_tasks(
    const std::string& color_dir, const std::string& depth_dir, const std::string& pointcloud_dir,
    bool draw_visual, const std::string& visual_dir, const std::string& tag_family,
    double tag_size_m, const std::vector<int>& target_ids,
    apriltag::DetectorEngine detector = apriltag::DetectorEngine::opencv, int tag_border_bits = 1);

using FrameResult = std::optional<std::pair<std::int64_t, FrameRecord>>;

// What became of one colour image: a frame, or why not.
enum class ImageOutcome {
  kFrame,         // tags of --target_ids found
  kNoTags,        // the detector found no tag
  kTagsFiltered,  // tags found, but none of --target_ids
  kFailed,        // a name that is no pose stem, an unreadable image, a detector error
};

struct ImageResult {
  ImageOutcome outcome = ImageOutcome::kFailed;
  FrameResult frame;  // set for kFrame only
};

// How many images of a run came to each outcome; `images` is their sum.
struct ImageCounts {
  int images = 0;
  int frames = 0;
  int without_tags = 0;
  int tags_filtered = 0;
  int failed = 0;
};

// Detects the tags of one task's colour image with a detector of its own and, when any tag is
// found, returns the frame (drawing the detection into visual_dir / colour name when asked).
// Any failure returns kFailed: the frame is dropped, the run goes on.
ImageResult process_image_worker(const ImageTask& task);

// Runs process_image_worker over all tasks on `workers` threads; results in task order.
std::vector<ImageResult> run_image_tasks(const std::vector<ImageTask>& tasks, int workers);

// One worker per processor, at least one: the main thread only waits while they detect.
int default_worker_count();

ImageCounts count_images(const std::vector<ImageResult>& results);

// The frames of the results in timestamp order; of two results with one timestamp the later
// in task order wins.
FrameMap frames_by_timestamp(std::vector<ImageResult> results);

}  // namespace orvalt::calibration
