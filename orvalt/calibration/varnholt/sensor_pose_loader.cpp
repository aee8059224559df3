#include "orvalt/calibration/varnholt/sensor_pose_loader.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "orvalt/apriltag/quinsel/aprilgrid_corner_detect.hpp"
#include "orvalt/apriltag/quinsel/tag_edge_refinement.hpp"
#include "orvalt/common/file_not_found_error.hpp"
#include "orvalt/common/progress_bar.hpp"
#include "orvalt/common/strings.hpp"

namespace orvalt::calibration {
namespace {

namespace fs = std::filesystem;

template <typename Number>
bool parse_number(const std::string& text, Number& value) {
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  return error == std::errc() && stop == end;
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// While the workers run, OpenCV runs each call on the calling thread: the workers already keep
// every core busy, and the detector's own parallel loops would only queue behind each other
// for the same cores.
class SequentialOpenCv {
 public:
  SequentialOpenCv() : previous_threads_(cv::getNumThreads()) { cv::setNumThreads(0); }
  ~SequentialOpenCv() { cv::setNumThreads(previous_threads_); }
  SequentialOpenCv(const SequentialOpenCv&) = delete;
  SequentialOpenCv& operator=(const SequentialOpenCv&) = delete;

 private:
  int previous_threads_;
};

}  // namespace

PoseRow parse_pose_stem(const std::string& stem) {
  const auto dot = stem.find('.');
  if (dot == std::string::npos) {
    throw std::invalid_argument("File name " + stem + " has no pose after its timestamp");
  }
  PoseRow parsed;
  const std::string timestamp_text = stem.substr(0, dot);
  if (!parse_number(timestamp_text, parsed.timestamp)) {
    throw std::invalid_argument("File name " + stem + " does not start with an integer timestamp");
  }
  const std::string pose_text = stem.substr(dot + 1);
  std::vector<double> numbers;
  std::size_t start = 0;
  while (true) {
    const auto separator = pose_text.find('_', start);
    const std::string piece = pose_text.substr(start, separator - start);
    double value = 0.0;
    if (!parse_number(piece, value)) {
      throw std::invalid_argument("Invalid number " + piece + " in position info " + pose_text);
    }
    numbers.push_back(value);
    if (separator == std::string::npos) break;
    start = separator + 1;
  }
  if (numbers.size() != 7) {
    throw std::invalid_argument("Invalid position info format: " + pose_text +
                                ", please check the format");
  }
  parsed.tx = numbers[0];
  parsed.ty = numbers[1];
  parsed.tz = numbers[2];
  parsed.qw = numbers[3];
  parsed.qx = numbers[4];
  parsed.qy = numbers[5];
  parsed.qz = numbers[6];
  return parsed;
}

std::vector<ImageTask> collect_image_tasks(const std::string& color_dir,
                                           const std::string& depth_dir,
                                           const std::string& pointcloud_dir, bool draw_visual,
                                           const std::string& visual_dir,
                                           const std::string& tag_family, double tag_size_m,
                                           const std::vector<int>& target_ids,
                                           apriltag::DetectorEngine detector, int tag_border_bits) {
  std::vector<ImageTask> tasks;
  for (const auto& entry : fs::directory_iterator(color_dir)) {
    const std::string name = entry.path().filename().string();
    const std::string extension = common::lower(entry.path().extension().string());
    if (extension != ".jpg" && extension != ".jpeg" && extension != ".png") continue;
    const fs::path depth_path = fs::path(depth_dir) / name;
    if (!fs::exists(depth_path)) continue;
    tasks.push_back({(fs::path(color_dir) / name).string(), depth_path.string(),
                     (fs::path(pointcloud_dir) / replace_all(name, ".png", ".ply")).string(), name,
                     draw_visual, visual_dir, tag_family, tag_size_m, target_ids, detector,
                     tag_border_bits});
  }
  return tasks;
}

ImageResult process_image_worker(const ImageTask& task) {
  try {
    const PoseRow pose = parse_pose_stem(fs::path(task.color_name).stem().string());
    const cv::Mat image = cv::imread(task.color_path);
    if (image.empty()) {
      throw common::FileNotFoundError("Failed to read image: " + task.color_path);
    }
    // One grey image for the detector and the edge fit.
    cv::Mat gray;
    cv::cvtColor(image, gray, cv::COLOR_BGR2GRAY);
    apriltag::AprilgridCornerDetect detector(task.tag_family, task.tag_size_m, task.target_ids,
                                             task.detector, task.tag_border_bits);
    auto corner_dict = detector.detect(gray);
    if (!corner_dict) return {ImageOutcome::kNoTags, std::nullopt};
    if (corner_dict->empty()) return {ImageOutcome::kTagsFiltered, std::nullopt};
    if (task.draw_visual) {
      detector.draw(image, *corner_dict, (fs::path(task.visual_dir) / task.color_name).string());
    }
    apriltag::TagMap edge_corners;
    if (task.edge_corners) edge_corners = apriltag::refine_tags_edges(gray, *corner_dict);
    FrameRecord frame{pose,          task.color_path,         task.depth_path,
                      task.pcd_path, std::move(*corner_dict), std::move(edge_corners)};
    return {ImageOutcome::kFrame, std::make_pair(pose.timestamp, std::move(frame))};
  } catch (...) {
    // One bad image must not end the run; the counts tell how many survived.
    return {ImageOutcome::kFailed, std::nullopt};
  }
}

std::vector<ImageResult> run_image_tasks(const std::vector<ImageTask>& tasks, int workers) {
  std::vector<ImageResult> results(tasks.size());
  std::atomic<std::size_t> next{0};
  std::mutex progress_mutex;
  common::ProgressBar progress("Detecting tags", tasks.size());
  const auto work = [&] {
    for (std::size_t i = next++; i < tasks.size(); i = next++) {
      results[i] = process_image_worker(tasks[i]);
      std::lock_guard<std::mutex> lock(progress_mutex);
      progress.update();
    }
  };
  std::vector<std::thread> threads;
  const int count = std::max(1, std::min<int>(workers, static_cast<int>(tasks.size())));
  std::optional<SequentialOpenCv> sequential;
  if (count > 1) sequential.emplace();
  for (int i = 0; i < count; ++i) threads.emplace_back(work);
  for (auto& thread : threads) thread.join();
  progress.finish();
  return results;
}

int default_worker_count() {
  return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

ImageCounts count_images(const std::vector<ImageResult>& results) {
  ImageCounts counts;
  counts.images = static_cast<int>(results.size());
  for (const ImageResult& result : results) {
    switch (result.outcome) {
      case ImageOutcome::kFrame:
        ++counts.frames;
        break;
      case ImageOutcome::kNoTags:
        ++counts.without_tags;
        break;
      case ImageOutcome::kTagsFiltered:
        ++counts.tags_filtered;
        break;
      case ImageOutcome::kFailed:
        ++counts.failed;
        break;
    }
  }
  return counts;
}

FrameMap frames_by_timestamp(std::vector<ImageResult> results) {
  FrameMap frames;
  for (auto& result : results) {
    if (result.frame) frames.insert_or_assign(result.frame->first, std::move(result.frame->second));
  }
  return frames;
}

}  // namespace orvalt::calibration
