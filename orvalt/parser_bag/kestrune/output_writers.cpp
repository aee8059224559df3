// What BagParser leaves on disk: the topic directories, the files its save workers write and
// the single-shot writers.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include <fmt/format.h>
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

constexpr bool kHostIsBigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

// Takes jobs until the queue is closed and empty; a failed write costs only its own file
// and is handed to `failed` ("Save <kind> failed: <path>, <reason>").
template <class Job, class Write, class Failed>
void run_save_worker(JobQueue<Job>& queue, const std::string& data_type, const Write& write,
                     const Failed& failed) {
  while (auto job = queue.take()) {
    std::string reason;
    try {
      write(*job);
    } catch (const std::exception& error) {
      reason = error.what();
    } catch (...) {
      // Whatever a library throws, the worker must live on: the parse waits for its queue.
      reason = "unknown error";
    }
    if (!reason.empty()) {
      log()->error("[WARN] Save {} failed: {}, {}", data_type, job->path, reason);
      failed(fmt::format("Save {} failed: {}, {}", data_type, job->path, reason));
    }
    queue.task_done();
  }
}

std::ofstream open_for_writing(const std::string& path) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) {
    throw std::runtime_error("Cannot open " + path + " for writing: " + std::strerror(errno));
  }
  return file;
}

void finish_writing(std::ofstream& file, const std::string& path) {
  file.close();
  if (!file) throw std::runtime_error("Cannot write " + path);
}

// The image writer reports neither a failed close nor, for files smaller than its buffer, a
// full disk: the encoded bytes are written here, where every step is checked.
void write_bytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) throw std::runtime_error(std::string("cannot open: ") + std::strerror(errno));
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  const int write_errno = errno;
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    throw std::runtime_error(std::string("cannot write: ") +
                             std::strerror(written ? errno : write_errno));
  }
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
  std::vector<unsigned char> encoded;
  run_save_worker(
      queue, data_type,
      [&](const ImageJob& job) {
        if (!cv::imencode(".png", job.image, encoded, params)) {
          throw std::runtime_error("the image writer could not encode the image");
        }
        write_bytes(job.path, encoded);
      },
      [this](const std::string& failure) { record_write_failure(failure); });
}

void BagParser::_save_worker(JobQueue<CloudJob>& queue, const std::string& data_type) {
  run_save_worker(
      queue, data_type, [](const CloudJob& job) { _save_pcd(job.points, job.path); },
      [this](const std::string& failure) { record_write_failure(failure); });
}

bool BagParser::_save_pcd(const Points3f& data, const std::string& save_path,
                          const std::optional<Eigen::MatrixXd>& colors) {
  if (colors && (colors->rows() != data.rows() || colors->cols() != 3)) {
    throw std::invalid_argument(fmt::format("colors of {} are {} x {}, the points need {} x 3",
                                            save_path, colors->rows(), colors->cols(),
                                            data.rows()));
  }
  // Open3D's PLY writer answers true even when the disk is full, so the file is encoded here
  // (the layout Open3D writes: little-endian doubles, colours as bytes) and written checked.
  static_assert(!kHostIsBigEndian, "binary PLY is written little-endian in host order");
  std::string header = fmt::format(
      "ply\nformat binary_little_endian 1.0\nelement vertex {}\n"
      "property double x\nproperty double y\nproperty double z\n",
      data.rows());
  if (colors) header += "property uchar red\nproperty uchar green\nproperty uchar blue\n";
  header += "end_header\n";
  const std::size_t point_size = 3 * sizeof(double) + (colors ? 3 : 0);
  std::vector<unsigned char> bytes(header.begin(), header.end());
  bytes.reserve(bytes.size() + static_cast<std::size_t>(data.rows()) * point_size);
  for (Eigen::Index i = 0; i < data.rows(); ++i) {
    for (Eigen::Index axis = 0; axis < 3; ++axis) {
      const double value = data(i, axis);
      const auto* raw = reinterpret_cast<const unsigned char*>(&value);
      bytes.insert(bytes.end(), raw, raw + sizeof(double));
    }
    if (colors) {
      for (Eigen::Index channel = 0; channel < 3; ++channel) {
        bytes.push_back(static_cast<unsigned char>(std::clamp((*colors)(i, channel), 0.0, 255.0)));
      }
    }
  }
  try {
    write_bytes(save_path, bytes);
  } catch (const std::runtime_error& error) {
    throw std::runtime_error("Cannot write point cloud " + save_path + ": " + error.what());
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
