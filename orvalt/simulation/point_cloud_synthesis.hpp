#pragma once

#include <opencv2/core.hpp>

#include "orvalt/ros2/messages.hpp"
#include "orvalt/simulation/camera_model.hpp"

namespace orvalt::simulation {

// The camera's organised point cloud: every `step`-th pixel of the depth capture in both
// directions, as float32 x, y, z in the forward-left-up camera frame plus the pixel's
// intensity (0 to 1, from the colour image). Pixels without depth are NaN points, so the
// cloud is not dense. The header is left to the caller.
ros2::sensor_msgs::PointCloud2 synthesize_point_cloud(const cv::Mat& metres, const cv::Mat& bgr,
                                                      const PinholeCamera& camera, int step);

}  // namespace orvalt::simulation
