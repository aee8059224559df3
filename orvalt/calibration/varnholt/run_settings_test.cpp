#include "orvalt/calibration/varnholt/run_settings.hpp"

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
  ASSERT_EQ(lines.size(), 35u);
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
  EXPECT_EQ(lines[32].rfind("========= topic_list: ['/tf', '/tf_static', ", 0), 0u);
  EXPECT_EQ(lines[33], "========= extrinsics_init: [0.0, 0.0, 0.0, 0.01, 0.04, 0.146]");
  EXPECT_EQ(lines[34].rfind("========= extrinsics_bound: [(-0.17453292519943295, "
                            "0.17453292519943295), ",
                            0),
            0u);
}

}  // namespace
}  // namespace orvalt::calibration
