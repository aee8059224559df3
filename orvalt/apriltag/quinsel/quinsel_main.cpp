#include <algorithm>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/ranges.h>
#include <opencv2/imgcodecs.hpp>

#include "orvalt/apriltag/quinsel/aprilgrid_corner_detect.hpp"
#include "orvalt/common/argument_parser.hpp"
#include "orvalt/common/file_not_found_error.hpp"
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
  std::string detector = "opencv";
  int tag_border_bits = 1;
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
  parser.add_choice_option("--detector", &options.detector, {"opencv", "apriltag"},
                           "Tag detection engine: opencv (default) or apriltag, the AprilTag "
                           "library, which also finds small and blurred tags.");
  parser.add_choice_option("--tag_border_bits", &options.tag_border_bits, {1, 2},
                           "Black border of the tags in code cells: 1 (default) for standard "
                           "tags, 2 for Kalibr-style AprilGrids.");
  parser.parse_or_exit(argc, argv);
  return options;
}

std::string lower_extension(const std::string& name) {
  const auto dot = name.rfind('.');
  if (dot == std::string::npos) return {};
  return orvalt::common::lower(name.substr(dot));
}

// The drawings are the command's only product, so a drawing that cannot be written ends it.
void write_drawing(const fs::path& path, const cv::Mat& drawing) {
  bool written = false;
  try {
    written = cv::imwrite(path.string(), drawing);
  } catch (const cv::Exception& error) {
    throw std::runtime_error("Failed to write image: " + path.string() + " (" + error.what() + ")");
  }
  if (!written) throw std::runtime_error("Failed to write image: " + path.string());
}

void check_folders(const QuinselOptions& options) {
  if (!fs::exists(options.image_dir)) {
    throw orvalt::common::FileNotFoundError("image_dir does not exist: " + options.image_dir);
  }
  if (!fs::is_directory(options.image_dir)) {
    throw std::invalid_argument("image_dir is not a directory: " + options.image_dir);
  }
  // The drawings take the input images' names, so one folder for both would overwrite them.
  if (fs::weakly_canonical(options.image_dir) == fs::weakly_canonical(options.output_dir)) {
    throw std::invalid_argument(
        "output_dir is image_dir: the drawings would overwrite the input images in " +
        options.image_dir + "; choose another output_dir");
  }
}

void run(const QuinselOptions& options) {
  const auto log = orvalt::common::logger("orvalt.apriltag.quinsel");
  check_folders(options);
  fs::create_directories(options.output_dir);
  orvalt::apriltag::AprilgridCornerDetect detector(
      options.tag_family, options.tag_size_m, options.target_ids,
      orvalt::apriltag::detector_engine_from_name(options.detector), options.tag_border_bits);

  // Listing order, unsorted; collected first so that the progress bar knows the total.
  std::vector<fs::path> entries;
  for (const auto& entry : fs::directory_iterator(options.image_dir)) {
    entries.push_back(entry.path());
  }
  orvalt::common::ProgressBar progress("Detecting", entries.size());
  std::size_t images_read = 0, images_with_tags = 0, tags_found = 0;
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
    ++images_read;
    const auto corner_dict = detector.detect(image);
    if (!corner_dict || corner_dict->empty()) {
      log->info("Failed to detect tags in image: {}", path.string());
      continue;
    }
    ++images_with_tags;
    tags_found += corner_dict->size();
    std::vector<int> ids;
    for (const auto& [id, points] : *corner_dict) ids.push_back(id);
    std::sort(ids.begin(), ids.end());
    log->info("Found {} tags in image: {} (ids {})", ids.size(), path.string(),
              fmt::join(ids, " "));
    const fs::path output_dir(options.output_dir);
    write_drawing(output_dir / ("vis_" + name), detector.draw_detection(image));
    write_drawing(output_dir / name, detector.draw(image, *corner_dict));
  }
  progress.finish();
  log->info("Read {} images, {} with tags, {} tags found", images_read, images_with_tags,
            tags_found);
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
