#include "orvalt/calibration/varnholt/command_line.hpp"

#include <sstream>

#include <gtest/gtest.h>

namespace orvalt::calibration {
namespace {

struct Parsed {
  std::optional<int> status;
  RunSettings settings;
  std::string out;
  std::string err;
};

Parsed parse(const std::vector<std::string>& args) {
  Parsed parsed;
  auto parser = create_parser(parsed.settings);
  std::ostringstream out, err;
  parsed.status = parser->parse(args, out, err);
  parsed.out = out.str();
  parsed.err = err.str();
  return parsed;
}

TEST(CommandLineTest, DefaultsAreTheTableValues) {
  const Parsed parsed = parse({});
  ASSERT_FALSE(parsed.status);
  const RunSettings& s = parsed.settings;
  EXPECT_EQ(s.camera_color_topic, "/QuillonNode/rectify_left_image");
  EXPECT_EQ(s.camera_info_topic, "/QuillonNode/quillon_depth/camera_info");
  EXPECT_EQ(s.base_frame, "base_footprint");
  EXPECT_FALSE(s.bag_dir);
  EXPECT_EQ(s.target_ids, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(s.pc_crop_region, (std::vector<double>{0.2, 0.3, -0.1, 0.1, -0.5, 0.5}));
  EXPECT_EQ(s.w_axxb, 30.0);
  EXPECT_EQ(s.max_iter, 1000);
  EXPECT_EQ(s.init_extrinsics, (std::vector<double>{0.0, 0.0, 0.0, 0.01, 0.04, 0.146}));
  EXPECT_EQ(s.extrinsics_rotate_offset, 10.0);
  EXPECT_EQ(s.extrinsics_translate_offset, 0.03);
  EXPECT_EQ(s.calib_num, 1);
  EXPECT_TRUE(s.debug);
  EXPECT_TRUE(s.enable_subpix_refinement);
  EXPECT_EQ(s.log_file, "/userdata/calibration.log");
}

TEST(CommandLineTest, BooleansAreReadByTextTruth) {
  EXPECT_TRUE(parse({"--debug", "False"}).settings.debug);
  EXPECT_TRUE(parse({"--debug", "0"}).settings.debug);
  EXPECT_FALSE(parse({"--debug", ""}).settings.debug);
  EXPECT_FALSE(parse({"--debug="}).settings.debug);
  EXPECT_FALSE(parse({"--enable_subpix_refinement", ""}).settings.enable_subpix_refinement);
  EXPECT_TRUE(parse({}).settings.report);
  EXPECT_TRUE(parse({"--report", "False"}).settings.report);
  EXPECT_FALSE(parse({"--report", ""}).settings.report);
}

TEST(CommandLineTest, ListsReplaceTheirDefaults) {
  const Parsed parsed = parse({"--target_ids", "7", "8", "--init_extrinsics", "90", "0", "0", "0",
                               "0", "0", "5", "--bag_dir", "/data/a"});
  ASSERT_FALSE(parsed.status);
  EXPECT_EQ(parsed.settings.target_ids, (std::vector<int>{7, 8}));
  EXPECT_EQ(parsed.settings.init_extrinsics.size(), 7u);
  EXPECT_EQ(parsed.settings.bag_dir, "/data/a");
}

TEST(CommandLineTest, MalformedCommandLinesEndWithStatusTwo) {
  const Parsed unknown = parse({"--bogus", "1"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_NE(unknown.err.find("varnholt: error: unrecognized arguments: --bogus"),
            std::string::npos);
  EXPECT_EQ(parse({"--max_iter", "many"}).status, 2);
  EXPECT_EQ(parse({"--target_ids", "1.5"}).status, 2);
}

TEST(CommandLineTest, SettingsAreCheckedRightAfterParsing) {
  const Parsed inverted = parse({"--pc_crop_region", "0.3", "0.2", "-0.1", "0.1", "-0.5", "0.5"});
  EXPECT_EQ(inverted.status, 2);
  EXPECT_NE(inverted.err.find("varnholt: error: Invalid bounding box dimensions."),
            std::string::npos);
  for (const char* max_iter : {"0", "-3"}) {
    const Parsed parsed = parse({"--max_iter", max_iter});
    EXPECT_EQ(parsed.status, 2) << max_iter;
    EXPECT_NE(parsed.err.find("varnholt: error: --max_iter must be at least 1, got "),
              std::string::npos);
  }
  EXPECT_EQ(parse({"--calib_num", "-1"}).status, 2);
  EXPECT_EQ(parse({"--tag_size_m", "nan"}).status, 2);
  EXPECT_EQ(parse({"--init_extrinsics", "0", "0", "0"}).status, 2);
}

TEST(CommandLineTest, ARepeatedOptionTakesItsLastValue) {
  const Parsed parsed = parse({"--calib_num",
                               "1",
                               "--calib_num",
                               "2",
                               "--target_ids",
                               "1",
                               "2",
                               "--target_ids",
                               "3",
                               "--pc_crop_region",
                               "0",
                               "1",
                               "0",
                               "1",
                               "0",
                               "1",
                               "--pc_crop_region",
                               "0.2",
                               "0.3",
                               "-0.1",
                               "0.1",
                               "-0.5",
                               "0.5"});
  ASSERT_FALSE(parsed.status) << parsed.err;
  EXPECT_EQ(parsed.settings.calib_num, 2);
  EXPECT_EQ(parsed.settings.target_ids, (std::vector<int>{3}));
  EXPECT_EQ(parsed.settings.pc_crop_region, (std::vector<double>{0.2, 0.3, -0.1, 0.1, -0.5, 0.5}));
  EXPECT_EQ(parse({"--calib_num", "0x10"}).status, 2);
}

TEST(CommandLineTest, HelpShowsTheEstablishedTextsExactly) {
  const Parsed parsed = parse({"--help"});
  EXPECT_EQ(parsed.status, 0);
  const std::string& help = parsed.out;
  EXPECT_EQ(help.rfind("usage: varnholt [-h] [--camera_color_topic CAMERA_COLOR_TOPIC]", 0), 0u);
  EXPECT_NE(help.find("\nCamera to base_footprint extrinsic calibration\n"), std::string::npos);
  for (const char* line : {
           "  --base_frame BASE_FRAME\n"
           "                        Robot base coordinate frame (default: base_link)\n",
           "  --w_axxb W_AXXB       Weight for AX=XB term (default: 1.0)\n",
           "  --w_normal W_NORMAL   Weight for normal term (default: 50.0)\n",
           "  --w_z W_Z             Weight for z-term (default: 100.0)\n",
           "  --max_iter MAX_ITER   Maximum number of iterations (default: 100)\n",
           "                        Rotate offset for extrinsics. Unit: deg (default: 30.0)\n",
           "                        Translate offset for extrinsics. Unit: meters (default: "
           "0.05)\n",
           "  --enable_subpix_refinement ENABLE_SUBPIX_REFINEMENT\n"
           "                        Disable subpixel corner refinement\n",
           "  --debug DEBUG         Enable debug mode\n",
           "  --log_level LOG_LEVEL\n                        Log Level\n",
           "  --log_file LOG_FILE   Complete log file path\n",
       }) {
    EXPECT_NE(help.find(line), std::string::npos) << line;
  }
  const std::string init_help =
      "Initialize extrinsics with default values." + std::string(28, ' ') +
      "Please use measured values or structural parameters" + std::string(29, ' ') +
      "The order is:[rx, ry, rz, tx, ty, tz], [rx, ry, rz] unit: (deg), "
      "[tx, ty, tz] unit: (meters)\n";
  EXPECT_NE(help.find(init_help), std::string::npos);
}

TEST(CommandLineTest, PriorToleranceAndCameraFrameOptions) {
  const Parsed defaults = parse({});
  EXPECT_EQ(defaults.settings.w_xy, 1.0);
  EXPECT_EQ(defaults.settings.ftol, 1e-8);
  EXPECT_EQ(defaults.settings.gtol, 1e-8);
  EXPECT_EQ(defaults.settings.camera_frame, "camera_link");
  const Parsed parsed = parse(
      {"--w_xy", "0", "--ftol", "1e-15", "--gtol", "1e-12", "--camera_frame", "front_camera"});
  ASSERT_FALSE(parsed.status);
  EXPECT_EQ(parsed.settings.w_xy, 0.0);
  EXPECT_EQ(parsed.settings.ftol, 1e-15);
  EXPECT_EQ(parsed.settings.gtol, 1e-12);
  EXPECT_EQ(parsed.settings.camera_frame, "front_camera");
  const std::string help = parse({"--help"}).out;
  for (const char* text :
       {"--w_xy W_XY", "0 lets the motions decide them)", "--ftol FTOL", "--gtol GTOL",
        "--camera_frame CAMERA_FRAME", "(default: camera_link)"}) {
    EXPECT_NE(help.find(text), std::string::npos) << text;
  }
}

TEST(CommandLineTest, DetectorOptionsTakeOnlyTheirChoices) {
  const Parsed defaults = parse({});
  EXPECT_EQ(defaults.settings.detector, "opencv");
  EXPECT_EQ(defaults.settings.tag_border_bits, 1);
  const Parsed parsed = parse({"--detector", "apriltag", "--tag_border_bits", "2"});
  ASSERT_FALSE(parsed.status);
  EXPECT_EQ(parsed.settings.detector, "apriltag");
  EXPECT_EQ(parsed.settings.tag_border_bits, 2);
  EXPECT_EQ(parse({"--detector", "aruco"}).status, 2);
  EXPECT_EQ(parse({"--tag_border_bits", "0"}).status, 2);
}

TEST(CommandLineTest, RefineTakesNoneOrBoard) {
  EXPECT_EQ(parse({}).settings.refine, "none");
  const Parsed parsed = parse({"--refine", "board"});
  ASSERT_FALSE(parsed.status);
  EXPECT_EQ(parsed.settings.refine, "board");
  EXPECT_EQ(parse({"--refine", "boards"}).status, 2);
  const Parsed noise = parse({"--odometry_noise", "0.005", "0.002", "0.002", "0.001"});
  ASSERT_FALSE(noise.status);
  EXPECT_EQ(noise.settings.odometry_noise, (std::vector<double>{0.005, 0.002, 0.002, 0.001}));
  EXPECT_EQ(parse({"--odometry_noise", "0.005", "0", "0.002", "0"}).status, 2);
}

TEST(CommandLineTest, OptionsAppearInTableOrder) {
  const std::string help = parse({"-h"}).out;
  std::size_t previous = 0;
  for (const char* option : {"--camera_color_topic",
                             "--camera_pointcloud_topic",
                             "--camera_depth_topic",
                             "--camera_info_topic",
                             "--base_frame",
                             "--global_frame",
                             "--bag_datasets_dir",
                             "--bag_dir",
                             "--reindex_bag",
                             "--parser_output_dir",
                             "--tag_family",
                             "--tag_size_m",
                             "--enable_subpix_refinement",
                             "--target_ids",
                             "--pc_crop_region",
                             "--w_axxb",
                             "--w_normal",
                             "--w_z",
                             "--max_iter",
                             "--init_extrinsics",
                             "--extrinsics_rotate_offset",
                             "--extrinsics_translate_offset",
                             "--calib_num",
                             "--debug",
                             "--log_level",
                             "--log_file",
                             "--w_xy",
                             "--ftol",
                             "--gtol",
                             "--camera_frame",
                             "--detector",
                             "--tag_border_bits",
                             "--report",
                             "--refine",
                             "--odometry_noise"}) {
    const std::size_t at = help.find(std::string("\n  ") + option + " ");
    ASSERT_NE(at, std::string::npos) << option;
    EXPECT_GT(at, previous) << option;
    previous = at;
  }
}

}  // namespace
}  // namespace orvalt::calibration
