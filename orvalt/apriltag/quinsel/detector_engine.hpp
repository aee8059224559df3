#pragma once

#include <string>

namespace orvalt::apriltag {

// Which marker detector finds the tags: OpenCV's ArUco detector with the tuned parameters, or
// the AprilTag C library, which also finds small and blurred tags.
enum class DetectorEngine { opencv, apriltag };

// "opencv" or "apriltag"; throws std::invalid_argument naming the choices for anything else.
DetectorEngine detector_engine_from_name(const std::string& name);
std::string detector_engine_name(DetectorEngine engine);

}  // namespace orvalt::apriltag
