// compare_extrinsics: a calibration result beside another camera-to-base transform (a
// simulated recording's ground truth or an earlier calibration), with the errors between them.

#include <exception>
#include <iostream>

#include "orvalt/calibration/varnholt/extrinsic_comparison.hpp"
#include "orvalt/common/argument_parser.hpp"

int main(int argc, char** argv) {
  std::string result_path, reference_path, optimizer_report;
  orvalt::common::ArgumentParser parser(
      "compare_extrinsics",
      "Print a calibrated camera-to-base_footprint extrinsic beside a reference one, with the "
      "rotation error in degrees and the translation error in millimetres");
  parser.add_positional("result", &result_path, "calibration_result.json to check");
  parser.add_positional("reference", &reference_path,
                        "ground_truth.json of a simulated recording, or another "
                        "calibration_result.json");
  parser.add_option("--optimizer_report", &optimizer_report,
                    "calibration_report.json of a run with --refine board: show the optimizer's "
                    "result beside the refined one in the result file");
  parser.parse_or_exit(argc, argv);
  try {
    const Eigen::Matrix4d reference = orvalt::calibration::read_extrinsic_matrix(reference_path);
    if (!optimizer_report.empty()) {
      std::cout << orvalt::calibration::comparison_report(
          {{"optimizer", orvalt::calibration::read_optimizer_extrinsic(optimizer_report)},
           {"refined", orvalt::calibration::read_extrinsic_matrix(result_path)}},
          reference, "reference");
      return 0;
    }
    std::cout << orvalt::calibration::comparison_report(
        orvalt::calibration::read_extrinsic_matrix(result_path), reference, "calibrated",
        "reference");
  } catch (const std::exception& error) {
    std::cerr << "compare_extrinsics: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
