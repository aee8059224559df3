#include "orvalt/calibration/varnholt/command_line.hpp"

namespace orvalt::calibration {

std::unique_ptr<common::ArgumentParser> create_parser(RunSettings& s) {
  auto parser = std::make_unique<common::ArgumentParser>(
      "varnholt", "Camera to base_footprint extrinsic calibration");
  common::ArgumentParser& p = *parser;
  // Help texts are the program's established ones, including the defaults some of them name
  // wrongly; users' scripts and documentation quote them.
  p.add_option("--camera_color_topic", &s.camera_color_topic, "ROS2 topic for color image");
  p.add_option("--camera_pointcloud_topic", &s.camera_pointcloud_topic,
               "ROS2 topic for point cloud");
  p.add_option("--camera_depth_topic", &s.camera_depth_topic, "ROS2 topic for depth image");
  p.add_option("--camera_info_topic", &s.camera_info_topic, "ROS2 topic for camera info");
  p.add_option("--base_frame", &s.base_frame, "Robot base coordinate frame (default: base_link)");
  p.add_option("--global_frame", &s.global_frame, "Global coordinate frame (default: odom)");
  p.add_option("--bag_datasets_dir", &s.bag_datasets_dir, "Path to directory containing bag dir");
  p.add_option("--bag_dir", &s.bag_dir, "Path to directory containing bag files");
  p.add_option("--reindex_bag", &s.reindex_bag, "Path to directory for reindexed bag files");
  p.add_option("--parser_output_dir", &s.parser_output_dir, "Output directory for parsed data");
  p.add_option("--tag_family", &s.tag_family, "AprilTag family (default: APRILTAG_36h11)");
  p.add_option("--tag_size_m", &s.tag_size_m, "AprilTag size in meters (default: 0.15)");
  p.add_text_truth_option("--enable_subpix_refinement", &s.enable_subpix_refinement,
                          "Disable subpixel corner refinement");
  p.add_option("--target_ids", &s.target_ids, "List of AprilTag IDs to use for calibration");
  p.add_option("--pc_crop_region", &s.pc_crop_region,
               "Point cloud crop region [x_min, x_max, y_min, y_max, z_min, z_max]");
  p.add_option("--w_axxb", &s.w_axxb, "Weight for AX=XB term (default: 1.0)");
  p.add_option("--w_normal", &s.w_normal, "Weight for normal term (default: 50.0)");
  p.add_option("--w_z", &s.w_z, "Weight for z-term (default: 100.0)");
  p.add_option("--max_iter", &s.max_iter, "Maximum number of iterations (default: 100)");
  p.add_option("--init_extrinsics", &s.init_extrinsics,
               "Initialize extrinsics with default values."
               "                            Please use measured values or structural parameters"
               "                             The order is:[rx, ry, rz, tx, ty, tz], "
               "[rx, ry, rz] unit: (deg), [tx, ty, tz] unit: (meters)");
  p.add_option("--extrinsics_rotate_offset", &s.extrinsics_rotate_offset,
               "Rotate offset for extrinsics. Unit: deg (default: 30.0)");
  p.add_option("--extrinsics_translate_offset", &s.extrinsics_translate_offset,
               "Translate offset for extrinsics. Unit: meters (default: 0.05)");
  p.add_option("--calib_num", &s.calib_num, "Number of repeated calibrations for a single dataset");
  p.add_text_truth_option("--debug", &s.debug, "Enable debug mode");
  p.add_option("--log_level", &s.log_level, "Log Level");
  p.add_option("--log_file", &s.log_file, "Complete log file path");
  p.add_option("--w_xy", &s.w_xy,
               "Weight for the horizontal translation prior, which holds tx and ty near their "
               "initial values (default: 1.0; 0 lets the motions decide them)");
  p.add_option("--ftol", &s.ftol,
               "Relative objective decrease at which the minimiser stops (default: 1e-08)");
  p.add_option("--gtol", &s.gtol,
               "Projected gradient at which the minimiser stops (default: 1e-08)");
  p.add_option("--camera_frame", &s.camera_frame,
               "Camera frame named in calibration_result.urdf and static_transform.txt "
               "(default: camera_link)");
  p.add_choice_option("--detector", &s.detector, {"opencv", "apriltag"},
                      "Tag detection engine: opencv (default) or apriltag, the AprilTag library, "
                      "which also finds small and blurred tags");
  p.add_choice_option("--tag_border_bits", &s.tag_border_bits, {1, 2},
                      "Black border of the tags in code cells: 1 (default) for standard tags, 2 "
                      "for Kalibr-style AprilGrids");
  p.add_text_truth_option("--report", &s.report,
                          "Write calibration_report.html, a page to open in a browser, into each "
                          "run directory (default: on; --report '' leaves it out)");
  p.add_choice_option(
      "--refine", &s.refine, {"none", "board"},
      "After the optimizer: none (default), or board, which refines its result against the "
      "static board over every frame (tag corners found again from the tags' edges, and floor "
      "points, each weighted by the noise it shows; odometry with its distance and turn scale "
      "errors estimated and the noise of --odometry_noise; and the camera's time offset)");
  p.add_option("--odometry_noise", &s.odometry_noise,
               "Wheel odometry noise for --refine board, as it grows with the square root of the "
               "motion: metres per metre driven, radians per radian turned, radians per metre "
               "driven, metres sideways per metre driven (default: 0.01 0.01 0.005 0, a cautious "
               "guess for a base whose wheels do not slide sideways; a skid-steer base slides in "
               "its turns. The refinement's sigmas are only as honest as these)");
  p.set_check([&s] { s.check(); });
  return parser;
}

}  // namespace orvalt::calibration
