#include <algorithm>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <fmt/ranges.h>
#include <opencv2/imgcodecs.hpp>

#include "orvalt/apriltag/quinsel/aprilgrid_corner_detect.hpp"
#include "orvalt/common/argument_parser.hpp"
#include "orvalt/common/logger.hpp"
#include "orvalt/common/progress_bar.hpp"
#include "orvalt/common/strings.hpp"

namespace {

namespace fs = std::filesystem;

struct QuinselOptions {
  std::string tag_family = "APRILTAG_36h11";
  double tag_size_m = 0.15;
  std::vector<int> target_ids = {0, 1, 2, 3};
  std::string image_dir = "/userdata/save_dir/-QuillonNode-rectify_left_image/";
  std::string output_dir = "./output";
};

QuinselOptions parse_args(int argc, char** argv) {
  QuinselOptions options;
  orvalt::common::ArgumentParser parser(
      "quinsel", "Detect AprilGrid board in the image and return tag poses.");
  parser.add_option("--tag_family", &options.tag_family, "Tag family to use for detection.");
  parser.add_option("--tag_size_m", &options.tag_size_m, "Size of the AprilTag board in meters.");
  parser.add_option("--target_ids", &options.target_ids, "List of target tag IDs to detect.");
  parser.add_option("--image_dir", &options.image_dir, "Path to the input image file.");
  parser.add_option("--output_dir", &options.output_dir, "Path to the output directory.");
  parser.parse_or_exit(argc, argv);
  return options;
}

std::string lower_extension(const std::string& name) {
  const auto dot = name.rfind('.');
  if (dot == std::string::npos) return {};
  return orvalt::common::lower(name.substr(dot));
}

void run(const QuinselOptions& options) {
  const auto log = orvalt::common::logger("orvalt.apriltag.quinsel");
  if (!fs::exists(options.image_dir)) throw std::invalid_argument("image_dir does not exist");
  fs::create_directories(options.output_dir);
  orvalt::apriltag::AprilgridCornerDetect detector(options.tag_family, options.tag_size_m,
                                                   options.target_ids);

  // Listing order, unsorted; collected first so that the progress bar knows the total.
  std::vector<fs::path> entries;
  for (const auto& entry : fs::directory_iterator(options.image_dir)) {
    entries.push_back(entry.path());
  }
  orvalt::common::ProgressBar progress("Detecting", entries.size());
  for (const fs::path& path : entries) {
    progress.update();
    const std::string name = path.filename().string();
    log->info("Processing image: {}", name);
    const std::string extension = lower_extension(name);
    if (extension != ".jpg" && extension != ".jpeg" && extension != ".png") continue;
    const cv::Mat image = cv::imread(path.string());
    if (image.empty()) {
      log->info("Failed to read image: {}", path.string());
      continue;
    }
    const auto corner_dict = detector.detect(image);
    if (!corner_dict || corner_dict->empty()) {
      log->info("Failed to detect tags in image: {}", path.string());
      continue;
    }
    std::vector<int> ids;
    for (const auto& [id, points] : *corner_dict) ids.push_back(id);
    std::sort(ids.begin(), ids.end());
    log->info("Found {} tags in image: {} (ids {})", ids.size(), path.string(),
              fmt::join(ids, " "));
    const fs::path output_dir(options.output_dir);
    detector.draw_detection(image, (output_dir / ("vis_" + name)).string());
    detector.draw(image, *corner_dict, (output_dir / name).string());
  }
  progress.finish();
}

}  // namespace

int main(int argc, char** argv) {
  orvalt::common::configure_console_logging();
  const QuinselOptions options = parse_args(argc, argv);
  try {
    run(options);
  } catch (const std::exception& error) {
    std::cerr << "quinsel: error: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
