#include <iostream>
#include <optional>
#include <string>

#include "orvalt/apriltag/castrel/april_tag_generator.hpp"
#include "orvalt/common/argument_parser.hpp"

namespace {

// The layout of the 6 x 6 Kalibr-style boards labs print: tag36h11 in a 2-cell border, gaps
// 0.3 of the tag side.
constexpr int kKalibrTagPixels = 200;
constexpr int kKalibrSpacingPixels = 60;

int write_kalibr_board(const std::string& path) {
  const orvalt::apriltag::AprilTagGenerator generator("tag36h11", 2);
  if (!generator.save(generator.generate_kalibr_grid(6, 6, kKalibrTagPixels, kKalibrSpacingPixels),
                      path)) {
    std::cerr << "castrel: error: cannot write " << path << "\n";
    return 1;
  }
  std::cout << "✅ Kalibr-style board written: " << path
            << " (6 x 6 tag36h11, ids 0-35, 2-cell border, gaps 0.3 of the tag side; detect "
               "with --tag_border_bits 2)"
            << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::string> kalibr_board;
  orvalt::common::ArgumentParser parser(
      "castrel",
      "Write an example AprilTag marker (apriltag_single.png) and a 6 x 6 AprilGrid board\n"
      "(aprilgrid_6x6.png) into the working directory.");
  parser.add_option("--kalibr_board", &kalibr_board,
                    "Write only a 6 x 6 Kalibr-style AprilGrid (2-cell tag border, black "
                    "squares between the tags) to this path.");
  parser.parse_or_exit(argc, argv);
  if (kalibr_board) return write_kalibr_board(*kalibr_board);

  const orvalt::apriltag::AprilTagGenerator generator("tag36h11", 1);
  const struct {
    cv::Mat image;
    const char* path;
  } outputs[] = {{generator.generate_single(0, 400), "apriltag_single.png"},
                 {generator.generate_grid(6, 6, 120, 30, 0), "aprilgrid_6x6.png"}};
  for (const auto& output : outputs) {
    if (!generator.save(output.image, output.path)) {
      std::cerr << "castrel: error: cannot write " << output.path << "\n";
      return 1;
    }
  }
  std::cout << "✅ Generation done (pure OpenCV)" << std::endl;
  return 0;
}
