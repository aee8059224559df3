#pragma once

#include <memory>

#include "orvalt/calibration/varnholt/run_settings.hpp"
#include "orvalt/common/argument_parser.hpp"

namespace orvalt::calibration {

// The calibration program's parser: the 33 options in the order of RunSettings, each writing
// into `settings` (whose values on entry are the defaults), which must outlive the parser.
// The two boolean options take one value read by text truth. A parse ends with
// RunSettings::check(), whose refusal ends the program like a malformed command line.
std::unique_ptr<common::ArgumentParser> create_parser(RunSettings& settings);

}  // namespace orvalt::calibration
