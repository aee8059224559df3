#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "orvalt/calibration/utils/transform_utils.hpp"
#include "orvalt/calibration/varnholt/crop_box.hpp"

namespace orvalt::calibration {

// The calibration program's settings: the 33 command-line options (named after the option),
// then what the program and each calibrator derive from them. One record lives for the whole
// program; every calibrator reads it and updates the per-run fields in turn.
struct RunSettings {
  std::string camera_color_topic = "/QuillonNode/rectify_left_image";
  std::string camera_pointcloud_topic = "/QuillonNode/quillon_pointcloud2";
  std::string camera_depth_topic = "/QuillonNode/quillon_depth";
  std::string camera_info_topic = "/QuillonNode/quillon_depth/camera_info";
  std::string base_frame = "base_footprint";
  std::string global_frame = "odom";
  std::string bag_datasets_dir = "/userdata/save_bag/";
  std::optional<std::string> bag_dir;  // replaced by each dataset's path
  std::string reindex_bag = "/userdata/reindex_bags/";
  std::string parser_output_dir = "/userdata/save_dir/";  // replaced by each run's directory
  std::string tag_family = "APRILTAG_36h11";
  double tag_size_m = 0.15;
  bool enable_subpix_refinement = true;
  std::vector<int> target_ids = {0, 1, 2, 3, 4};
  std::vector<double> pc_crop_region = {0.2, 0.3, -0.1, 0.1, -0.5, 0.5};
  double w_axxb = 30.0;
  double w_normal = 30.0;
  double w_z = 30.0;
  int max_iter = 1000;
  std::vector<double> init_extrinsics = {0.0, 0.0, 0.0, 0.01, 0.04, 0.146};
  double extrinsics_rotate_offset = 10.0;     // degrees
  double extrinsics_translate_offset = 0.03;  // metres
  int calib_num = 1;
  bool debug = true;
  std::string log_level = "INFO";
  std::string log_file = "/userdata/calibration.log";
  // Options beyond the established 26, with defaults that keep earlier command lines as they
  // were.
  double w_xy = 1.0;   // weight of the horizontal-translation prior; 0 lets the motions decide
  double ftol = 1e-8;  // the minimiser's relative decrease tolerance
  double gtol = 1e-8;  // the minimiser's projected-gradient tolerance
  std::string camera_frame = "camera_link";  // child frame of the URDF and static transform
  std::string detector = "opencv";           // tag detection engine: opencv or apriltag
  int tag_border_bits = 1;                   // tag border in code cells: 2 for Kalibr-style
  bool report = true;                        // write calibration_report.html
  std::string refine = "none";               // after the optimizer: none, or board
  // The board refinement's wheel-odometry noise: metres per square root of metres driven,
  // radians per square root of radians turned, radians per square root of metres driven, and
  // metres sideways per square root of metres driven.
  std::vector<double> odometry_noise = {0.01, 0.01, 0.005, 0.0};

  // "/tf", "/tf_static", then the colour, point-cloud, depth and camera-info topics.
  std::vector<std::string> topic_list;
  // [rx, ry, rz, tx, ty, tz] in radians and metres, and a (lower, upper) pair for each.
  Vector6d extrinsics_init = Vector6d::Zero();
  Vector6dBounds extrinsics_bound{};
  // The point-cloud crop box of the current run, from pc_crop_region.
  CropBox crop_box;

  // Refuses option values no run can work with, before any dataset is touched: the later
  // stages rely on what it guarantees. pc_crop_region and init_extrinsics hold at least six
  // finite values (more are ignored), the box's minima lie below its maxima and the initial
  // angles within [-180, 180] degrees; tag_size_m is finite and positive; calib_num >= 0;
  // max_iter >= 1; target_ids is a non-empty list of ids >= 0; weights, tolerances and offsets
  // are finite and not negative. Throws std::invalid_argument naming the option and value.
  void check() const;
};

// The topics a run extracts, in the order the bag parser expects them.
std::vector<std::string> make_topic_list(const RunSettings& settings);

// Calls visit(name, value) for every field that settings_dump shows, in the record's order
// (the 33 options, topic_list, extrinsics_init, extrinsics_bound).
template <class Visit>
void visit_settings(const RunSettings& s, Visit&& visit) {
  visit("camera_color_topic", s.camera_color_topic);
  visit("camera_pointcloud_topic", s.camera_pointcloud_topic);
  visit("camera_depth_topic", s.camera_depth_topic);
  visit("camera_info_topic", s.camera_info_topic);
  visit("base_frame", s.base_frame);
  visit("global_frame", s.global_frame);
  visit("bag_datasets_dir", s.bag_datasets_dir);
  visit("bag_dir", s.bag_dir);
  visit("reindex_bag", s.reindex_bag);
  visit("parser_output_dir", s.parser_output_dir);
  visit("tag_family", s.tag_family);
  visit("tag_size_m", s.tag_size_m);
  visit("enable_subpix_refinement", s.enable_subpix_refinement);
  visit("target_ids", s.target_ids);
  visit("pc_crop_region", s.pc_crop_region);
  visit("w_axxb", s.w_axxb);
  visit("w_normal", s.w_normal);
  visit("w_z", s.w_z);
  visit("max_iter", s.max_iter);
  visit("init_extrinsics", s.init_extrinsics);
  visit("extrinsics_rotate_offset", s.extrinsics_rotate_offset);
  visit("extrinsics_translate_offset", s.extrinsics_translate_offset);
  visit("calib_num", s.calib_num);
  visit("debug", s.debug);
  visit("log_level", s.log_level);
  visit("log_file", s.log_file);
  visit("w_xy", s.w_xy);
  visit("ftol", s.ftol);
  visit("gtol", s.gtol);
  visit("camera_frame", s.camera_frame);
  visit("detector", s.detector);
  visit("tag_border_bits", s.tag_border_bits);
  visit("report", s.report);
  visit("refine", s.refine);
  visit("odometry_noise", s.odometry_noise);
  visit("topic_list", s.topic_list);
  visit("extrinsics_init", s.extrinsics_init);
  visit("extrinsics_bound", s.extrinsics_bound);
}

// One line "========= name: value" per field, in the order of the record (the 33 options,
// topic_list, extrinsics_init, extrinsics_bound); values in Python's text forms (True, None,
// 30.0, [0, 1], [(-0.1, 0.1)]).
std::vector<std::string> settings_dump(const RunSettings& settings);

}  // namespace orvalt::calibration
