// What BagParser leaves on disk: the topic directories, the files its save workers write and
// the single-shot writers.
#include <algorithm>
#include <fstream>
#include <stdexcept>

#include <fmt/format.h>
#include <open3d/geometry/PointCloud.h>
#include <open3d/io/PointCloudIO.h>
#include <yaml-cpp/yaml.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include "orvalt/common/file_not_found_error.hpp"
#include "orvalt/common/json_text.hpp"
#include "orvalt/common/logger.hpp"
#include "orvalt/parser_bag/kestrune/bag_parser.hpp"

namespace orvalt::parser_bag {
namespace {

auto log() { return common::logger("orvalt.parser_bag.kestrune"); }

// Takes jobs until the queue is closed and empty; a failed write costs only its own file.
template <class Job, class Write>
void run_save_worker(JobQueue<Job>& queue, const std::string& data_type, const Write& write) {
  while (auto job = queue.take()) {
    try {
      write(*job);
    } catch (const std::exception& error) {
      log()->error("[WARN] Save {} failed: {}, {}", data_type, job->path, error.what());
    } catch (...) {
      // Whatever a library throws, the worker must live on: the parse waits for its queue.
      log()->error("[WARN] Save {} failed: {}, unknown error", data_type, job->path);
    }
    queue.task_done();
  }
}

std::ofstream open_for_writing(const std::string& path) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) throw std::runtime_error("Cannot open " + path + " for writing");
  return file;
}

void finish_writing(std::ofstream& file, const std::string& path) {
  file.close();
  if (!file) throw std::runtime_error("Cannot write " + path);
}

}  // namespace

std::string topic_dir_name(const std::string& topic) {
  std::string name = topic;
  if (topic.find('/') != std::string::npos) {
    const auto first = topic.find_first_not_of('/');
    name = first == std::string::npos
               ? std::string()
               : topic.substr(first, topic.find_last_not_of('/') - first + 1);
    std::replace(name.begin(), name.end(), '/', '_');
  }
  // The directory is wiped at start-up, so it must be a fresh child of the save directory and
  // never the save directory itself or its parent.
  if (name.empty() || name == "." || name == "..") {
    throw std::invalid_argument("Topic \"" + topic +
                                "\" gives no usable directory name; use a topic name with "
                                "letters in it");
  }
  return name;
}

void BagParser::_init_dirs() {
  topic_save_dir_.clear();
  if (!std::filesystem::is_directory(save_dir_)) {
    throw common::FileNotFoundError("Save dir " + save_dir_.string() +
                                    " does not exist or is not a directory");
  }
  // Every name is checked before any directory is wiped.
  std::vector<std::string> topics;
  for (const auto& topic : topic_list_) {
    if (topic == "/tf" || topic == "/tf_static" || topic_save_dir_.count(topic)) continue;
    topic_save_dir_[topic] = save_dir_ / topic_dir_name(topic);
    topics.push_back(topic);
  }
  for (const auto& topic : topics) {
    const auto& directory = topic_save_dir_.at(topic);
    log()->debug("Topic {} save dir: {}", topic, directory.string());
    std::filesystem::remove_all(directory);
    std::filesystem::create_directories(directory);
  }
}

void BagParser::_save_worker(JobQueue<ImageJob>& queue, const std::string& data_type) {
  // Depth images are written uncompressed; colour images with the PNG writer's default.
  std::vector<int> params;
  if (data_type == "depth") params = {cv::IMWRITE_PNG_COMPRESSION, 0};
  run_save_worker(queue, data_type, [&params](const ImageJob& job) {
    if (!cv::imwrite(job.path, job.image, params)) {
      throw std::runtime_error("the image writer could not write the file");
    }
  });
}

void BagParser::_save_worker(JobQueue<CloudJob>& queue, const std::string& data_type) {
  run_save_worker(queue, data_type, [](const CloudJob& job) { _save_pcd(job.points, job.path); });
}

bool BagParser::_save_pcd(const Points3f& data, const std::string& save_path,
                          const std::optional<Eigen::MatrixXd>& colors) {
  open3d::geometry::PointCloud cloud;
  cloud.points_.reserve(static_cast<std::size_t>(data.rows()));
  for (Eigen::Index i = 0; i < data.rows(); ++i) {
    cloud.points_.emplace_back(data.row(i).transpose().cast<double>());
  }
  if (colors) {
    if (colors->rows() != data.rows() || colors->cols() != 3) {
      throw std::invalid_argument(fmt::format("colors of {} are {} x {}, the points need {} x 3",
                                              save_path, colors->rows(), colors->cols(),
                                              data.rows()));
    }
    for (Eigen::Index i = 0; i < colors->rows(); ++i) {
      cloud.colors_.emplace_back(colors->row(i).transpose() / 255.0);
    }
  }
  const open3d::io::WritePointCloudOption binary(
      open3d::io::WritePointCloudOption::IsAscii::Binary);
  if (!open3d::io::WritePointCloud(save_path, cloud, binary)) {
    throw std::runtime_error("Cannot write point cloud " + save_path);
  }
  return true;
}

bool BagParser::_save_yaml(const YAML::Node& data, const std::string& save_path) {
  YAML::Emitter emitter;
  emitter.SetIndent(4);
  emitter << data;
  if (!emitter.good()) {
    throw std::runtime_error("Cannot write " + save_path + " as YAML: " + emitter.GetLastError());
  }
  auto file = open_for_writing(save_path);
  file << emitter.c_str() << "\n";
  finish_writing(file, save_path);
  return true;
}

bool BagParser::_save_json(const nlohmann::ordered_json& data, const std::string& save_path) {
  auto file = open_for_writing(save_path);
  file << common::json_text(data, 2) << "\n";
  finish_writing(file, save_path);
  return true;
}

bool BagParser::_save_txt(const Eigen::MatrixXd& data, const std::string& save_path) {
  auto file = open_for_writing(save_path);
  for (Eigen::Index row = 0; row < data.rows(); ++row) {
    for (Eigen::Index col = 0; col < data.cols(); ++col) {
      if (col > 0) file << ' ';
      file << format_fixed6(data(row, col));
    }
    file << '\n';
  }
  finish_writing(file, save_path);
  return true;
}

}  // namespace orvalt::parser_bag
