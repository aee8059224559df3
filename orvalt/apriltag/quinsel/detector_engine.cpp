#include "orvalt/apriltag/quinsel/detector_engine.hpp"

#include <stdexcept>

namespace orvalt::apriltag {

DetectorEngine detector_engine_from_name(const std::string& name) {
  if (name == "opencv") return DetectorEngine::opencv;
  if (name == "apriltag") return DetectorEngine::apriltag;
  throw std::invalid_argument("Unknown detector '" + name + "' (choose from 'opencv', 'apriltag')");
}

std::string detector_engine_name(DetectorEngine engine) {
  return engine == DetectorEngine::apriltag ? "apriltag" : "opencv";
}

}  // namespace orvalt::apriltag
