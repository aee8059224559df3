#include "orvalt/calibration/report_page/page_test_input.hpp"

#include <cmath>

namespace orvalt::calibration {

ReportPageInput sample_page_input() {
  ReportPageInput input;
  input.has_result = true;
  input.vec6 << -1.5707963, 0.0123, -1.5707963, 0.012, 0.041, 0.1462;
  input.matrix << 0, 0, 1, 0.012, -1, 0, 0, 0.041, 0, -1, 0, 0.1462, 0, 0, 0, 1;
  input.urdf = "<joint name=\"base_footprint_to_camera_link\" type=\"fixed\">";
  input.static_transform_command =
      "ros2 run tf2_ros static_transform_publisher --x 0.012 --y 0.041 --z 0.1462";
  const char* names[6] = {"rx", "ry", "rz", "tx", "ty", "tz"};
  for (int i = 0; i < 6; ++i) {
    input.parameters.push_back(
        {names[i], input.vec6[i], i < 3 ? 0.0003 : 0.0008, "data", "AX=XB", ""});
  }
  input.yaw_span_deg = 64.0;
  input.distance_m = 3.2;
  input.accepted_pairs = 37;
  input.ground_clouds = 3;
  const std::int64_t start = 1'700'000'000'000'000'000;
  for (int i = 0; i < 40; ++i) {
    const double angle = 0.03 * i;
    PageImage image;
    image.stamp_ns = start + i * 66'666'667LL;
    image.x = 1.5 * std::sin(angle);
    image.y = 1.5 * (1 - std::cos(angle));
    image.yaw = angle;
    image.tags = i == 20 ? 0 : 5;
    image.fate = i == 20 ? ImageFate::kNoTags : ImageFate::kTags;
    input.images.push_back(image);
  }
  for (int i = 0; i + 1 < 40; ++i) {
    if (i == 19 || i == 20) continue;  // the frame without tags breaks two pairs
    PagePair pair{input.images[i].stamp_ns, input.images[i + 1].stamp_ns, PairFate::kAccepted,
                  0.004 + 0.001 * (i % 5)};
    if (i == 30) {
      pair.fate = PairFate::kGated;
      pair.disagreement_m = 0.08;
    }
    input.pairs.push_back(pair);
  }
  input.board_tags = {{0, {2.5, 0.0}}, {1, {2.5, 0.2}}, {2, {2.5, -0.2}}};
  for (int cloud = 0; cloud < 3; ++cloud) {
    std::vector<double> heights;
    for (int k = 0; k < 200; ++k) heights.push_back(0.001 * std::sin(k + cloud));
    input.floor_heights_m.push_back(heights);
  }
  input.settings = {{"tag_size_m", "0.15"}, {"target_ids", "[0, 1, 2, 3, 4]"}};
  input.program_version = "0.1.0";
  input.recording = PageRecording{
      "/data/recording",
      "sqlite3",
      20.0,
      {{"/camera/color", "sensor_msgs/msg/Image", 300}, {"/tf", "tf2_msgs/msg/TFMessage", 2000}}};
  input.run_seconds = 4.2;
  return input;
}

}  // namespace orvalt::calibration
