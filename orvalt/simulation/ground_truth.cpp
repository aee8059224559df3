#include "orvalt/simulation/ground_truth.hpp"

#include <cmath>
#include <fstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "orvalt/calibration/utils/transform_utils.hpp"
#include "orvalt/common/angles.hpp"
#include "orvalt/common/file_not_found_error.hpp"
#include "orvalt/common/json_text.hpp"
#include "orvalt/simulation/tf_synthesis.hpp"

namespace orvalt::simulation {
namespace {

using Json = nlohmann::ordered_json;
using calibration::TransformUtils;

template <typename Derived>
Json rows_of(const Eigen::MatrixBase<Derived>& matrix) {
  Json rows = Json::array();
  for (Eigen::Index r = 0; r < matrix.rows(); ++r) {
    Json row = Json::array();
    for (Eigen::Index c = 0; c < matrix.cols(); ++c) row.push_back(matrix(r, c));
    rows.push_back(row);
  }
  return rows;
}

template <typename Derived>
Json values_of(const Eigen::MatrixBase<Derived>& vector) {
  Json values = Json::array();
  for (Eigen::Index i = 0; i < vector.size(); ++i) values.push_back(vector(i));
  return values;
}

// The keys of calibration_result.json, in its order.
Json extrinsic_json(const Vector6& vec6) {
  calibration::Vector6d vector;
  for (int i = 0; i < 6; ++i) vector[i] = vec6[i];
  const Eigen::Matrix4d matrix = TransformUtils::vector6_to_transform_matrix(vector);
  const Eigen::Matrix3d rotation = matrix.topLeftCorner<3, 3>();
  const Eigen::Vector3d euler = TransformUtils::mat2euler(rotation);
  Json json;
  json["vec6"] = values_of(vector);
  json["rotation"] = rows_of(rotation);
  json["translation"] = values_of(matrix.topRightCorner<3, 1>());
  json["rotation_euler"] = values_of(euler);
  json["rotation_deg"] = values_of(common::rad_to_deg(euler));
  json["rotation_quat"] = values_of(TransformUtils::mat2quat(rotation));
  json["extrinsic_matrix_4x4"] = rows_of(matrix);
  return json;
}

Json board_json(const SimulationOptions& options, const Board& board) {
  Json json;
  json["family"] = "tag36h11";
  json["rows"] = options.board.rows;
  json["cols"] = options.board.cols;
  json["first_id"] = options.board.first_id;
  json["tag_size_m"] = options.board.tag_size;
  json["tag_spacing_m"] = board.tag_spacing();
  json["margin_m"] = board.margin();
  json["width_m"] = board.width();
  json["height_m"] = board.height();
  json["position_m"] = {options.board_placement.x, options.board_placement.y};
  json["yaw_rad"] = options.board_placement.yaw;
  json["world_from_board_4x4"] = rows_of(board.world_from_board().matrix());
  Json tags = Json::array();
  for (const auto& tag : board.tags()) {
    Json corners = Json::array();
    for (const auto& corner : tag.corners) corners.push_back(values_of(corner));
    tags.push_back({{"id", tag.id}, {"corners_world_m", corners}});
  }
  json["tags"] = tags;
  return json;
}

Json noise_json(const NoiseSettings& noise) {
  Json json;
  json["image_noise"] = noise.image_noise;
  json["image_blur_px"] = noise.image_blur;
  json["brightness_variation"] = noise.brightness_variation;
  json["depth_noise_m"] = noise.depth_noise;
  json["depth_noise_quadratic_m_per_m2"] = noise.depth_noise_quadratic;
  json["depth_edge_holes_px"] = noise.depth_edge_holes;
  json["depth_dropout"] = noise.depth_dropout;
  json["odometry"] = {{"scale_error", noise.odometry.scale},
                      {"slip", noise.odometry.slip},
                      {"slip_time_s", noise.odometry.slip_time},
                      {"yaw_scale_error", noise.odometry.yaw_scale},
                      {"yaw_noise", noise.odometry.yaw_noise}};
  return json;
}

Json trajectory_json(const SimulationOptions& options, const Trajectory& trajectory) {
  Json cycle = Json::array();
  for (const auto& manoeuvre : trajectory.cycle()) {
    cycle.push_back({{"duration_s", manoeuvre.duration},
                     {"distance_m", manoeuvre.distance},
                     {"turn_rad", manoeuvre.turn}});
  }
  return {{"kind", trajectory_kind_name(options.trajectory)},
          {"duration_s", options.duration},
          {"cycle", cycle}};
}

Json topics_json(const SimulationOptions& options, const RecordingSummary& summary) {
  const std::vector<std::pair<std::string, std::string>> topics = {
      {"/tf", ros2::tf2_msgs::TFMessage::kTypeName},
      {"/tf_static", ros2::tf2_msgs::TFMessage::kTypeName},
      {options.topics.color, ros2::sensor_msgs::Image::kTypeName},
      {options.topics.depth, ros2::sensor_msgs::Image::kTypeName},
      {options.topics.cloud, ros2::sensor_msgs::PointCloud2::kTypeName},
      {options.topics.camera_info, ros2::sensor_msgs::CameraInfo::kTypeName}};
  Json json;
  for (const auto& [name, type] : topics) {
    const auto found = summary.topics.find(name);
    const TopicSummary topic = found == summary.topics.end() ? TopicSummary{} : found->second;
    json[name] = {
        {"type", type}, {"messages", topic.messages}, {"mean_delay_ms", topic.mean_delay_ms}};
  }
  return json;
}

}  // namespace

void write_ground_truth(const Simulation& simulation, const RecordingSummary& summary) {
  const SimulationOptions& options = simulation.options();
  const auto& camera = options.intrinsics;
  Json json = extrinsic_json(options.extrinsic);
  json["nominal_extrinsic"] = extrinsic_json(options.nominal_extrinsic);
  json["frames"] = {{"global", kOdomFrame},     {"base", kBaseFrame},    {"camera", kCameraFrame},
                    {"optical", kOpticalFrame}, {"cloud", kCameraFrame}, {"images", kOpticalFrame}};
  json["camera"] = {{"width", camera.width},
                    {"height", camera.height},
                    {"fx", camera.fx},
                    {"fy", camera.fy},
                    {"cx", camera.cx},
                    {"cy", camera.cy},
                    {"distortion_model", "plumb_bob"},
                    {"distortion_coeffs", {0.0, 0.0, 0.0, 0.0, 0.0}},
                    {"depth_range_m", {options.depth_min, options.depth_max}},
                    {"cloud_step", options.cloud_step}};
  json["board"] = board_json(options, simulation.scene().board());
  json["room"] = {{"x_m", {options.room.x_min, options.room.x_max}},
                  {"y_m", {options.room.y_min, options.room.y_max}},
                  {"height_m", options.room.height}};
  json["trajectory"] = trajectory_json(options, simulation.trajectory());
  json["rates_hz"] = {
      {"camera", options.camera_rate}, {"cloud", options.cloud_rate}, {"tf", options.tf_rate}};
  json["start_time_ns"] = options.start_time_ns;
  json["frame_count"] = simulation.frame_count();
  json["storage"] = options.storage;
  json["topics"] = topics_json(options, summary);
  json["recording_delay_ms"] = {{"min", options.delay.min_ms}, {"max", options.delay.max_ms}};
  // Only where there is one, so that recordings without latency keep the file they always had.
  if (options.camera_latency_ms > 0.0) json["camera_latency_ms"] = options.camera_latency_ms;
  json["seed"] = options.seed;
  json["noise"] = noise_json(options.noise);
  const OdometrySample& last = simulation.odometry().back();
  const PlanarState truth = simulation.trajectory().state(last.time);
  json["odometry_drift_at_end"] = {{"time_s", last.time},
                                   {"x_m", last.x - truth.x},
                                   {"y_m", last.y - truth.y},
                                   {"yaw_rad", last.yaw - truth.yaw}};

  const std::filesystem::path path = summary.directory / kGroundTruthFile;
  std::ofstream out(path);
  out << common::json_text(json) << "\n";
  if (!out.flush()) throw std::runtime_error("Failed to write " + path.string());
}

GroundTruth read_ground_truth(const std::filesystem::path& path) {
  const std::filesystem::path file =
      std::filesystem::is_directory(path) ? path / kGroundTruthFile : path;
  if (!std::filesystem::exists(file)) {
    throw common::FileNotFoundError("Ground truth file not found: " + file.string());
  }
  std::ifstream in(file);
  try {
    const Json json = Json::parse(in);
    GroundTruth truth;
    const auto& vec6 = json.at("vec6");
    if (vec6.size() != 6) throw std::runtime_error("vec6 must hold 6 numbers");
    for (int i = 0; i < 6; ++i) truth.vec6[i] = vec6.at(i).get<double>();
    const auto& matrix = json.at("extrinsic_matrix_4x4");
    for (int r = 0; r < 4; ++r) {
      for (int c = 0; c < 4; ++c) truth.extrinsic_matrix(r, c) = matrix.at(r).at(c).get<double>();
    }
    const auto& camera = json.at("camera");
    truth.intrinsics.width = camera.at("width").get<int>();
    truth.intrinsics.height = camera.at("height").get<int>();
    truth.intrinsics.fx = camera.at("fx").get<double>();
    truth.intrinsics.fy = camera.at("fy").get<double>();
    truth.intrinsics.cx = camera.at("cx").get<double>();
    truth.intrinsics.cy = camera.at("cy").get<double>();
    truth.seed = json.at("seed").get<std::uint64_t>();
    truth.camera_latency_ms = json.value("camera_latency_ms", 0.0);
    return truth;
  } catch (const nlohmann::json::exception& error) {
    throw std::runtime_error("Malformed ground truth " + file.string() + ": " + error.what());
  }
}

}  // namespace orvalt::simulation
