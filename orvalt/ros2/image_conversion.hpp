#pragma once

#include <string>

#include <opencv2/core/mat.hpp>

#include "orvalt/ros2/messages.hpp"

namespace orvalt::ros2 {

// What cv_bridge's toCvCopy does for the encodings the system meets: converts `image` to a
// cv::Mat holding `wanted_encoding` ("bgr8", "rgb8", "bgra8", "rgba8", "mono8", "mono16",
// "16UC1", "32FC1", ...; empty keeps the image's own encoding). Honours `step` (rows may be
// padded) and `is_bigendian`. The result owns its pixels. Throws std::invalid_argument when
// the data is shorter than height x step or step is shorter than a row, and when the
// conversion is impossible (the text names both encodings).
// Encoding names are compared without regard to case. Where cv_bridge refuses, a
// single-channel generic image ("16UC1", "32FC1") may also become "mono8" or "mono16".
// "nv12" holds a luma plane and an interleaved chroma plane of half the height, both with
// `step`; it converts to the colour and mono encodings, and asked for as "nv12" it comes back
// raw as a (height x 3/2) x width single-channel matrix.
cv::Mat to_cv(const sensor_msgs::Image& image, const std::string& wanted_encoding);

}  // namespace orvalt::ros2
