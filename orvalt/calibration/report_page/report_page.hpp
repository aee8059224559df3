#pragma once

#include <filesystem>
#include <string>

#include "orvalt/calibration/report_page/report_page_input.hpp"

namespace orvalt::calibration {

// The run's calibration report as one self-contained HTML page (no scripts, no external
// resources; pictures as SVG data URIs): the verdict with the result, what the recording
// determined, the pictures, and the settings, program version and recording. Headings
// "Verdict", "What the recording determined", "Pictures" and "Settings, version and recording".
std::string report_page_html(const ReportPageInput& input);

// The version of the program that writes the page, "major.minor.patch".
std::string program_version();

// Writes report_page_html to run_dir / "calibration_report.html", whole or not at all, and
// returns the path. Throws std::runtime_error when it cannot be written.
std::filesystem::path write_report_page(const std::filesystem::path& run_dir,
                                        const ReportPageInput& input);

}  // namespace orvalt::calibration
