#pragma once

#include "orvalt/calibration/report_page/report_page_input.hpp"

namespace orvalt::calibration {

// A run as a calibration of 40 frames along an arc in front of a board reports it: a usable
// result with every parameter determined, one gated pair, a frame without tags, three floor
// clouds and the recording's topics.
ReportPageInput sample_page_input();

}  // namespace orvalt::calibration
