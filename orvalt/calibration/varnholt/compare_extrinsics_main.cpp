// compare_extrinsics: a calibration result beside another camera-to-base transform (a
// simulated recording's ground truth or an earlier calibration), with the errors between them.

#include <exception>
#include <iostream>

#include "orvalt/calibration/varnholt/extrinsic_comparison.hpp"
#include "orvalt/common/argument_parser.hpp"

int main(int argc, char** argv) {
  std::string result_path, reference_path;
  orvalt::common::ArgumentParser parser(
      "compare_extrinsics",
      "Print a calibrated camera-to-base_footprint extrinsic beside a reference one, with the "
      "rotation error in degrees and the translation error in millimetres");
  parser.add_positional("result", &result_path, "calibration_result.json to check");
  parser.add_positional("reference", &reference_path,
                        "ground_truth.json of a simulated recording, or another "
                        "calibration_result.json");
  parser.parse_or_exit(argc, argv);
  try {
    std::cout << orvalt::calibration::comparison_report(
        orvalt::calibration::read_extrinsic_matrix(result_path),
        orvalt::calibration::read_extrinsic_matrix(reference_path), "calibrated", "reference");
  } catch (const std::exception& error) {
    std::cerr << "compare_extrinsics: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
