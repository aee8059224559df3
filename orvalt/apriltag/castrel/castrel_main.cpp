#include <iostream>

#include "orvalt/apriltag/castrel/april_tag_generator.hpp"
#include "orvalt/common/argument_parser.hpp"

int main(int argc, char** argv) {
  orvalt::common::ArgumentParser parser(
      "castrel",
      "Write an example AprilTag marker (apriltag_single.png) and a 6 x 6 AprilGrid board\n"
      "(aprilgrid_6x6.png) into the working directory.");
  parser.parse_or_exit(argc, argv);

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
