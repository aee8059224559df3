#include "orvalt/calibration/varnholt/run_settings.hpp"

#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "orvalt/calibration/varnholt/extrinsic_bounds.hpp"

namespace orvalt::calibration {
namespace {

TEST(RunSettingsTest, TopicListOrder) {
  RunSettings settings;
  settings.camera_depth_topic = "/d";
  EXPECT_EQ(make_topic_list(settings),
            (std::vector<std::string>{"/tf", "/tf_static", "/QuillonNode/rectify_left_image",
                                      "/QuillonNode/quillon_pointcloud2", "/d",
                                      "/QuillonNode/quillon_depth/camera_info"}));
}

TEST(RunSettingsTest, DumpListsEveryFieldInRecordOrder) {
  RunSettings settings;
  settings.topic_list = make_topic_list(settings);
  derive_extrinsics(settings);
  const auto lines = settings_dump(settings);
  ASSERT_EQ(lines.size(), 38u);
  EXPECT_EQ(lines.front(), "========= camera_color_topic: /QuillonNode/rectify_left_image");
  EXPECT_EQ(lines[7], "========= bag_dir: None");
  EXPECT_EQ(lines[11], "========= tag_size_m: 0.15");
  EXPECT_EQ(lines[12], "========= enable_subpix_refinement: True");
  EXPECT_EQ(lines[13], "========= target_ids: [0, 1, 2, 3, 4]");
  EXPECT_EQ(lines[15], "========= w_axxb: 30.0");
  EXPECT_EQ(lines[18], "========= max_iter: 1000");
  EXPECT_EQ(lines[19], "========= init_extrinsics: [0.0, 0.0, 0.0, 0.01, 0.04, 0.146]");
  EXPECT_EQ(lines[25], "========= log_file: /userdata/calibration.log");
  EXPECT_EQ(lines[26], "========= w_xy: 1.0");
  EXPECT_EQ(lines[27], "========= ftol: 1e-08");
  EXPECT_EQ(lines[28], "========= gtol: 1e-08");
  EXPECT_EQ(lines[29], "========= camera_frame: camera_link");
  EXPECT_EQ(lines[30], "========= detector: opencv");
  EXPECT_EQ(lines[31], "========= tag_border_bits: 1");
  EXPECT_EQ(lines[32], "========= report: True");
  EXPECT_EQ(lines[33], "========= refine: none");
  EXPECT_EQ(lines[34], "========= odometry_noise: [0.01, 0.01, 0.005, 0.0]");
  EXPECT_EQ(lines[35].rfind("========= topic_list: ['/tf', '/tf_static', ", 0), 0u);
  EXPECT_EQ(lines[36], "========= extrinsics_init: [0.0, 0.0, 0.0, 0.01, 0.04, 0.146]");
  EXPECT_EQ(lines[37].rfind("========= extrinsics_bound: [(-0.17453292519943295, "
                            "0.17453292519943295), ",
                            0),
            0u);
}

TEST(RunSettingsCheckTest, AcceptsTheDefaultsAndTheEdgesOfEachRange) {
  EXPECT_NO_THROW(RunSettings().check());
  RunSettings edges;
  edges.calib_num = 0;
  edges.max_iter = 1;
  edges.extrinsics_rotate_offset = 0.0;
  edges.extrinsics_translate_offset = 0.0;
  edges.w_axxb = edges.w_normal = edges.w_z = edges.w_xy = edges.ftol = edges.gtol = 0.0;
  edges.target_ids = {0};
  edges.init_extrinsics = {180, -180, 0, 0, 0, 0, std::nan("")};  // a seventh value is ignored
  edges.pc_crop_region = {-1, 1, -1, 1, -1, 1, 99};
  EXPECT_NO_THROW(edges.check());
}

TEST(RunSettingsCheckTest, RefusesEachValueNoRunCanUse) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<std::pair<std::function<void(RunSettings&)>, std::string>> cases = {
      {[](RunSettings& s) {
         s.pc_crop_region = {0.2, 0.3, -0.1, 0.1, -0.5};
       },
       "--pc_crop_region needs 6 values [x_min, x_max, y_min, y_max, z_min, z_max], got 5"},
      {[](RunSettings& s) { s.pc_crop_region[1] = 0.2; },
       "Invalid bounding box dimensions. Ensure x_min < x_max, y_min < y_max, and z_min < "
       "z_max."},
      {[](RunSettings& s) { s.pc_crop_region[5] = -0.6; }, "Invalid bounding box dimensions."},
      {[](RunSettings& s) { s.pc_crop_region[3] = std::nan(""); },
       "--pc_crop_region values must be finite numbers, got [0.2, 0.3, -0.1, nan, -0.5, 0.5]"},
      {[](RunSettings& s) {
         s.init_extrinsics = {0, 0, 0};
       },
       "--init_extrinsics needs 6 values [rx, ry, rz] (deg) [tx, ty, tz] (m), got 3"},
      {[inf](RunSettings& s) { s.init_extrinsics[4] = inf; },
       "--init_extrinsics values must be finite numbers"},
      {[](RunSettings& s) { s.init_extrinsics[2] = 200; },
       "Rotation angles must be in [-π, π] 内！\nrx=0.0000, ry=0.0000, rz=3.4907"},
      {[](RunSettings& s) { s.extrinsics_rotate_offset = -1; },
       "--extrinsics_rotate_offset must be a finite number of at least 0, got -1.0"},
      {[](RunSettings& s) { s.extrinsics_translate_offset = -0.01; },
       "--extrinsics_translate_offset must be a finite number of at least 0, got -0.01"},
      {[](RunSettings& s) { s.tag_size_m = 0; },
       "--tag_size_m must be a finite number above 0, got 0.0"},
      {[inf](RunSettings& s) { s.tag_size_m = inf; }, "--tag_size_m must be"},
      {[](RunSettings& s) { s.target_ids.clear(); }, "--target_ids needs at least one tag id"},
      {[](RunSettings& s) {
         s.target_ids = {3, -2};
       },
       "--target_ids must be tag ids of at least 0, got -2"},
      {[](RunSettings& s) { s.calib_num = -1; }, "--calib_num must be at least 0, got -1"},
      {[](RunSettings& s) { s.max_iter = 0; }, "--max_iter must be at least 1, got 0"},
      {[](RunSettings& s) { s.max_iter = -5; }, "--max_iter must be at least 1, got -5"},
      {[](RunSettings& s) { s.w_axxb = -1; }, "--w_axxb must be a finite number of at least 0"},
      {[](RunSettings& s) { s.w_normal = std::nan(""); }, "--w_normal must be a finite number"},
      {[inf](RunSettings& s) { s.w_z = inf; }, "--w_z must be a finite number of at least 0"},
      {[](RunSettings& s) { s.w_xy = -0.5; }, "--w_xy must be"},
      {[](RunSettings& s) { s.ftol = -1e-8; }, "--ftol must be"},
      {[](RunSettings& s) { s.gtol = std::nan(""); }, "--gtol must be"},
      {[](RunSettings& s) {
         s.odometry_noise = {0.01, 0.01, 0.005};
       },
       "--odometry_noise needs 4 finite numbers, the first three above 0 and the last at least "
       "0 (per metre driven, per radian turned, yaw per metre driven, sideways per metre "
       "driven), got [0.01, 0.01, 0.005]"},
      {[](RunSettings& s) { s.odometry_noise[1] = 0; }, "--odometry_noise needs 4 finite"},
      {[inf](RunSettings& s) { s.odometry_noise[2] = inf; }, "--odometry_noise needs 4 finite"},
      {[](RunSettings& s) { s.odometry_noise[3] = -0.001; }, "--odometry_noise needs 4 finite"},
  };
  for (const auto& [change, message] : cases) {
    RunSettings settings;
    change(settings);
    try {
      settings.check();
      ADD_FAILURE() << "accepted, expected: " << message;
    } catch (const std::invalid_argument& error) {
      EXPECT_THAT(error.what(), ::testing::StartsWith(message));
    }
  }
}

}  // namespace
}  // namespace orvalt::calibration
